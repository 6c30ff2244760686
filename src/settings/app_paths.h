#pragma once
// Where the program keeps its files. Every function takes the program's folder, so that nothing
// here depends on how the program was started.

#include <filesystem>
#include <string>
#include <string_view>

namespace geomuxer {

/// The value of an environment variable, empty when it is not set.
[[nodiscard]] std::string envVar(std::string_view name);

/// Replaces each "%NAME%" with the value of the environment variable NAME (empty when unset);
/// "%%" names the empty variable and disappears. A lone '%' stays. Inserted values are not
/// searched again.
[[nodiscard]] std::string expandEnvVars(std::string_view text);

/// Sets GEOMUXER_APPPATH (the program's folder, no trailing separator) and GEOMUXER_DRIVE (its
/// drive, "C:" style; empty where paths have no drive) for this process, so that a cfgpath.conf can
/// refer to them. Call once at start, before other threads run.
void setProgramEnvironment(const std::filesystem::path& programDir);

/// The configuration folder, resolved anew on every call: the first line of "cfgpath.conf" in
/// `programDir` with environment references expanded (a relative path is taken from the current
/// folder; backslashes count as separators), or else $XDG_CONFIG_HOME/Geomuxer, by default
/// ~/.config/Geomuxer. A missing folder is created with its parents; a failure to create it is not
/// reported here but shows when the files in it are written.
[[nodiscard]] std::filesystem::path configDir(const std::filesystem::path& programDir);
/// configDir()/"geomuxer.sml".
[[nodiscard]] std::filesystem::path settingsFile(const std::filesystem::path& programDir);
/// storagePaths(programDir).databaseFile.
[[nodiscard]] std::filesystem::path databaseFile(const std::filesystem::path& programDir);

/// Where one run of the program keeps its files.
struct StoragePaths {
  std::filesystem::path settingsFile;
  /// What the program writes besides its settings (the database and the like).
  std::filesystem::path stateDir;
  /// stateDir/"geomuxer.db".
  std::filesystem::path databaseFile;
};

/// The settings file is `configFile` (the --config switch; a relative name is taken from the
/// current folder) or, when that is empty, settingsFile(programDir). The state folder is
/// $STATE_DIRECTORY, which the service manager sets for a service (the first folder of its
/// colon-separated list; only an absolute one counts), or else the settings file's folder. Both
/// folders are created when missing, failures reported only when the files in them are written.
[[nodiscard]] StoragePaths storagePaths(const std::filesystem::path& programDir,
                                        const std::filesystem::path& configFile = {});

/// True when this process may replace `file` the way the settings are saved (a new file in the
/// same folder renamed over it): the folder is writable and the file, when it exists, is too.
/// False for a read-only file system, and for a service's settings under /etc.
[[nodiscard]] bool canReplaceFile(const std::filesystem::path& file);
/// The web-root folder beside the program: programDir, "http" and a trailing separator.
[[nodiscard]] std::string defaultWebRoot(const std::filesystem::path& programDir);

}  // namespace geomuxer
