#include "app/command_line.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "settings/sml_node.h"

namespace geomuxer {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// Earlier releases misspelt the simulator's name; scripts that still use it keep working.
std::string_view canonicalSourceName(std::string_view name) {
  return equalsIgnoringCase(name, "Simuator") ? std::string_view("Simulator") : name;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args, const std::vector<std::string>& sourceNames) {
  CommandLine result;
  const std::size_t n = args.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::string& arg = args[i];
    if (arg == "--headless") {
      result.headless = true;
      continue;
    }
    if (arg == "--server") {
      result.server = true;
      continue;
    }
    if (arg == "--config" || arg.starts_with("--config=")) {
      if (arg.size() > 8) {
        result.configFile = arg.substr(9);
      } else if (i + 1 < n) {
        result.configFile = args[++i];
      }
      continue;
    }
    if (arg == "--copy-db") {
      // Both places are needed; a half-given copy is a mistake the program reports.
      result.copyDb = CommandLine::CopyDb{};
      if (i + 2 < n) result.copyDb = CommandLine::CopyDb{args[i + 1], args[i + 2]};
      i = std::min(n - 1, i + 2);
      continue;
    }
    if (arg == "--help") {
      result.help = true;
      continue;
    }
    if (arg == "--version") {
      result.version = true;
      continue;
    }
    if (arg.empty() || (arg[0] != '-' && arg[0] != '/')) continue;
    const std::string_view name = std::string_view(arg).substr(1);
    const bool hasNext = i + 1 < n;
    const std::string next = hasNext ? args[i + 1] : std::string();
    if (name == "t") {
      const std::string_view wanted = canonicalSourceName(next);
      for (std::size_t s = 0; s < sourceNames.size(); ++s) {
        if (equalsIgnoringCase(sourceNames[s], wanted)) {
          result.sourceIndex = static_cast<int>(s);
          break;
        }
      }
      ++i;
    } else if (name == "a") {
      if (!next.empty()) result.activate = textToBool(next);
      ++i;
    } else if (name == "m") {
      result.minimize = true;
    } else if (name == "wroot") {
      std::error_code ec;
      if (!next.empty() && std::filesystem::is_directory(next, ec)) {
        std::string folder = next;
        if (folder.back() != '/') folder += '/';
        result.webRoot = folder;
      }
      ++i;
    }
  }
  return result;
}

std::string commandLineHelp(std::string_view programName) {
  std::string text;
  text += "Usage: ";
  text += programName;
  text +=
      " [options]\n"
      "Takes GPS positions from one source and passes them to the active loggers and the position server.\n"
      "\n"
      "  -t <source>     select a source by its display name (case ignored), e.g. \"Simulator\",\n"
      "                  \"NMEA via COM\", \"NMEA via TCP/IP\", \"NMEA via File\"; also /t\n"
      "  -a <bool>       switch the selected source on (yes/true/1) or leave it off; also /a\n"
      "  -m              start with the main window minimised to the tray; also /m\n"
      "  -wroot <folder> serve the position server's pages from this folder; also /wroot\n"
      "  --headless      run without a window; the event log goes to standard output\n"
      "  --server        start the position server whatever the settings say\n"
      "  --config <file> read the settings from this file; the database goes beside it\n"
      "                  (into $STATE_DIRECTORY when the service manager sets it)\n"
      "  --copy-db FROM TO\n"
      "                  copy every client and position from one position server database into\n"
      "                  an empty one, ids kept, and exit; each is an SQLite file or a\n"
      "                  postgresql:// URI\n"
      "  --help          show this text and exit\n"
      "  --version       show the version and exit\n"
      "\n"
      "Without --config, settings are read from geomuxer.sml in the configuration folder\n"
      "($XDG_CONFIG_HOME/Geomuxer, by default ~/.config/Geomuxer, unless cfgpath.conf beside the\n"
      "program names another). A settings file the program may not write is never written back.\n"
      "Unknown switches are ignored.\n";
  return text;
}

}  // namespace geomuxer
