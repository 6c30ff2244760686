# Helpers shared by every layer: warnings per target, library and test registration.
include_guard(GLOBAL)

function(geomuxer_target_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow)
  # g++ 12 reports std::string concatenation at -O2/-O3 as overlapping memcpy (GCC bug 105329).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  if(GEOMUXER_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# geomuxer_add_library(<name> SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# A static library whose headers are included as "<layer>/<file>.h" from src/.
function(geomuxer_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  target_compile_definitions(${name} PUBLIC
    GEOMUXER_VERSION="${PROJECT_VERSION}")
  geomuxer_target_warnings(${name})
endfunction()

# geomuxer_add_test(<name> SOURCES ... LIBS ... [LABEL unit|integration|interop|gui] [TIMEOUT s]
#                   [ONE_PROCESS])
# One GoogleTest executable; each test case becomes one CTest test with the label and timeout.
# With ONE_PROCESS the whole executable is one CTest test, for tests that share a costly fixture
# (a database server) made once per process.
function(geomuxer_add_test name)
  cmake_parse_arguments(ARG "ONE_PROCESS" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_LABEL)
    set(ARG_LABEL unit)
  endif()
  if(NOT ARG_TIMEOUT)
    if(ARG_LABEL STREQUAL "unit")
      set(ARG_TIMEOUT 60)
    else()
      set(ARG_TIMEOUT 180)
    endif()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests")
  target_compile_definitions(${name} PRIVATE
    GEOMUXER_SHARED_DIR="${GEOMUXER_SHARED_DIR}"
    GEOMUXER_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    GEOMUXER_BINARY_DIR="${PROJECT_BINARY_DIR}")
  geomuxer_target_warnings(${name})
  if(ARG_ONE_PROCESS)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT})
  else()
    gtest_discover_tests(${name}
      PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT}
      DISCOVERY_TIMEOUT 120)
  endif()
endfunction()
