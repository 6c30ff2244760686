#pragma once
// The program's command line. The classic switches start with '-' or '/' and are applied after the
// settings ("-t <source>", "-a <bool>", "-m", "-wroot <folder>"); the long ones ("--headless",
// "--server", "--config <file>", "--help", "--version") choose how the program runs.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace geomuxer {

struct CommandLine {
  /// The source chosen with -t, as an index of `sourceNames`; the last usable -t wins.
  std::optional<int> sourceIndex;
  /// The wish of -a: switch the selected source on (or, with a false text, leave it off).
  std::optional<bool> activate;
  bool minimize = false;
  /// The folder of -wroot, with a trailing separator; only a folder that exists is taken.
  std::optional<std::string> webRoot;

  bool headless = false;
  /// Start the position server even when the settings leave it off.
  bool server = false;
  /// The settings file of --config (also "--config=FILE"), as given; empty: the usual one.
  std::string configFile;
  bool help = false;
  bool version = false;
  /// --copy-db FROM TO: copy one position server database into another and exit. Both texts
  /// are empty when the switch lacks its two arguments.
  struct CopyDb {
    std::string from;
    std::string to;
  };
  std::optional<CopyDb> copyDb;
};

/// Reads `args` (without the program name). `sourceNames` are the display names of the source
/// list; -t matches them without regard to case. Unknown switches and stray words are ignored.
[[nodiscard]] CommandLine parseCommandLine(const std::vector<std::string>& args,
                                           const std::vector<std::string>& sourceNames);

/// The text of --help.
[[nodiscard]] std::string commandLineHelp(std::string_view programName);

}  // namespace geomuxer
