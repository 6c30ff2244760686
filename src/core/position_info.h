#pragma once
// The position record that every source fills and every output reads.

#include <array>
#include <cstdint>
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
};

/// A set of DefField stored in 16 bits, bit n for ordinal n (defTime = 0x0001, defVDOP = 0x8000).
class DefFields {
 public:
  constexpr DefFields() = default;
  constexpr DefFields(std::initializer_list<DefField> fields) {
    for (DefField f : fields) include(f);
  }
  static constexpr DefFields fromBits(std::uint16_t bits) {
    DefFields s;
    s.m_bits = bits;
    return s;
  }

  [[nodiscard]] constexpr std::uint16_t bits() const { return m_bits; }
  [[nodiscard]] constexpr bool has(DefField f) const { return (m_bits & mask(f)) != 0; }
  [[nodiscard]] constexpr bool empty() const { return m_bits == 0; }
  constexpr void include(DefField f) { m_bits = static_cast<std::uint16_t>(m_bits | mask(f)); }
  constexpr void exclude(DefField f) { m_bits = static_cast<std::uint16_t>(m_bits & ~mask(f)); }
  constexpr void clear() { m_bits = 0; }

  constexpr DefFields& operator|=(DefFields o) {
    m_bits = static_cast<std::uint16_t>(m_bits | o.m_bits);
    return *this;
  }
  friend constexpr DefFields operator|(DefFields a, DefFields b) { return a |= b; }
  friend constexpr bool operator==(DefFields a, DefFields b) = default;

 private:
  static constexpr std::uint16_t mask(DefField f) { return static_cast<std::uint16_t>(1u << f); }
  std::uint16_t m_bits = 0;
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

/// A point: longitude first, then latitude, decimal degrees, east and north positive.
struct Point {
  float x = 0.0f;
  float y = 0.0f;
  friend constexpr bool operator==(Point, Point) = default;
};

/// Stands for "no position": outside the ranges of longitude and latitude.
inline constexpr Point kInvalidPoint{-190.0f, -100.0f};

/// True when both coordinates are equal as 32-bit floats.
[[nodiscard]] constexpr bool samePoint(Point a, Point b) { return a.x == b.x && a.y == b.y; }

/// One position. A member holds a value only when its flag is in `fields`; a default record is
/// all zeros (fixInvalid, no fields).
struct PositionInfo {
  DateTime time = 0.0;      ///< UTC, days since 1899-12-30
  float x = 0.0f;           ///< longitude, degrees
  float y = 0.0f;           ///< latitude, degrees
  float xyPrec = 0.0f;      ///< horizontal precision, metres
  float altitude = 0.0f;    ///< above mean sea level, metres
  float altitudePrec = 0.0f;
  float geoidHeight = 0.0f; ///< geoid above the ellipsoid, metres
  float depth = 0.0f;
  float heading = 0.0f;     ///< course over ground, degrees 0..360
  float magVar = 0.0f;      ///< magnetic variation, east positive
  float speed = 0.0f;       ///< km/h
  float vertSpeed = 0.0f;   ///< m/s, positive upwards
  std::int32_t satellites = 0;
  float pdop = 0.0f;
  float hdop = 0.0f;
  float vdop = 0.0f;
  Fix fix = fixInvalid;
  DefFields fields;

  [[nodiscard]] constexpr bool has(DefField f) const { return fields.has(f); }
  [[nodiscard]] constexpr Point point() const { return {x, y}; }
};

}  // namespace geomuxer
