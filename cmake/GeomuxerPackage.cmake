# What makes Geomuxer installable like any Debian program: the systemd service and its system
# user, the udev rule for Garmin USB receivers, the manual page, the copyright and changelog
# files, and the CPack settings for `cpack -G DEB` (scripts/package runs it).
include_guard(GLOBAL)
include(GNUInstallDirs)

set(GEOMUXER_MAINTAINER "Geomuxer maintainers <maintainers@users.noreply.c-seed-a6806598.example>")
set(GEOMUXER_DEB_RELEASE 1)
set(GEOMUXER_DEB_VERSION "${PROJECT_VERSION}-${GEOMUXER_DEB_RELEASE}")

set(_data "${PROJECT_SOURCE_DIR}/data")
set(_gen "${PROJECT_BINARY_DIR}/package")

# The manual page and the changelog carry the version; Debian wants both compressed with gzip -9
# and no time stamp.
configure_file("${_data}/man/geomuxer.1.in" "${_gen}/geomuxer.1" @ONLY)
configure_file("${_data}/debian/changelog.in" "${_gen}/changelog.Debian" @ONLY)
find_program(GEOMUXER_GZIP gzip REQUIRED)
add_custom_command(
  OUTPUT "${_gen}/geomuxer.1.gz" "${_gen}/changelog.Debian.gz"
  COMMAND "${GEOMUXER_GZIP}" -9 -n -k -f geomuxer.1 changelog.Debian
  DEPENDS "${_gen}/geomuxer.1" "${_gen}/changelog.Debian"
  WORKING_DIRECTORY "${_gen}"
  COMMENT "Compressing the manual page and the changelog"
  VERBATIM)
add_custom_target(geomuxer_package_files ALL DEPENDS "${_gen}/geomuxer.1.gz" "${_gen}/changelog.Debian.gz")

install(FILES "${_gen}/geomuxer.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
install(FILES "${_data}/debian/copyright" "${_gen}/changelog.Debian.gz"
  DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/geomuxer")
install(FILES "${_data}/debian/lintian-overrides" DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides"
  RENAME geomuxer)

# The unit names the program by its installed path, known only when installing (the package
# installs into /usr whatever prefix this build was configured with).
install(CODE "
  set(GEOMUXER_SERVICE_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${_data}/service/geomuxer.service.in\" \"${_gen}/geomuxer.service\" @ONLY)
")
install(FILES "${_gen}/geomuxer.service" DESTINATION lib/systemd/system)
install(FILES "${_data}/service/geomuxer.sysusers" DESTINATION lib/sysusers.d RENAME geomuxer.conf)
install(FILES "${_data}/service/60-geomuxer-garmin.rules" DESTINATION lib/udev/rules.d)

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME geomuxer)
set(CPACK_PACKAGE_VENDOR "Geomuxer maintainers")
set(CPACK_PACKAGE_CONTACT "${GEOMUXER_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "GPS position multiplexer")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
# Install with DESTDIR and the prefix /usr, so that CMAKE_INSTALL_PREFIX is /usr while installing
# (the unit above), whatever prefix this build was configured with.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${GEOMUXER_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The service user comes from systemd-sysusers.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd | systemd-standalone-sysusers")
# Qt draws the SVG window and tray icons through its SVG icon engine, a plugin.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gpsd")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Geomuxer takes live GPS positions from one source at a time (NMEA 0183 on a
serial port, NMEA from a TCP server, a growing NMEA file, a Garmin receiver
on USB or serial, gpsd, or a built-in simulator) and passes every position to
its outputs: a TCP server broadcasting NMEA, an NMEA log file, an HTTP client
posting each position to a web server, and a GPX track file.
.
It embeds an HTTP position server with the current position as XML, live
pages, and positions posted by other instances stored per client account in
SQLite. It runs as a desktop program with a tray icon, or without a window as
a sandboxed systemd service.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${_data}/debian/postinst" "${_data}/debian/prerm" "${_data}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
