#pragma once
// The position record that every source fills and every output reads.

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "core/date_time.h"

namespace geomuxer {

/// The members of a PositionInfo that can hold a value; the ordinal is the bit number in DefFields.
enum DefField : std::uint8_t {
  defTime = 0,
  defXY = 1,
  defXYPrec = 2,
  defAltitude = 3,
  defAltitudePrec = 4,
  defGeoidHeight = 5,
  defDepth = 6,
  defHeading = 7,
  defMagVar = 8,
  defSpeed = 9,
  defVertSpeed = 10,
  defSatellites = 11,
  defFix = 12,
  defPDOP = 13,
  defHDOP = 14,
  defVDOP = 15,
  defSatellitesInView = 16,
};

/// A set of DefField, bit n for ordinal n (defTime = 0x0001, defVDOP = 0x8000). The first 16 bits
/// keep the encoding that masks in settings and protocols use; later flags take the bits above.
class DefFields {
 public:
  constexpr DefFields() = default;
  constexpr DefFields(std::initializer_list<DefField> fields) {
    for (DefField f : fields) include(f);
  }
  static constexpr DefFields fromBits(std::uint32_t bits) {
    DefFields s;
    s.m_bits = bits;
    return s;
  }

  [[nodiscard]] constexpr std::uint32_t bits() const { return m_bits; }
  [[nodiscard]] constexpr bool has(DefField f) const { return (m_bits & mask(f)) != 0; }
  [[nodiscard]] constexpr bool empty() const { return m_bits == 0; }
  constexpr void include(DefField f) { m_bits |= mask(f); }
  constexpr void exclude(DefField f) { m_bits &= ~mask(f); }
  constexpr void clear() { m_bits = 0; }

  constexpr DefFields& operator|=(DefFields o) {
    m_bits |= o.m_bits;
    return *this;
  }
  friend constexpr DefFields operator|(DefFields a, DefFields b) { return a |= b; }
  friend constexpr bool operator==(DefFields a, DefFields b) = default;

 private:
  static constexpr std::uint32_t mask(DefField f) { return std::uint32_t{1} << f; }
  std::uint32_t m_bits = 0;
};

/// Kind of fix; the ordinal is stored in one byte.
enum Fix : std::uint8_t {
  fixInvalid = 0,
  fixUnknown,
  fix2D,
  fix3D,
  fix2D_diff,
  fix3D_diff,
  fixPrec,
  fixRTK,
  fixFRTK,
  fixEstimated,
  fixManual,
  fixSimulation,
};
inline constexpr int kFixCount = 12;

/// Display text of a fix kind ("Invalid", "2D differential", ...); "Invalid" for an out-of-range value.
[[nodiscard]] std::string_view fixText(Fix fix);

/// A point: longitude first, then latitude, decimal degrees, east and north positive. Double
/// precision: a float's step is up to 0.8 m on the ground, coarser than the receivers we read.
struct Point {
  double x = 0.0;
  double y = 0.0;
  friend constexpr bool operator==(Point, Point) = default;
};

/// Stands for "no position": outside the ranges of longitude and latitude.
inline constexpr Point kInvalidPoint{-190.0, -100.0};

/// True when both coordinates are exactly equal.
[[nodiscard]] constexpr bool samePoint(Point a, Point b) { return a.x == b.x && a.y == b.y; }

/// One position. A member holds a value only when its flag is in `fields`; a default record is
/// all zeros (fixInvalid, no fields).
struct PositionInfo {
  DateTime time = 0.0;      ///< UTC, days since 1899-12-30
  double x = 0.0;           ///< longitude, degrees
  double y = 0.0;           ///< latitude, degrees
  float xyPrec = 0.0f;      ///< horizontal precision, metres
  float altitude = 0.0f;    ///< above mean sea level, metres
  float altitudePrec = 0.0f;
  float geoidHeight = 0.0f; ///< geoid above the ellipsoid, metres
  float depth = 0.0f;
  float heading = 0.0f;     ///< course over ground, degrees 0..360
  float magVar = 0.0f;      ///< magnetic variation, east positive
  float speed = 0.0f;       ///< km/h
  float vertSpeed = 0.0f;   ///< m/s, positive upwards
  std::int32_t satellites = 0;        ///< satellites used in the fix
  float pdop = 0.0f;                  ///< position (3D) dilution of precision
  float hdop = 0.0f;                  ///< horizontal dilution of precision
  float vdop = 0.0f;                  ///< vertical dilution of precision
  Fix fix = fixInvalid;
  std::int32_t satellitesInView = 0;  ///< satellites the receiver sees, used or not
  DefFields fields;

  [[nodiscard]] constexpr bool has(DefField f) const { return fields.has(f); }
  [[nodiscard]] constexpr Point point() const { return {x, y}; }
};

}  // namespace geomuxer
