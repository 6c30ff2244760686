#include "core/tracklog_filter.h"

#include <array>
#include <cmath>
#include <cstdlib>

#include "core/geodesy.h"

namespace geomuxer {

namespace {
struct Thresholds {
  int seconds;
  double metres;
};
constexpr std::array<Thresholds, 5> kThresholds = {{{1, 0.5}, {5, 2.0}, {10, 5.0}, {20, 10.0}, {40, 20.0}}};

const Thresholds& thresholdsOf(RecordInterval interval) {
  const auto i = static_cast<std::size_t>(interval);
  return i < kThresholds.size() ? kThresholds[i] : kThresholds[riNormal];
}
}  // namespace

int TracklogFilter::timeThreshold(RecordInterval interval) { return thresholdsOf(interval).seconds; }
double TracklogFilter::distanceThreshold(RecordInterval interval) { return thresholdsOf(interval).metres; }

bool TracklogFilter::accept(const PositionInfo& position) {
  if (!m_active) return true;
  if (!decide(position)) return false;
  m_last = position;
  return true;
}

bool TracklogFilter::decide(const PositionInfo& position) const {
  if (m_last.fields.empty() || position.fields.empty()) return true;
  switch (m_mode) {
    case rmTime: return !position.has(defTime) || timeElapsed(position);
    case rmDistance: return !position.has(defXY) || distanceMoved(position);
    case rmAuto:
    default:
      if (position.has(defTime) && timeElapsed(position)) return true;
      return position.has(defXY) && distanceMoved(position);
  }
}

// Whole seconds of the gap, taken modulo one day: a fix a day and 3 s later counts as 3 s.
bool TracklogFilter::timeElapsed(const PositionInfo& position) const {
  const long long ms = std::llabs(std::llround((m_last.time - position.time) * static_cast<double>(kMsPerDay))) % kMsPerDay;
  return ms / 1000 > timeThreshold(m_interval);
}

bool TracklogFilter::distanceMoved(const PositionInfo& position) const {
  return ellipsoidDistance(m_last.point(), position.point()) > distanceThreshold(m_interval);
}

}  // namespace geomuxer
