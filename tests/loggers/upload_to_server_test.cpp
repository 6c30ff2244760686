// End to end: the simulator feeds the HTTP upload logger, which posts to the intake of a real
// position server; the server's administration feed then shows the simulated position.
#include <gtest/gtest.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "core/date_time.h"
#include "core/units.h"
#include "loggers/http_logger.h"
#include "loggers/track_logger_list.h"
#include "support/qt_event_loop.h"
#include "server/current_position.h"
#include "server/sqlite_store.h"
#include "server/position_server.h"
#include "server/sqlite.h"
#include "support/temp_dir.h"
#include "sources/trackers/gps_tracker_simu.h"

namespace geomuxer {
namespace {

TEST(UploadToPositionServer, SimulatedPositionsReachTheClientFeed) {
  test::qtApp();
  test::TempDir dir;
  SqliteStore db(dir / "geomuxer.db", std::filesystem::path(GEOMUXER_SOURCE_DIR) / "data");
  const auto userId = db.addUser({.name = "walker", .passwordHash = hashPassword("secret"), .color = "#ff0000",
                                  .firstName = {}, .sureName = {}, .email = {}, .phone = {}, .description = {}});

  CurrentPosition current;
  std::atomic<int> sqlErrors{0};
  PositionServer server(current, &db, [&](const std::string& line) {
    if (line.rfind("SQL ERROR", 0) == 0) ++sqlErrors;
  });
  PositionServerConfig config;
  config.port = 0;
  config.bindAddress = "127.0.0.1";
  config.webRoot = dir.path();
  server.setConfig(config);
  server.start();

  HttpLogger logger;
  logger.setHost("127.0.0.1");
  logger.setPort(static_cast<quint16>(server.port()));
  logger.setPostFile("onclientpos");
  logger.setHttpAuth(true);
  logger.setAuthUser("walker");
  logger.setAuthPass("secret");
  logger.setActive(true);
  QStringList errors;
  QObject::connect(&logger, &HttpLogger::errorOccurred, [&](const QString& m) { errors << m; });

  TrackLoggerList loggers;
  loggers.setActive(true);
  ASSERT_EQ(loggers.add(&logger), 0);

  GpsTrackerSimu simulator;
  simulator.setStartPoint({11.39321f, 47.26962f});
  simulator.setAltitude(600.0f);
  simulator.setLogger(&loggers);
  simulator.setActive(true);

  ASSERT_TRUE(test::waitUntil([&] { return db.lastPositionOfUser(userId).has_value(); })) << errors.join("; ").toStdString();
  simulator.setActive(false);
  ASSERT_TRUE(test::waitUntil([&] { return logger.pendingPosts() == 0; }));
  EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
  EXPECT_EQ(sqlErrors.load(), 0);

  httplib::Client client("127.0.0.1", server.port());
  const auto reply = client.Get(("/admin/lastpos.xml?user=" + std::to_string(userId)).c_str());
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  const std::string& xml = reply->body;
  EXPECT_NE(xml.find("<lat>47.2696"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<lon>11.3932"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<alt>600</alt>"), std::string::npos) << xml;

  const auto stored = db.lastPositionOfUser(userId);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->trackId.size(), 32u);
  // The simulator's clock time keeps its milliseconds all the way into the row.
  EXPECT_EQ(formatIsoTimeMs(storedTime(*stored)), formatIsoTimeMs(simulator.lastPosition().time));
  server.stop();
}

// The server cannot store while another program holds the database: it answers 503, the uploader
// says so and posts the same position again after the server's Retry-After.
TEST(UploadToPositionServer, ALockedDatabaseIsReportedAndThePositionKept) {
  test::qtApp();
  test::TempDir dir;
  SqliteStore db(dir / "geomuxer.db", std::filesystem::path(GEOMUXER_SOURCE_DIR) / "data");
  const auto userId = db.addUser({.name = "walker", .passwordHash = hashPassword("secret"), .color = {},
                                  .firstName = {}, .sureName = {}, .email = {}, .phone = {}, .description = {}});
  CurrentPosition current;
  PositionServer server(current, &db, {});
  PositionServerConfig config;
  config.port = 0;
  config.bindAddress = "127.0.0.1";
  config.webRoot = dir.path();
  config.storeRetryAfter = std::chrono::seconds(1);
  server.setConfig(config);
  server.start();

  HttpLogger logger;
  logger.setHost("127.0.0.1");
  logger.setPort(static_cast<quint16>(server.port()));
  logger.setPostFile("onclientpos");
  logger.setHttpAuth(true);
  logger.setAuthUser("walker");
  logger.setAuthPass("secret");
  logger.setActive(true);
  QStringList errors;
  QObject::connect(&logger, &HttpLogger::errorOccurred, [&](const QString& m) { errors << m; });
  logger.start();

  PositionInfo first;
  first.time = *makeDateTime({.year = 2024, .month = 5, .day = 1, .hour = 10, .minute = 0, .second = 0});
  first.y = 47.5f;
  first.x = 11.5f;
  first.fields = {defTime, defXY};
  auto other = std::make_unique<SqliteDatabase>((dir / "geomuxer.db").string());
  other->execute("BEGIN EXCLUSIVE");
  logger.addPosition(first);
  ASSERT_TRUE(test::waitUntil([&] { return !errors.isEmpty(); }));
  EXPECT_EQ(errors.front(), "The server answered 503 Service Unavailable; the position is kept for the next try in 1 s (1 waiting)");
  EXPECT_FALSE(db.lastPositionOfUser(userId));

  other.reset();  // the other program lets go
  PositionInfo second = first;
  second.time += 1.0 / 86400.0;
  logger.addPosition(second);  // too early: it waits behind the kept one
  EXPECT_EQ(logger.queueLength(), 2);
  PositionInfo third = second;
  third.time += 1.0 / 86400.0;
  logger.addPosition(third);
  // After the server's pause every one of them is stored, in order.
  ASSERT_TRUE(test::waitUntil([&] { return db.positionsOfUser(userId).size() == 3; }));
  ASSERT_TRUE(test::waitUntil([&] { return logger.queueLength() == 0; }));
  EXPECT_EQ(errors.size(), 1);
  const auto stored = db.positionsOfUser(userId);
  std::vector<std::string> times;
  for (const auto& p : stored) times.push_back(p.datetime);
  std::sort(times.begin(), times.end());
  EXPECT_EQ(times, (std::vector<std::string>{"2024-05-01 10:00:00", "2024-05-01 10:00:01", "2024-05-01 10:00:02"}));
  logger.stop();
  server.stop();
}

}  // namespace
}  // namespace geomuxer
