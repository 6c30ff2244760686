#include "core/position_info.h"

namespace geomuxer {

namespace {
constexpr std::array<std::string_view, kFixCount> kFixTexts = {
    "Invalid", "Unknown",             "2D",        "3D",        "2D differential", "3D differential",
    "Prec",    "Real Time Kinematic", "Float RTK", "Estimated", "Manual",          "Simulation",
};
}  // namespace

std::string_view fixText(Fix fix) {
  const auto i = static_cast<std::size_t>(fix);
  return i < kFixTexts.size() ? kFixTexts[i] : kFixTexts[0];
}

}  // namespace geomuxer
