#pragma once
// The ranges a position's members must lie in before anything shows or stores them. A value
// outside its range (or not finite) is treated as never received: its flag is cleared.

#include <cstddef>

#include "core/position_info.h"

namespace geomuxer {

/// Closed range of one member; `lowOpen` excludes the lower bound (dilutions of precision are
/// above 0, never 0).
struct ValueRange {
  double low;
  double high;
  bool lowOpen = false;

  [[nodiscard]] constexpr bool contains(double v) const {
    // NaN fails both comparisons.
    return (lowOpen ? v > low : v >= low) && v <= high;
  }
};

inline constexpr ValueRange kLatitudeRange{-90.0, 90.0};
inline constexpr ValueRange kLongitudeRange{-180.0, 180.0};
inline constexpr ValueRange kAltitudeRange{-1000.0, 100'000.0};      ///< metres
inline constexpr ValueRange kSpeedRange{0.0, 2000.0};                ///< km/h
inline constexpr ValueRange kCourseRange{0.0, 360.0};                ///< degrees
inline constexpr ValueRange kMagVarRange{-180.0, 180.0};             ///< degrees
inline constexpr ValueRange kGeoidHeightRange{-200.0, 200.0};        ///< metres
inline constexpr ValueRange kPrecisionRange{0.0, 1.0e6};             ///< metres
inline constexpr ValueRange kDepthRange{0.0, 12'000.0};              ///< metres
inline constexpr ValueRange kVertSpeedRange{-1000.0, 1000.0};        ///< m/s
inline constexpr ValueRange kDopRange{0.0, 99.0, true};              ///< 99.9 and 99.99 mean "unknown"
inline constexpr ValueRange kSatelliteCountRange{0.0, 255.0};
/// 1980-01-01 (the start of GPS time) to 2200-01-01, as day numbers.
inline constexpr ValueRange kTimeRange{29'221.0, 109'574.0};

/// The range of a flagged member.
[[nodiscard]] const ValueRange& valueRange(DefField field);
/// Whether `value` is finite and inside the range of `field`.
[[nodiscard]] bool validValue(DefField field, double value);
/// Whether `lon`, `lat` are a point on the Earth.
[[nodiscard]] bool validPoint(double lon, double lat);

/// Clears the flag of every member that holds a value outside its range; returns the flags
/// cleared. Fix kinds outside the enumeration lose `defFix`.
[[nodiscard]] DefFields clearInvalidValues(PositionInfo& position);

/// Number of flags in a set.
[[nodiscard]] std::size_t fieldCount(DefFields fields);

}  // namespace geomuxer
