// The real position server with a fresh database and the project's web root, on a loopback port,
// for the browser tests. Prints "port <n>" once it accepts requests, then takes commands on
// standard input, one a line, and answers each with "ok" or "error <reason>":
//   position <lat> <lon> [<alt> <speed> <heading>]   publishes a current position stamped now; with
//                                                    the three, also a 3D fix of 9 satellites used,
//                                                    12 in view, PDOP 1.8, HDOP 0.9 and VDOP 1.5
//   stop | start                                     stops the server, or starts it on the same port
//   quit                                             (or end of input) stops and removes the database
//
// Usage: geomuxer_web_test_server --web-root DIR --data-dir DIR [--user NAME --password TEXT]

#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "core/date_time.h"
#include "core/number_text.h"
#include "core/position_info.h"
#include "server/current_position.h"
#include "server/sqlite_store.h"
#include "server/position_server.h"
#include "support/temp_dir.h"

namespace {

using namespace geomuxer;

struct Options {
  std::filesystem::path webRoot;
  std::filesystem::path dataDir;
  std::string user;
  std::string password;
};

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--web-root") {
      options.webRoot = value;
    } else if (name == "--data-dir") {
      options.dataDir = value;
    } else if (name == "--user") {
      options.user = value;
    } else if (name == "--password") {
      options.password = value;
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !options.webRoot.empty() && !options.dataDir.empty();
}

/// "position" arguments: latitude and longitude, then optionally altitude, speed and heading.
std::string publishPosition(const std::vector<std::string>& args, CurrentPosition& current) {
  std::vector<double> values;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const auto value = parseDouble(args[i]);
    if (!value) return "error not a number: " + args[i];
    values.push_back(*value);
  }
  if (values.size() != 2 && values.size() != 5) return "error expected lat lon [alt speed heading]";

  PositionInfo position;
  position.time = nowUtc();
  position.y = static_cast<float>(values[0]);
  position.x = static_cast<float>(values[1]);
  position.fields = {defTime, defXY};
  position.xyPrec = 4.0f;
  position.fields.include(defXYPrec);
  if (values.size() == 5) {
    position.altitude = static_cast<float>(values[2]);
    position.speed = static_cast<float>(values[3]);
    position.heading = static_cast<float>(values[4]);
    position.satellites = 9;
    position.satellitesInView = 12;
    position.fix = fix3D;
    position.pdop = 1.8f;
    position.hdop = 0.9f;
    position.vdop = 1.5f;
    position.fields |= DefFields{defAltitude, defSpeed, defHeading, defSatellites, defSatellitesInView,
                                 defFix, defPDOP, defHDOP, defVDOP};
  }
  current.publish(position);
  return "ok";
}

int run(const Options& options) {
  const test::TempDir dir;
  SqliteStore database(dir / "geomuxer.db", options.dataDir);
  CurrentPosition current;
  PositionServer server(current, &database, [](const std::string& line) {
    std::cerr << "server: " << line << '\n';
  });

  PositionServerConfig config;
  config.port = 0;
  config.bindAddress = "127.0.0.1";
  config.webRoot = options.webRoot;
  config.auth = !options.user.empty();
  config.user = options.user;
  config.password = options.password;
  config.logRequests = true;
  server.setConfig(config);
  server.start();
  // A restart must come back on the port the browser already uses.
  config.port = server.port();
  server.setConfig(config);
  std::cout << "port " << server.port() << std::endl;

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::vector<std::string> args;
    for (std::string word; words >> word;) args.push_back(word);
    if (args.empty()) continue;

    std::string answer = "ok";
    try {
      if (args[0] == "position") {
        answer = publishPosition(args, current);
      } else if (args[0] == "stop") {
        server.stop();
      } else if (args[0] == "start") {
        server.start();
      } else if (args[0] == "quit") {
        break;
      } else {
        answer = "error unknown command " + args[0];
      }
    } catch (const std::exception& e) {
      answer = std::string("error ") + e.what();
    }
    std::cout << answer << std::endl;
  }
  server.stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::cerr << "usage: " << argv[0] << " --web-root DIR --data-dir DIR [--user NAME --password TEXT]\n";
    return 2;
  }
  try {
    return run(options);
  } catch (const std::exception& e) {
    std::cerr << "web test server: " << e.what() << '\n';
    return 1;
  }
}
