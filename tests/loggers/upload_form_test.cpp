#include <gtest/gtest.h>

#include <QRegularExpression>

#include <string>
#include <vector>

#include "loggers/http_logger.h"
#include "loggers/proxy_settings.h"
#include "support/qt_event_loop.h"

namespace geomuxer {
namespace {

using Fields = std::vector<FormField>;

PositionInfo basicPosition() {
  PositionInfo p;
  p.time = *makeDateTime({.year = 2024, .month = 5, .day = 1, .hour = 10, .minute = 20, .second = 30,
                          .millisecond = 750});
  p.y = 47.26962f;
  p.x = 0.0f;
  p.fields = {defTime, defXY};
  return p;
}

TEST(UploadForm, AlwaysSendsUserTrackTimeAndPointWhateverTheFlags) {
  PositionInfo p = basicPosition();
  // "datetime" keeps whole seconds; the milliseconds come last on their own.
  EXPECT_EQ(uploadFields(p, "", "ABC"), (Fields{{"user", ""},
                                                {"trackid", "ABC"},
                                                {"datetime", "2024-05-01T10:20:30Z"},
                                                {"lat", "47.2696189880371"},
                                                {"lon", "0"},
                                                {"msec", "750"}}));
  p.fields.clear();
  EXPECT_EQ(uploadFields(p, "bob", "ABC").size(), 6u) << "time and point are sent even without their flags";
  p.time = *makeDateTime({2024, 5, 1, 10, 20, 30, 0});
  EXPECT_EQ(uploadFields(p, "bob", "ABC").back().first, "lon") << "a whole second sends no msec";
}

TEST(UploadForm, OptionalFieldsFollowTheirFlagsInFixedOrder) {
  PositionInfo p = basicPosition();
  p.time = *makeDateTime({2024, 5, 1, 10, 20, 30, 0});
  p.xyPrec = 3.2f;
  p.altitude = 512.3f;
  p.altitudePrec = 8.25f;
  p.heading = 270.0f;
  p.speed = 12.5f;
  p.vertSpeed = -1.7f;
  p.geoidHeight = 48.0f;
  p.depth = 0.5f;
  p.magVar = -2.0f;
  p.satellites = 11;
  p.pdop = 1.5f;
  p.fix = fix3D;
  p.fields = DefFields::fromBits(0xFFFF);  // every flag, fix and dilutions included
  EXPECT_EQ(uploadFields(p, "alice", "T"), (Fields{{"user", "alice"},
                                                   {"trackid", "T"},
                                                   {"datetime", "2024-05-01T10:20:30Z"},
                                                   {"lat", "47.2696189880371"},
                                                   {"lon", "0"},
                                                   {"prec", "3.20000004768372"},
                                                   {"alt", "512.299987792969"},
                                                   {"altprec", "8.25"},
                                                   {"heading", "270"},
                                                   {"speed", "12.5"},
                                                   {"vspeed", "-1.70000004768372"},
                                                   {"geoidheight", "48"},
                                                   {"depth", "0.5"},
                                                   {"magvar", "-2"},
                                                   {"satellites", "11"}}));

  // Each flag alone adds exactly its own field.
  p.fields = {defTime, defXY, defSpeed};
  ASSERT_EQ(uploadFields(p, "", "T").size(), 6u);
  EXPECT_EQ(uploadFields(p, "", "T").back(), FormField("speed", "12.5"));
  p.fields = {defTime, defXY, defSatellites};
  EXPECT_EQ(uploadFields(p, "", "T").back(), FormField("satellites", "11"));
}

TEST(HttpLoggerSetup, AgentAndUrl) {
  const std::string& agent = HttpLogger::defaultAgent();
  EXPECT_TRUE(QRegularExpression(R"(^Mozilla/3\.0 \(compatible; Geomuxer/[0-9.]+; .+\)$)")
                  .match(QString::fromStdString(agent))
                  .hasMatch())
      << agent;
  EXPECT_EQ(&agent, &HttpLogger::defaultAgent()) << "built once per process";

  HttpLogger logger;
  EXPECT_EQ(logger.agent(), agent);
  EXPECT_EQ(logger.timeout(), 1000);
  logger.setHost("example.org");
  logger.setPort(8087);
  logger.setPostFile("onclientpos");
  EXPECT_EQ(logger.url().toString(), "http://example.org:8087/onclientpos");
  logger.setProtocol(hpHttps);
  EXPECT_EQ(logger.url().toString(), "https://example.org:8087/onclientpos");
}

TEST(HttpLoggerSetup, EachRunGetsItsOwnTrackIdAndStopClearsIt) {
  test::qtApp();
  HttpLogger logger;
  logger.start();
  EXPECT_TRUE(logger.trackId().empty()) << "an inactive logger does not start";
  EXPECT_FALSE(logger.isRunning());

  logger.setActive(true);
  logger.start();
  const std::string first = logger.trackId();
  EXPECT_TRUE(QRegularExpression("^[0-9A-F]{32}$").match(QString::fromStdString(first)).hasMatch()) << first;
  EXPECT_TRUE(logger.isRunning());
  logger.stop();
  EXPECT_TRUE(logger.trackId().empty());
  EXPECT_FALSE(logger.isRunning());
  logger.start();
  EXPECT_NE(logger.trackId(), first);
  logger.stop();
}

TEST(HttpLoggerSetup, StartResetsTheFilter) {
  test::qtApp();
  TracklogFilter filter;
  ASSERT_TRUE(filter.accept(basicPosition()));
  HttpLogger logger;
  logger.setFilter(&filter);
  logger.setActive(true);
  logger.start();
  EXPECT_TRUE(filter.lastPosition().fields.empty());
  logger.stop();
}

TEST(ProxySettingsLoad, LoadsOnceUntilInvalidated) {
  int loads = 0;
  ProxySettings proxy([&](ProxySettings& p) {
    ++loads;
    p.setEnabled(true);
    p.setHost("proxy.local");
    p.setPort(3128);
  });
  EXPECT_FALSE(proxy.enabled());
  proxy.load();
  proxy.load();
  EXPECT_EQ(loads, 1);
  EXPECT_TRUE(proxy.enabled());
  EXPECT_TRUE(proxy.useProxy());
  EXPECT_FALSE(proxy.useAuth()) << "no user name";
  proxy.invalidate();
  proxy.load();
  EXPECT_EQ(loads, 2);

  ProxySettings failing([](ProxySettings&) { throw std::runtime_error("unreadable"); });
  EXPECT_THROW(failing.load(), std::runtime_error);
  EXPECT_FALSE(failing.loaded()) << "a failed load is tried again next time";
}

TEST(ProxySettingsLoad, SettingsThatAreNeverEnabledKeepTheRunFromUploading) {
  test::qtApp();
  auto proxy = std::make_shared<ProxySettings>();  // no loader: nothing enables it
  HttpLogger logger;
  logger.setProxySettings(proxy);
  logger.setHost("127.0.0.1");
  logger.setPort(9);
  logger.setActive(true);
  logger.start();
  EXPECT_TRUE(proxy->loaded());
  EXPECT_FALSE(logger.isRunning());
  logger.addPosition(basicPosition());
  EXPECT_EQ(logger.pendingPosts(), 0);
  logger.stop();
}

}  // namespace
}  // namespace geomuxer
