// End to end: the simulator feeds the HTTP upload logger, which posts to the intake of a real
// position server; the server's administration feed then shows the simulated position.
#include <gtest/gtest.h>

#include <httplib.h>

#include <atomic>
#include <string>

#include "core/units.h"
#include "loggers/http_logger.h"
#include "loggers/track_logger_list.h"
#include "support/qt_event_loop.h"
#include "server/current_position.h"
#include "server/database.h"
#include "server/position_server.h"
#include "support/temp_dir.h"
#include "sources/gps_tracker_simu.h"

namespace geomuxer {
namespace {

TEST(UploadToPositionServer, SimulatedPositionsReachTheClientFeed) {
  test::qtApp();
  test::TempDir dir;
  Database db(dir / "geomuxer.db", std::filesystem::path(GEOMUXER_SOURCE_DIR) / "data");
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
  server.stop();
}

}  // namespace
}  // namespace geomuxer
