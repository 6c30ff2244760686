#include "server/server_feeds.h"

#include <algorithm>

#include "core/number_text.h"
#include "core/position_fields.h"
#include "core/value_checks.h"
#include "server/sqlite.h"

namespace geomuxer {

namespace {

constexpr std::string_view kGpxNamespace = "http://www.topografix.com/GPX/1/1";
constexpr std::string_view kGpxSchemaLocation =
    "http://www.topografix.com/GPX/1/1 http://www.topografix.com/GPX/1/1/gpx.xsd";
constexpr std::string_view kSchemaInstanceNamespace = "http://www.w3.org/2001/XMLSchema-instance";

std::string versionWithoutLastPart(std::string_view version) {
  const auto dot = version.rfind('.');
  return std::string(dot == std::string_view::npos ? version : version.substr(0, dot));
}

void addNumber(SmlNode& parent, std::string_view name, double value) { parent.addChild(name).setFloat(value); }

void addOptional(SmlNode& parent, std::string_view name, const std::optional<double>& value) {
  if (value) addNumber(parent, name, *value);
}

void addOptionalText(SmlNode& parent, std::string_view name, const std::optional<std::string>& value) {
  parent.addChild(name, value ? std::string_view(*value) : std::string_view());
}

/// Stored "yyyy-mm-dd hh:nn:ss" as "yyyy-mm-ddThh:nn:ssZ"; throws ConversionError for other text.
std::string isoFromStored(std::string_view stored) { return formatIsoTime(parseStoredDateTime(stored)); }

void addStoredPositionChildren(SmlNode& node, const StoredPosition& p) {
  node.addChild("id").setInteger(p.id);
  node.addChild("datetime", formatIsoTimeMs(storedTime(p)));
  addNumber(node, "lat", p.lat);
  addNumber(node, "lon", p.lon);
  addOptional(node, "prec", p.prec);
  addOptional(node, "alt", p.alt);
  addOptional(node, "altprec", p.altPrec);
  addOptional(node, "heading", p.heading);
  addOptional(node, "speed", p.speed);
  addOptional(node, "vspeed", p.vertSpeed);
  addOptional(node, "geoidheight", p.geoidHeight);
  addOptional(node, "depth", p.depth);
  addOptional(node, "magvar", p.magVar);
  if (p.sat) node.addChild("sat").setInteger(*p.sat);
}

// The receiver's quality members after the satellite count, in both current-position feeds:
// satellites in view, the fix kind as its display text, and the dilutions. A dilution outside
// its range (0 is what a record holds that never had one) is left out.
template <typename Number>
void addQualityChildren(SmlNode& root, const PositionInfo& p, Number number) {
  if (p.has(defSatellitesInView)) root.addChild("satellitesinview").setInteger(p.satellitesInView);
  if (p.has(defFix)) root.addChild("fix", fixText(p.fix));
  const auto dop = [&](std::string_view name, DefField field, float value) {
    if (p.has(field) && validValue(field, value)) number(name, value);
  };
  dop("pdop", defPDOP, p.pdop);
  dop("hdop", defHDOP, p.hdop);
  dop("vdop", defVDOP, p.vdop);
}

void addClientChildren(SmlNode& node, const UserRecord& u) {
  node.addChild("id").setInteger(u.id);
  node.addChild("name", u.name);
  node.addChild("color", u.color);
  addOptionalText(node, "firstname", u.firstName);
  addOptionalText(node, "surename", u.sureName);
  addOptionalText(node, "email", u.email);
  addOptionalText(node, "phone", u.phone);
  addOptionalText(node, "description", u.description);
}

}  // namespace

const std::string& serverSoftware() {
  static const std::string text = "Geomuxer/" + versionWithoutLastPart(GEOMUXER_VERSION);
  return text;
}

void buildPositionFeed(SmlNode& root, const PositionInfo& p) {
  root.setName("position");
  root.addChild("datetime", formatIsoTimeMs(p.time));
  addNumber(root, "lat", p.y);
  addNumber(root, "lon", p.x);
  for (const auto& m : kMeasurementFields) {
    if (p.has(m.field)) addNumber(root, m.name, p.*m.member);
  }
  if (p.has(defSatellites)) root.addChild("satellites").setInteger(p.satellites);
  addQualityChildren(root, p, [&](std::string_view name, float value) { addNumber(root, name, value); });
}

void buildPositionTextFeed(SmlNode& root, const PositionInfo& p, const DisplayFormat& format) {
  // Machine readers of this feed expect '.' as the decimal separator; keep the grouping only
  // when it cannot be mistaken for one.
  NumberFormat nf = format.number;
  nf.decimalPoint = ".";
  if (nf.thousandsSep == ".") nf.thousandsSep = ",";
  const DistUnit unit = format.distUnit;

  root.setName("position");
  root.addChild("datetime", formatIsoTimeMs(p.time));
  root.addChild("latlon", formatLatLon(p.point(), format.posUnit, nf));
  if (p.has(defXYPrec)) root.addChild("prec", formatPrecision(unit, p.xyPrec, nf));
  if (p.has(defAltitude)) root.addChild("alt", formatDistance(unit, p.altitude, nf));
  if (p.has(defAltitudePrec)) root.addChild("altprec", formatPrecision(unit, p.altitudePrec, nf));
  if (p.has(defHeading)) root.addChild("heading", formatHeading(0, 0, p.heading, nf));
  if (p.has(defSpeed)) root.addChild("speed", formatSpeed(unit, p.speed, nf));
  if (p.has(defVertSpeed)) root.addChild("vspeed", formatVertSpeed(unit, p.vertSpeed, nf));
  if (p.has(defGeoidHeight)) root.addChild("geoidheight", formatDistance(unit, p.geoidHeight, nf));
  if (p.has(defDepth)) root.addChild("depth", formatDistance(unit, p.depth, nf));
  if (p.has(defMagVar)) root.addChild("magvar", formatMagVar(p.magVar, nf));
  if (p.has(defSatellites)) root.addChild("satellites").setInteger(p.satellites);
  addQualityChildren(root, p, [&](std::string_view name, float value) { root.addChild(name, formatShortest(value)); });
}

void buildStoredPositionFeed(SmlNode& root, const StoredPosition& position) {
  root.setName("position");
  addStoredPositionChildren(root, position);
}

void buildClientFeed(SmlNode& root, const UserRecord& user) {
  root.setName("client");
  addClientChildren(root, user);
}

void buildClientsFeed(SmlNode& root, const std::vector<UserRecord>& users) {
  root.setName("clients");
  for (const auto& u : users) addClientChildren(root.addChild("client"), u);
}

void buildTrackListFeed(SmlNode& root, long long userId, const std::vector<TrackSummary>& tracks) {
  root.setName("tracks");
  root.setAttribute("user", std::to_string(userId));
  for (const auto& t : tracks) {
    SmlNode& track = root.addChild("track");
    track.addChild("trackid", t.trackId);
    track.addChild("datetime", isoFromStored(t.datetime));
  }
}

void buildPositionListFeed(SmlNode& root, std::string_view rootName, long long userId,
                           const std::vector<StoredPosition>& positions) {
  root.setName(rootName);
  root.setAttribute("user", std::to_string(userId));
  for (const auto& p : positions) addStoredPositionChildren(root.addChild("pos"), p);
}

void buildGpxTrack(SmlNode& root, const std::vector<StoredPosition>& positions, DateTime now) {
  root.setHeader(R"(version="1.0" encoding="UTF-8" standalone="no")");
  root.setName("gpx");
  root.setAttribute("xmlns", kGpxNamespace);
  root.setAttribute("creator", serverSoftware());
  root.setAttribute("version", "1.1");
  root.setAttribute("xmlns:xsi", kSchemaInstanceNamespace);
  root.setAttribute("xsi:schemaLocation", kGpxSchemaLocation);
  SmlNode& metadata = root.addChild("metadata");
  metadata.addChild("time", formatIsoTime(now));
  if (positions.empty()) return;

  SmlNode& track = root.addChild("trk");
  track.addChild("name", positions.front().trackId);
  SmlNode& segment = track.addChild("trkseg");
  double minLon = 10000.0, minLat = 10000.0, maxLon = -10000.0, maxLat = -10000.0;
  for (const auto& p : positions) {
    SmlNode& point = segment.addChild("trkpt");
    point.setAttribute("lat", formatFixed(p.lat, 7));
    point.setAttribute("lon", formatFixed(p.lon, 7));
    // Schema order: ele, time, ..., cmt.
    if (p.alt) point.addChild("ele", formatFixed(*p.alt, 7));
    point.addChild("time", formatIsoTimeMs(storedTime(p)));
    if (p.comment) point.addChild("cmt", *p.comment);
    minLon = std::min(minLon, p.lon);
    minLat = std::min(minLat, p.lat);
    maxLon = std::max(maxLon, p.lon);
    maxLat = std::max(maxLat, p.lat);
  }
  const Point low{static_cast<float>(minLon), static_cast<float>(minLat)};
  const Point high{static_cast<float>(maxLon), static_cast<float>(maxLat)};
  if (samePoint(low, kInvalidPoint) && samePoint(high, kInvalidPoint)) return;
  SmlNode& bounds = metadata.addChild("bounds");
  bounds.setAttribute("minlat", formatFixed(low.y, 7));
  bounds.setAttribute("maxlon", formatFixed(high.x, 7));
  bounds.setAttribute("maxlat", formatFixed(high.y, 7));
  bounds.setAttribute("minlon", formatFixed(low.x, 7));
}

}  // namespace geomuxer
