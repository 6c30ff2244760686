#include "core/geodesy.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace geomuxer {

namespace {

constexpr double kSemiMajorAxis = 6378137.0;
constexpr double kEccentricitySq = 0.00669437999014;
constexpr double kOneMinusEccSq = 0.99330562000986;
constexpr double kDegToRad = std::numbers::pi / 180.0;

struct Ecef {
  double x, y, z, n;
};

Ecef toEcef(Point p) {
  const double lat = static_cast<double>(p.y) * kDegToRad;
  const double lon = static_cast<double>(p.x) * kDegToRad;
  const double sinLat = std::sin(lat);
  const double n = kSemiMajorAxis / std::sqrt(1.0 - kEccentricitySq * sinLat * sinLat);
  return {n * std::cos(lat) * std::cos(lon), n * std::cos(lat) * std::sin(lon), kOneMinusEccSq * n * sinLat, n};
}

}  // namespace

double ellipsoidDistance(Point first, Point second) {
  const Ecef a = toEcef(first);
  const Ecef b = toEcef(second);
  const double chord = std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) + (a.z - b.z) * (a.z - b.z));
  return 2.0 * a.n * std::asin(std::min(1.0, 0.5 * chord / a.n));
}

Point destinationPoint(Point start, double heading, double distance) {
  const double theta = (360.0 - heading) * kDegToRad;
  const double d = distance / 1852.0 / 60.0 * kDegToRad;
  const double lat1 = start.y * kDegToRad;
  const double lon1 = start.x * kDegToRad;
  // Rounding can push the sine a hair past 1 near the poles.
  const double sinLat2 =
      std::clamp(std::cos(d) * std::sin(lat1) + std::cos(theta) * std::sin(d) * std::cos(lat1), -1.0, 1.0);
  const double lat2 = std::asin(sinLat2);
  double lon2 = lon1;
  const double cosLat2 = std::cos(lat2);
  if (cosLat2 != 0.0) {
    const double s = std::clamp(std::sin(theta) * std::sin(d) / cosLat2, -1.0, 1.0);
    lon2 = floatMod(2.0 * std::numbers::pi, lon1 - std::asin(s) + std::numbers::pi) - std::numbers::pi;
  }
  return {lon2 / kDegToRad, lat2 / kDegToRad};
}

double floatMod(double divisor, double value) { return value - divisor * std::floor(value / divisor); }

double ratePerSecond(DateTime time1, DateTime time2, double value1, double value2) {
  const auto ms = std::llround(std::fabs(time1 - time2) * static_cast<double>(kMsPerDay));
  if (ms == 0) return 0.0;
  return (value1 - value2) / (static_cast<double>(ms) / 1000.0);
}

}  // namespace geomuxer
