#pragma once
// Thins the stream of positions before a logger records it: a position passes when enough time
// has gone by, or the receiver has moved far enough, since the last one that passed.

#include "core/position_info.h"

namespace geomuxer {

enum RecordMode : int { rmAuto = 0, rmTime = 1, rmDistance = 2 };
enum RecordInterval : int { riMax = 0, riOften = 1, riNormal = 2, riSeldom = 3, riMin = 4 };

class TracklogFilter {
 public:
  /// Whole seconds that must be exceeded; riNormal for an out-of-range interval.
  [[nodiscard]] static int timeThreshold(RecordInterval interval);
  /// Metres that must be exceeded.
  [[nodiscard]] static double distanceThreshold(RecordInterval interval);

  [[nodiscard]] bool active() const { return m_active; }
  void setActive(bool active) { m_active = active; }
  [[nodiscard]] RecordMode recordMode() const { return m_mode; }
  void setRecordMode(RecordMode mode) { m_mode = mode; }
  [[nodiscard]] RecordInterval recordInterval() const { return m_interval; }
  void setRecordInterval(RecordInterval interval) { m_interval = interval; }

  /// Forgets the last recorded position, so the next one passes.
  void reset() { m_last.fields.clear(); }
  /// Decides about one position; a position that passes becomes the last one.
  [[nodiscard]] bool accept(const PositionInfo& position);
  [[nodiscard]] const PositionInfo& lastPosition() const { return m_last; }

 private:
  [[nodiscard]] bool decide(const PositionInfo& position) const;
  [[nodiscard]] bool timeElapsed(const PositionInfo& position) const;
  [[nodiscard]] bool distanceMoved(const PositionInfo& position) const;

  bool m_active = true;
  RecordMode m_mode = rmAuto;
  RecordInterval m_interval = riNormal;
  PositionInfo m_last = withPoint(kInvalidPoint);

  static PositionInfo withPoint(Point p) {
    PositionInfo info;
    info.x = p.x;
    info.y = p.y;
    return info;
  }
};

}  // namespace geomuxer
