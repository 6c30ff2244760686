// The documents of the position server and the reading of posted forms, without the network.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/date_time.h"
#include "core/number_text.h"
#include "server/client_intake.h"
#include "server/server_feeds.h"
#include "server/sqlite.h"

namespace geomuxer {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::vector<std::string> childNames(const SmlNode& node) {
  std::vector<std::string> names;
  for (const SmlNode& c : node.children()) names.push_back(c.name());
  return names;
}

StoredPosition storedRow(std::int64_t id, double lat, double lon) {
  StoredPosition p;
  p.id = id;
  p.datetime = "2024-05-01 10:20:30";
  p.lat = lat;
  p.lon = lon;
  p.trackId = "track-1";
  return p;
}

TEST(PositionFeed, WritesFlaggedMeasurementsInOrderAsWidenedSingles) {
  PositionInfo p;
  SmlNode before;
  buildPositionFeed(before, p);
  EXPECT_EQ(childNames(before), (std::vector<std::string>{"datetime", "lat", "lon"}));
  EXPECT_EQ(before.child(0).value(), "1899-12-30T00:00:00Z");
  EXPECT_EQ(before.child(1).value(), "0");

  p.y = 47.123f;
  p.x = -11.5f;
  p.satellites = 9;
  p.speed = 12.5f;
  p.magVar = -2.0f;
  p.xyPrec = 3.0f;
  p.fields = {defTime, defXY, defSatellites, defMagVar, defSpeed, defXYPrec, defHDOP};  // HDOP 0: none
  SmlNode full;
  buildPositionFeed(full, p);
  EXPECT_EQ(childNames(full), (std::vector<std::string>{"datetime", "lat", "lon", "prec", "speed", "magvar", "satellites"}));
  EXPECT_EQ(full.findNode("lat")->value(), "47.1230010986328");
  EXPECT_EQ(full.findNode("lon")->value(), "-11.5");
  EXPECT_EQ(full.findNode("satellites")->value(), "9");
}

TEST(PositionFeed, TextFeedUsesDisplayUnitsWithADotSeparator) {
  PositionInfo p;
  p.y = 47.5f;
  p.x = 11.25f;
  p.altitude = 1500.0f;
  p.heading = 90.0f;
  p.speed = 100.0f;
  p.satellites = 4;
  p.fields = {defTime, defXY, defAltitude, defHeading, defSpeed, defSatellites};
  const DisplayFormat metric{DistUnit::metric, PosUnit::decimalDegree, NumberFormat{",", "."}};
  SmlNode root;
  buildPositionTextFeed(root, p, metric);
  EXPECT_EQ(childNames(root), (std::vector<std::string>{"datetime", "latlon", "alt", "heading", "speed", "satellites"}));
  const NumberFormat dot{".", ","};
  EXPECT_EQ(root.findNode("latlon")->value(), formatLatLon(p.point(), PosUnit::decimalDegree, dot));
  EXPECT_EQ(root.findNode("alt")->value(), formatDistance(DistUnit::metric, 1500.0, dot));
  EXPECT_EQ(root.findNode("heading")->value(), formatHeading(0, 0, 90.0, dot));
  EXPECT_THAT(root.findNode("alt")->value(), HasSubstr("1.5"));

  SmlNode statute;
  buildPositionTextFeed(statute, p, DisplayFormat{DistUnit::statute, PosUnit::decimalMinute, dot});
  EXPECT_EQ(statute.findNode("speed")->value(), formatSpeed(DistUnit::statute, 100.0, dot));
}

// Both current-position feeds carry milliseconds and the receiver's quality members after the
// satellite count; a dilution that is not above 0 was never received.
TEST(PositionFeed, QualityMembersAndMilliseconds) {
  PositionInfo p;
  p.time = *makeDateTime({.year = 2024, .month = 5, .day = 1, .hour = 10, .minute = 20, .second = 30, .millisecond = 400});
  p.y = 47.5f;
  p.x = 8.25f;
  p.satellites = 8;
  p.satellitesInView = 23;
  p.fix = fixRTK;
  p.pdop = 1.6f;
  p.hdop = 0.9f;
  p.vdop = 0.0f;
  p.fields = {defTime, defXY, defSatellites, defSatellitesInView, defFix, defPDOP, defHDOP, defVDOP};
  const std::vector<std::string> names{"datetime", "lat", "lon", "satellites", "satellitesinview", "fix", "pdop", "hdop"};

  SmlNode numbers;
  buildPositionFeed(numbers, p);
  EXPECT_EQ(childNames(numbers), names);
  EXPECT_EQ(numbers.findNode("datetime")->value(), "2024-05-01T10:20:30.400Z");
  EXPECT_EQ(numbers.findNode("satellitesinview")->value(), "23");
  EXPECT_EQ(numbers.findNode("fix")->value(), fixText(fixRTK));
  EXPECT_EQ(numbers.findNode("hdop")->value(), "0.899999976158142") << "a widened single, like every number here";

  SmlNode texts;
  buildPositionTextFeed(texts, p, DisplayFormat{DistUnit::metric, PosUnit::decimalDegree, NumberFormat{",", "."}});
  std::vector<std::string> textNames = names;
  textNames[1] = "latlon";
  textNames.erase(textNames.begin() + 2);
  EXPECT_EQ(childNames(texts), textNames);
  EXPECT_EQ(texts.findNode("datetime")->value(), "2024-05-01T10:20:30.400Z");
  EXPECT_EQ(texts.findNode("pdop")->value(), "1.6");
  EXPECT_EQ(texts.findNode("hdop")->value(), "0.9");
}

TEST(StoredFeeds, PositionElementSetSkipsNullColumns) {
  StoredPosition row = storedRow(42, 47.5, 11.25);
  SmlNode bare;
  buildStoredPositionFeed(bare, row);
  EXPECT_EQ(childNames(bare), (std::vector<std::string>{"id", "datetime", "lat", "lon"}));
  EXPECT_EQ(bare.findNode("datetime")->value(), "2024-05-01T10:20:30Z");

  row.alt = 500.0;
  row.sat = 7;
  row.depth = 0.0;
  row.comment = "not written";
  SmlNode full;
  buildStoredPositionFeed(full, row);
  EXPECT_EQ(childNames(full), (std::vector<std::string>{"id", "datetime", "lat", "lon", "alt", "depth", "sat"}));
  EXPECT_EQ(full.findNode("sat")->value(), "7");

  row.msec = 40;  // the stored milliseconds join the time
  SmlNode withMs;
  buildStoredPositionFeed(withMs, row);
  EXPECT_EQ(withMs.findNode("datetime")->value(), "2024-05-01T10:20:30.040Z");

  row.datetime = "yesterday";
  SmlNode broken;
  EXPECT_THROW(buildStoredPositionFeed(broken, row), ConversionError);
}

TEST(StoredFeeds, ClientsWithNullColumnsAndEmptyLists) {
  UserRecord user;
  user.id = 3;
  user.name = "rover";
  user.passwordHash = "secret-hash";
  user.email = "a@b.c";
  SmlNode client;
  buildClientFeed(client, user);
  EXPECT_EQ(childNames(client), (std::vector<std::string>{"id", "name", "color", "firstname", "surename", "email",
                                                          "phone", "description"}));
  EXPECT_EQ(client.findNode("firstname")->value(), "");
  EXPECT_THAT(client.asText(), Not(HasSubstr("secret-hash")));

  SmlNode none;
  buildClientsFeed(none, {});
  EXPECT_THAT(none.asText(), HasSubstr("<clients/>"));
  SmlNode emptyTrack;
  buildPositionListFeed(emptyTrack, "track", 5, {});
  EXPECT_THAT(emptyTrack.asText(), HasSubstr("<track user=\"5\"/>"));

  SmlNode tracks;
  buildTrackListFeed(tracks, 5, {{"t1", "2024-05-01 10:20:30"}});
  EXPECT_THAT(tracks.asText(), HasSubstr("<track>\r\n    <trackid>t1</trackid>\r\n    <datetime>2024-05-01T10:20:30Z"));
}

TEST(GpxExport, EmptyTrackHasOnlyMetadataTime) {
  SmlNode root;
  buildGpxTrack(root, {}, *makeDateTime({2024, 5, 2, 8, 0, 0, 0}));
  const std::string text = root.asText();
  EXPECT_THAT(text, ::testing::StartsWith("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>"));
  EXPECT_THAT(text, HasSubstr("<gpx xmlns=\"http://www.topografix.com/GPX/1/1\" creator=\"" + serverSoftware() +
                              "\" version=\"1.1\""));
  EXPECT_EQ(childNames(root), std::vector<std::string>{"metadata"});
  EXPECT_EQ(childNames(root.child(0)), std::vector<std::string>{"time"});
  EXPECT_EQ(root.child(0).child(0).value(), "2024-05-02T08:00:00Z");
}

TEST(GpxExport, PointsBoundsAndOptionalChildren) {
  StoredPosition a = storedRow(1, 11.5, 8.25);
  StoredPosition b = storedRow(2, 47.123001098632812, -3.0);
  b.alt = 512.25;
  b.comment = "checkpoint";
  b.msec = 125;
  SmlNode root;
  buildGpxTrack(root, {a, b}, 0.0);
  const SmlNode& trk = *root.findNode("trk");
  EXPECT_EQ(trk.findNode("name")->value(), "track-1");
  const SmlNode& seg = *trk.findNode("trkseg");
  ASSERT_EQ(seg.childCount(), 2u);
  EXPECT_EQ(seg.child(0).attributes()[0].value, "11.5000000");
  EXPECT_EQ(childNames(seg.child(0)), std::vector<std::string>{"time"});
  EXPECT_EQ(childNames(seg.child(1)), (std::vector<std::string>{"ele", "time", "cmt"}));
  EXPECT_EQ(seg.child(1).findNode("ele")->value(), "512.2500000");
  EXPECT_EQ(seg.child(0).findNode("time")->value(), "2024-05-01T10:20:30Z");
  EXPECT_EQ(seg.child(1).findNode("time")->value(), "2024-05-01T10:20:30.125Z");

  const SmlNode& bounds = *root.findNode("metadata\\bounds");
  ASSERT_EQ(bounds.attributes().size(), 4u);
  EXPECT_EQ(bounds.attributes()[0].asText(), "minlat=\"11.5000000\"");
  EXPECT_EQ(bounds.attributes()[1].asText(), "maxlon=\"8.2500000\"");
  EXPECT_EQ(bounds.attributes()[2].asText(), "maxlat=\"47.1230011\"");
  EXPECT_EQ(bounds.attributes()[3].asText(), "minlon=\"-3.0000000\"");

  SmlNode one;
  buildGpxTrack(one, {a}, 0.0);
  const SmlNode& oneBounds = *one.findNode("metadata\\bounds");
  EXPECT_EQ(oneBounds.findAttribute("minlat")->value, oneBounds.findAttribute("maxlat")->value);
  EXPECT_EQ(oneBounds.findAttribute("minlon")->value, oneBounds.findAttribute("maxlon")->value);
}

// --- posted forms ----------------------------------------------------------------------------

MultipartForm formOf(const std::string& fields) {
  // fields: "name=value" lines
  std::string body;
  std::size_t start = 0;
  while (start < fields.size()) {
    auto end = fields.find('\n', start);
    if (end == std::string::npos) end = fields.size();
    const std::string line = fields.substr(start, end - start);
    const auto eq = line.find('=');
    body += "--b\r\nContent-Disposition: form-data; name=\"" + line.substr(0, eq) + "\"\r\n\r\n" +
            line.substr(eq + 1) + "\r\n";
    start = end + 1;
  }
  body += "--b--\r\n";
  return MultipartForm::parse("multipart/form-data; boundary=b", body);
}

TEST(PostedDateTime, IsoTextsToUtcAndUnreadableToZero) {
  struct Case {
    const char* text;
    const char* stored;
  };
  const Case cases[] = {
      {"2024-05-01T10:20:30Z", "2024-05-01 10:20:30"},
      {"2024-05-01T12:20:30+02:00", "2024-05-01 10:20:30"},
      {"2024-05-01T08:50:30-0130", "2024-05-01 10:20:30"},
      {"2024-05-01T10:20:30.75Z", "2024-05-01 10:20:30"},
      {"2024-05-01T10:20:30+zz", "2024-05-01 10:20:30"},  // unreadable zone: UTC
      {"2024-05-01T10:20:30", "1899-12-30 00:00:00"},
      {"2024-05-01 10:20:30Z", "1899-12-30 00:00:00"},
      {"2024-13-01T10:20:30Z", "1899-12-30 00:00:00"},
      {"yyyy-05-01T10:20:30Z", "1899-12-30 00:00:00"},
      {"", "1899-12-30 00:00:00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(formatStoredDateTime(readPostedDateTime(c.text)), c.stored);
  }
}

TEST(PostedPosition, PresentFieldsAreFlaggedWhateverTheirValue) {
  const PostedPosition p = readPostedPosition(formOf("lat=47.5\nlon=-11.25\nheading=0\ncomment=\ntrackid=abc"));
  EXPECT_EQ(p.position.y, 47.5f);
  EXPECT_EQ(p.position.x, -11.25f);
  EXPECT_EQ(p.position.fields, (DefFields{defTime, defXY, defHeading}));
  EXPECT_EQ(p.trackId, "abc");
  EXPECT_EQ(p.comment, "");
  EXPECT_THROW((void)readPostedPosition(formOf("lat=47.5\nlon=1\nalt=")), ConversionError);
  EXPECT_THROW((void)readPostedPosition(formOf("lat=47.5\nlon=181")), ConversionError);
  EXPECT_THROW((void)readPostedPosition(formOf("lat=47.5\nlon=1\nsatellites=1e1")), ConversionError);
}

TEST(PostedPosition, MillisecondsJoinTheWholeSecondOfTheTime) {
  const auto timeOf = [](const std::string& fields) {
    return formatIsoTimeMs(readPostedPosition(formOf("lat=1\nlon=2\n" + fields)).position.time);
  };
  EXPECT_EQ(timeOf("datetime=2024-05-01T10:20:30Z\nmsec=250"), "2024-05-01T10:20:30.250Z");
  EXPECT_EQ(timeOf("datetime=2024-05-01T12:20:30+02:00\nmsec=999"), "2024-05-01T10:20:30.999Z");
  EXPECT_EQ(timeOf("datetime=2024-05-01T10:20:30.75Z\nmsec=5"), "2024-05-01T10:20:30.005Z");
  EXPECT_EQ(timeOf("datetime=1969-07-20T20:17:40Z\nmsec=500"), "1969-07-20T20:17:40.500Z");
  EXPECT_EQ(timeOf("datetime=2024-05-01T10:20:30.75Z"), "2024-05-01T10:20:30.750Z");
  EXPECT_EQ(timeOf("msec=250"), "1899-12-30T00:00:00Z") << "no date stays no date";
  for (const char* bad : {"msec=1000", "msec=-1", "msec=2.5", "msec="}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW((void)timeOf(std::string("datetime=2024-05-01T10:20:30Z\n") + bad), ConversionError);
  }
}

TEST(ClientForm, PasswordsAreHashedUnlessKept) {
  const MultipartForm withPassword = formOf("id=7\nname=rover\npass=pw\nsurename=Smith");
  const UserFields added = readClientFields(withPassword, false);
  EXPECT_TRUE(checkPassword(added.passwordHash, "pw").matches);
  EXPECT_FALSE(checkPassword(added.passwordHash, "pw").needsRehash);
  EXPECT_EQ(added.sureName, "Smith");
  EXPECT_EQ(readClientId(withPassword), 7);

  const MultipartForm empty = formOf("id=x\npass=");
  EXPECT_EQ(readClientFields(empty, true).passwordHash, "");
  EXPECT_TRUE(checkPassword(readClientFields(empty, false).passwordHash, "").matches);
  EXPECT_EQ(readClientId(empty), 0);
}

}  // namespace
}  // namespace geomuxer
