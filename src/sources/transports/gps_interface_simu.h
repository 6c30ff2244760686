#pragma once
// The simulator's transport: a timer that moves a point along a course once a second.

#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include "core/position_info.h"
#include "sources/transports/gps_timer_interface.h"

namespace geomuxer {

/// Produces one position per second (ticks every 200 ms, so one per 1000 to 1200 ms) from the
/// last produced point or the start point, one second of travel at `speed` along `course`,
/// whatever time really passed. Only the members named in `fields` are filled (the point always).
/// Every member may be changed while running. Main thread only.
class GpsInterfaceSimu : public GpsTimerInterface {
  Q_OBJECT

 public:
  static constexpr int kTickMs = 200;
  static constexpr std::int64_t kPositionEveryMs = 1000;

  explicit GpsInterfaceSimu(QObject* parent = nullptr);

  [[nodiscard]] std::string name() const override { return "Simulator"; }

  /// One timer tick: produces a position when a second has passed since the last one.
  void tick();

  [[nodiscard]] Point startPoint() const { return m_startPoint; }
  /// A point other than the current start point becomes the origin of the next position.
  void setStartPoint(Point point);

  DefFields fields;
  float course = 0.0f;   ///< degrees, 0 = north, clockwise
  float speed = 0.0f;    ///< km/h
  float vSpeed = 0.0f;   ///< metres of climb per position
  float altitude = 0.0f; ///< the running altitude, metres
  float prec = 0.0f;     ///< bound of the random horizontal precision, metres
  float vPrec = 0.0f;    ///< bound of the random vertical precision, metres
  std::int32_t satellites = 5;
  Fix fix = fix3D;

 protected:
  void timerTick() override { tick(); }

 private:
  [[nodiscard]] float randomBelow(float bound);

  Point m_startPoint = kInvalidPoint;
  std::optional<Point> m_origin;  // where the next position moves on from
  std::optional<Clock::TimePoint> m_lastTick;
  std::mt19937 m_random;
};

}  // namespace geomuxer
