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
/// configDir()/"geomuxer.db".
[[nodiscard]] std::filesystem::path databaseFile(const std::filesystem::path& programDir);
/// The web-root folder beside the program: programDir, "http" and a trailing separator.
[[nodiscard]] std::string defaultWebRoot(const std::filesystem::path& programDir);

}  // namespace geomuxer
