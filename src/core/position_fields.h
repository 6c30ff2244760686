#pragma once
// The optional single-precision measurements of a position under the names that the upload form,
// the position server's intake and its XML feeds all use, in the order they are written.

#include <array>
#include <string_view>

#include "core/position_info.h"

namespace geomuxer {

struct MeasurementField {
  std::string_view name;
  DefField field;
  float PositionInfo::*member;
};

inline constexpr std::array<MeasurementField, 9> kMeasurementFields = {{
    {"prec", defXYPrec, &PositionInfo::xyPrec},
    {"alt", defAltitude, &PositionInfo::altitude},
    {"altprec", defAltitudePrec, &PositionInfo::altitudePrec},
    {"heading", defHeading, &PositionInfo::heading},
    {"speed", defSpeed, &PositionInfo::speed},
    {"vspeed", defVertSpeed, &PositionInfo::vertSpeed},
    {"geoidheight", defGeoidHeight, &PositionInfo::geoidHeight},
    {"depth", defDepth, &PositionInfo::depth},
    {"magvar", defMagVar, &PositionInfo::magVar},
}};

}  // namespace geomuxer
