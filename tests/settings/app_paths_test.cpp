#include "settings/app_paths.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace geomuxer {
namespace {

namespace fs = std::filesystem;
using test::ScopedCurrentDir;
using test::ScopedEnv;
using test::TempDir;
using test::writeFile;

TEST(ExpandEnvVars, ReplacesEachReference) {
  ScopedEnv a("GEOMUXER_TEST_A", "alpha");
  ScopedEnv pct("GEOMUXER_TEST_PCT", "%GEOMUXER_TEST_A%");
  ScopedEnv unset("GEOMUXER_TEST_UNSET", nullptr);
  struct Row {
    const char* in;
    const char* out;
  };
  const Row rows[] = {
      {"%GEOMUXER_TEST_A%\\data", "alpha\\data"},
      {"x%GEOMUXER_TEST_A%y%GEOMUXER_TEST_A%", "xalphayalpha"},
      {"%GEOMUXER_TEST_UNSET%x", "x"},
      {"a%%b", "ab"},
      {"100%", "100%"},
      {"%GEOMUXER_TEST_A%%", "alpha%"},
      {"%GEOMUXER_TEST_PCT%", "%GEOMUXER_TEST_A%"},  // a value is not expanded again
      {"", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(expandEnvVars(row.in), row.out) << row.in;
  EXPECT_EQ(envVar("GEOMUXER_TEST_A"), "alpha");
  EXPECT_EQ(envVar("GEOMUXER_TEST_UNSET"), "");
  EXPECT_EQ(envVar(""), "");
}

class ConfigDir : public ::testing::Test {
 protected:
  ConfigDir()
      : m_programDir(m_tmp / "program"),
        m_appPath("GEOMUXER_APPPATH", nullptr),
        m_drive("GEOMUXER_DRIVE", nullptr),
        m_home("HOME", (m_tmp / "home").c_str()),
        m_xdg("XDG_CONFIG_HOME", nullptr) {
    fs::create_directories(m_programDir);
  }

  TempDir m_tmp;
  fs::path m_programDir;
  ScopedEnv m_appPath;
  ScopedEnv m_drive;
  ScopedEnv m_home;
  ScopedEnv m_xdg;
};

TEST_F(ConfigDir, DefaultsToTheUsersConfigFolderAndCreatesIt) {
  const fs::path expected = m_tmp / "home" / ".config" / "Geomuxer";
  EXPECT_FALSE(fs::exists(expected));
  EXPECT_EQ(configDir(m_programDir), expected);
  EXPECT_TRUE(fs::is_directory(expected));
  EXPECT_EQ(settingsFile(m_programDir), expected / "geomuxer.sml");
  EXPECT_EQ(databaseFile(m_programDir), expected / "geomuxer.db");

  ScopedEnv xdg("XDG_CONFIG_HOME", (m_tmp / "xdg").c_str());
  EXPECT_EQ(configDir(m_programDir), m_tmp / "xdg" / "Geomuxer");
  EXPECT_TRUE(fs::is_directory(m_tmp / "xdg" / "Geomuxer"));
  ScopedEnv relative("XDG_CONFIG_HOME", "relative/xdg");
  EXPECT_EQ(configDir(m_programDir), expected);

  // An empty first line counts as no file.
  writeFile(m_programDir / "cfgpath.conf", "\r\nignored\r\n");
  EXPECT_EQ(configDir(m_programDir), expected);
}

TEST_F(ConfigDir, ConfigFileWithTheProgramsFolder) {
  setProgramEnvironment(m_programDir.string() + "/");
  EXPECT_EQ(envVar("GEOMUXER_APPPATH"), m_programDir.string());
  EXPECT_EQ(envVar("GEOMUXER_DRIVE"), "");  // no drives here

  // Written by an editor that adds a byte order mark; only the first line counts.
  writeFile(m_programDir / "cfgpath.conf", "\xEF\xBB\xBF%GEOMUXER_APPPATH%\\data\r\nsecond line\r\n");
  EXPECT_EQ(configDir(m_programDir), m_programDir / "data");
  EXPECT_TRUE(fs::is_directory(m_programDir / "data"));
  EXPECT_EQ(settingsFile(m_programDir), m_programDir / "data" / "geomuxer.sml");

  // The folder is resolved anew on every call.
  writeFile(m_programDir / "cfgpath.conf", m_tmp.path().string() + "/a/b/c");
  EXPECT_EQ(databaseFile(m_programDir), m_tmp / "a" / "b" / "c" / "geomuxer.db");
  EXPECT_TRUE(fs::is_directory(m_tmp / "a" / "b" / "c"));
}

TEST_F(ConfigDir, UnsetVariableLeavesARelativePath) {
  ScopedEnv nope("NOPE", nullptr);
  writeFile(m_programDir / "cfgpath.conf", "%NOPE%x");
  fs::create_directory(m_tmp / "cwd");
  ScopedCurrentDir cwd(m_tmp / "cwd");
  EXPECT_EQ(configDir(m_programDir), fs::current_path() / "x");
  EXPECT_TRUE(fs::is_directory(m_tmp / "cwd" / "x"));
}

TEST_F(ConfigDir, UncreatableFolderIsNotReportedHere) {
  writeFile(m_tmp / "file", "");
  writeFile(m_programDir / "cfgpath.conf", (m_tmp / "file" / "sub").string());
  EXPECT_EQ(configDir(m_programDir), m_tmp / "file" / "sub");
  EXPECT_FALSE(fs::exists(m_tmp / "file" / "sub"));
}

TEST(WebRoot, BesideTheProgram) { EXPECT_EQ(defaultWebRoot("/opt/geomuxer"), "/opt/geomuxer/http/"); }

}  // namespace
}  // namespace geomuxer
