#include "settings/app_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "settings/text_stream.h"

namespace geomuxer {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kAppFolder = "Geomuxer";

std::string homeDir() {
  std::string home = envVar("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) return pw->pw_dir;
  return {};
}

// First line of cfgpath.conf, without its line ending; empty when the file is missing. The file
// may carry a byte order mark, as editors on other systems like to write one.
std::string configuredFolder(const fs::path& programDir) {
  std::ifstream in(programDir / "cfgpath.conf", std::ios::binary);
  if (!in) return {};
  std::string text;
  try {
    TextReader reader(in, "UTF-8");
    text = reader.read(16 * 1024);
  } catch (const CharsetError&) {
    return {};
  }
  const std::size_t eol = text.find_first_of("\r\n");
  if (eol != std::string::npos) text.resize(eol);
  return text;
}

}  // namespace

std::string envVar(std::string_view name) {
  const std::string key(name);
  const char* value = key.empty() ? nullptr : std::getenv(key.c_str());
  return value != nullptr ? std::string(value) : std::string();
}

std::string expandEnvVars(std::string_view text) {
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t open = text.find('%', pos);
    const std::size_t close = open == std::string_view::npos ? open : text.find('%', open + 1);
    if (close == std::string_view::npos) break;
    out.append(text.substr(pos, open - pos));
    out += envVar(text.substr(open + 1, close - open - 1));
    pos = close + 1;
  }
  out.append(text.substr(std::min(pos, text.size())));
  return out;
}

void setProgramEnvironment(const fs::path& programDir) {
  std::string dir = programDir.string();
  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  ::setenv("GEOMUXER_APPPATH", dir.c_str(), 1);
  ::setenv("GEOMUXER_DRIVE", programDir.root_name().string().c_str(), 1);
}

fs::path configDir(const fs::path& programDir) {
  std::string folder = expandEnvVars(configuredFolder(programDir));
  fs::path dir;
  if (!folder.empty()) {
    if constexpr (fs::path::preferred_separator == '/') std::replace(folder.begin(), folder.end(), '\\', '/');
    dir = fs::absolute(fs::path(folder));
  } else {
    // Only an absolute XDG_CONFIG_HOME counts; a relative one is to be ignored.
    const std::string xdg = envVar("XDG_CONFIG_HOME");
    const fs::path base = !xdg.empty() && fs::path(xdg).is_absolute() ? fs::path(xdg) : fs::path(homeDir()) / ".config";
    dir = base / kAppFolder;
  }
  std::error_code ec;
  fs::create_directories(dir, ec);
  return dir;
}

fs::path settingsFile(const fs::path& programDir) { return configDir(programDir) / "geomuxer.sml"; }

fs::path databaseFile(const fs::path& programDir) { return storagePaths(programDir).databaseFile; }

StoragePaths storagePaths(const fs::path& programDir, const fs::path& configFile) {
  StoragePaths paths;
  std::error_code ec;
  if (configFile.empty()) {
    paths.settingsFile = settingsFile(programDir);
  } else {
    paths.settingsFile = fs::absolute(configFile, ec).lexically_normal();
    fs::create_directories(paths.settingsFile.parent_path(), ec);
  }
  const std::string stateList = envVar("STATE_DIRECTORY");
  const fs::path state(stateList.substr(0, stateList.find(':')));
  paths.stateDir = state.is_absolute() ? state : paths.settingsFile.parent_path();
  fs::create_directories(paths.stateDir, ec);
  paths.databaseFile = paths.stateDir / "geomuxer.db";
  return paths;
}

bool canReplaceFile(const fs::path& file) {
  const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
  if (::access(folder.c_str(), W_OK | X_OK) != 0) return false;
  return ::access(file.c_str(), W_OK) == 0 || errno == ENOENT;
}

std::string defaultWebRoot(const fs::path& programDir) {
  return (programDir / "http").string() + static_cast<char>(fs::path::preferred_separator);
}

}  // namespace geomuxer
