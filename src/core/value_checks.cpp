#include "core/value_checks.h"

#include <array>
#include <bit>
#include <cmath>

namespace geomuxer {

namespace {

// Indexed by DefField.
constexpr std::array<const ValueRange*, 17> kRanges{
    &kTimeRange,        // defTime
    &kLatitudeRange,    // defXY (longitude checked beside it)
    &kPrecisionRange,   // defXYPrec
    &kAltitudeRange,    // defAltitude
    &kPrecisionRange,   // defAltitudePrec
    &kGeoidHeightRange, // defGeoidHeight
    &kDepthRange,       // defDepth
    &kCourseRange,      // defHeading
    &kMagVarRange,      // defMagVar
    &kSpeedRange,       // defSpeed
    &kVertSpeedRange,   // defVertSpeed
    &kSatelliteCountRange,  // defSatellites
    &kSatelliteCountRange,  // defFix (ordinal, checked apart)
    &kDopRange,         // defPDOP
    &kDopRange,         // defHDOP
    &kDopRange,         // defVDOP
    &kSatelliteCountRange,  // defSatellitesInView
};

double valueOf(const PositionInfo& p, DefField field) {
  switch (field) {
    case defTime: return p.time;
    case defXY: return p.y;
    case defXYPrec: return p.xyPrec;
    case defAltitude: return p.altitude;
    case defAltitudePrec: return p.altitudePrec;
    case defGeoidHeight: return p.geoidHeight;
    case defDepth: return p.depth;
    case defHeading: return p.heading;
    case defMagVar: return p.magVar;
    case defSpeed: return p.speed;
    case defVertSpeed: return p.vertSpeed;
    case defSatellites: return p.satellites;
    case defFix: return static_cast<double>(p.fix);
    case defPDOP: return p.pdop;
    case defHDOP: return p.hdop;
    case defVDOP: return p.vdop;
    case defSatellitesInView: return p.satellitesInView;
  }
  return 0.0;
}

}  // namespace

const ValueRange& valueRange(DefField field) {
  const auto i = static_cast<std::size_t>(field);
  return *kRanges[i < kRanges.size() ? i : 0];
}

bool validValue(DefField field, double value) { return std::isfinite(value) && valueRange(field).contains(value); }

bool validPoint(double lon, double lat) {
  return std::isfinite(lon) && std::isfinite(lat) && kLongitudeRange.contains(lon) && kLatitudeRange.contains(lat);
}

DefFields clearInvalidValues(PositionInfo& p) {
  DefFields cleared;
  for (std::size_t i = 0; i < kRanges.size(); ++i) {
    const auto field = static_cast<DefField>(i);
    if (!p.has(field)) continue;
    bool ok = true;
    if (field == defXY)
      ok = validPoint(p.x, p.y);
    else if (field == defFix)
      ok = static_cast<int>(p.fix) < kFixCount;
    else
      ok = validValue(field, valueOf(p, field));
    if (!ok) {
      cleared.include(field);
      p.fields.exclude(field);
    }
  }
  return cleared;
}

std::size_t fieldCount(DefFields fields) { return static_cast<std::size_t>(std::popcount(fields.bits())); }

}  // namespace geomuxer
