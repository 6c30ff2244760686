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
        m_xdg("XDG_CONFIG_HOME", nullptr),
        m_state("STATE_DIRECTORY", nullptr) {
    fs::create_directories(m_programDir);
  }

  TempDir m_tmp;
  fs::path m_programDir;
  ScopedEnv m_appPath;
  ScopedEnv m_drive;
  ScopedEnv m_home;
  ScopedEnv m_xdg;
  ScopedEnv m_state;
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

TEST_F(ConfigDir, StoragePathsFollowConfigAndTheServiceManager) {
  const fs::path usual = m_tmp / "home" / ".config" / "Geomuxer";
  StoragePaths paths = storagePaths(m_programDir);
  EXPECT_EQ(paths.settingsFile, usual / "geomuxer.sml");
  EXPECT_EQ(paths.stateDir, usual);
  EXPECT_EQ(paths.databaseFile, usual / "geomuxer.db");

  // --config: a relative name from the current folder; its folder is made; the database beside it.
  fs::create_directory(m_tmp / "cwd");
  ScopedCurrentDir cwd(m_tmp / "cwd");
  paths = storagePaths(m_programDir, "boat/./mine.sml");
  EXPECT_EQ(paths.settingsFile, m_tmp / "cwd" / "boat" / "mine.sml");
  EXPECT_TRUE(fs::is_directory(m_tmp / "cwd" / "boat"));
  EXPECT_EQ(paths.databaseFile, m_tmp / "cwd" / "boat" / "geomuxer.db");

  // The service manager's state folder takes the database, with or without --config; only the
  // first of a list counts, and a relative one not at all.
  struct Row {
    const char* name;
    std::string state;
    fs::path stateDir;
  };
  const Row rows[] = {
      {"one folder", (m_tmp / "var" / "lib" / "geomuxer").string(), m_tmp / "var" / "lib" / "geomuxer"},
      {"a list", (m_tmp / "s1").string() + ":" + (m_tmp / "s2").string(), m_tmp / "s1"},
      {"relative", "var/lib/geomuxer", m_tmp / "etc"},
      {"empty", "", m_tmp / "etc"},
  };
  for (const Row& row : rows) {
    ScopedEnv state("STATE_DIRECTORY", row.state.c_str());
    paths = storagePaths(m_programDir, m_tmp / "etc" / "geomuxer.sml");
    EXPECT_EQ(paths.settingsFile, m_tmp / "etc" / "geomuxer.sml") << row.name;
    EXPECT_EQ(paths.stateDir, row.stateDir) << row.name;
    EXPECT_EQ(paths.databaseFile, row.stateDir / "geomuxer.db") << row.name;
    EXPECT_TRUE(fs::is_directory(row.stateDir)) << row.name;
  }
  ScopedEnv state("STATE_DIRECTORY", (m_tmp / "st").c_str());
  EXPECT_EQ(databaseFile(m_programDir), m_tmp / "st" / "geomuxer.db");
  EXPECT_EQ(settingsFile(m_programDir), usual / "geomuxer.sml");
}

TEST(CanReplaceFile, NeedsAWritableFolderAndFile) {
  TempDir tmp;
  EXPECT_TRUE(canReplaceFile(tmp / "new.sml"));
  writeFile(tmp / "old.sml", "x");
  EXPECT_TRUE(canReplaceFile(tmp / "old.sml"));
  EXPECT_FALSE(canReplaceFile(tmp / "missing" / "new.sml"));
  writeFile(tmp / "file", "");
  EXPECT_FALSE(canReplaceFile(tmp / "file" / "new.sml"));
  // Permissions bind everyone but root; the program run as another user covers that case.
  if (::geteuid() == 0) return;
  fs::permissions(tmp / "old.sml", fs::perms::owner_read);
  EXPECT_FALSE(canReplaceFile(tmp / "old.sml"));
  fs::permissions(tmp.path(), fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_FALSE(canReplaceFile(tmp / "new.sml"));
  fs::permissions(tmp.path(), fs::perms::owner_all);
}

TEST(WebRoot, BesideTheProgram) { EXPECT_EQ(defaultWebRoot("/opt/geomuxer"), "/opt/geomuxer/http/"); }

}  // namespace
}  // namespace geomuxer
