// The position server as a stand-alone program for load tests (compare-httpd.sh): a fresh
// database in a temporary folder with the client "bench" (password "bench"), a current position,
// no request log. Runs until SIGINT or SIGTERM, then prints how many positions were stored.
//   httpd_bench_server PORT [WORKERS]

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "core/date_time.h"
#include "server/current_position.h"
#include "server/sqlite_store.h"
#include "server/position_server.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: httpd_bench_server PORT [WORKERS]\n";
    return 2;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before any thread starts

  std::string folder = (std::filesystem::temp_directory_path() / "geomuxer-httpd-XXXXXX").string();
  if (!mkdtemp(folder.data())) return 1;
  int rc = 0;
  try {
    geomuxer::SqliteStore database(std::filesystem::path(folder) / "geomuxer.db",
                                std::filesystem::path(GEOMUXER_SOURCE_DIR) / "data");
    geomuxer::UserFields user;
    user.name = "bench";
    user.passwordHash = geomuxer::hashPassword("bench");
    const auto id = database.addUser(user);

    geomuxer::CurrentPosition current;
    geomuxer::PositionInfo p;
    p.time = geomuxer::nowUtc();
    p.y = 47.123f;
    p.x = 11.456f;
    p.altitude = 512.5f;
    p.speed = 42.0f;
    p.satellites = 9;
    p.fields = {geomuxer::defTime, geomuxer::defXY, geomuxer::defAltitude, geomuxer::defSpeed,
                geomuxer::defSatellites};
    current.publish(p);

    geomuxer::PositionServer server(current, &database, [](const std::string& line) { std::cerr << line << "\n"; });
    geomuxer::PositionServerConfig config;
    config.port = std::atoi(argv[1]);
    config.bindAddress = "127.0.0.1";
    config.webRoot = folder;
    if (argc > 2) config.workers = static_cast<std::size_t>(std::atoi(argv[2]));
    server.setConfig(config);
    server.start();
    std::cout << "listening on " << server.port() << std::endl;

    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    std::cout << "stored " << database.positionsOfUser(id).size() << std::endl;
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    rc = 1;
  }
  std::filesystem::remove_all(folder);
  return rc;
}
