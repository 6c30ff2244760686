#pragma once
// Distances and destination points on the Earth, and small numeric helpers.

#include "core/date_time.h"
#include "core/position_info.h"

namespace geomuxer {

/// Distance in metres between two points on the WGS 84 ellipsoid (chord through the earth-centred
/// coordinates, turned into an arc on the first point's prime-vertical radius).
[[nodiscard]] double ellipsoidDistance(Point first, Point second);

/// The point reached from `start` along `heading` (degrees) after `distance` metres, on a sphere on
/// which one nautical mile is one minute of arc. Computed in double precision, so that steps of
/// less than a metre add up.
[[nodiscard]] Point destinationPoint(Point start, double heading, double distance);

/// value - divisor * floor(value / divisor): the result has the sign of the divisor.
[[nodiscard]] double floatMod(double divisor, double value);

/// (value1 - value2) per second of the time between time1 and time2; 0 when the times are equal.
[[nodiscard]] double ratePerSecond(DateTime time1, DateTime time2, double value1, double value2);

}  // namespace geomuxer
