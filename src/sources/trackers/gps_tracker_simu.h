#pragma once
// The built-in simulator source, steered live from the simulator window.

#include <cstdint>
#include <string>

#include "core/position_info.h"
#include "sources/transports/gps_interface_simu.h"
#include "sources/trackers/gps_tracker.h"

namespace geomuxer {

/// "Simulator". Every property may be changed while the source runs and reaches the running
/// simulation at once (setting `altitude` restarts the climb from it). Each start begins at
/// `startPoint` with the running altitude reset to `altitude`. Main thread only.
class GpsTrackerSimu : public GpsTracker {
  Q_OBJECT

 public:
  /// time, point, precisions, altitude, heading, speed, vertical speed and fix.
  static constexpr DefFields kDefaultFields = DefFields::fromBits(0x169F);

  using GpsTracker::GpsTracker;

  [[nodiscard]] std::string displayName() const override { return "Simulator"; }
  /// Steered by hand, it has nothing to reconnect to.
  [[nodiscard]] bool supervised() const override { return false; }

  [[nodiscard]] DefFields fields() const { return m_fields; }
  void setFields(DefFields fields);
  [[nodiscard]] float course() const { return m_course; }
  void setCourse(float degrees);
  [[nodiscard]] float speed() const { return m_speed; }
  void setSpeed(float kmh);
  [[nodiscard]] float vSpeed() const { return m_vSpeed; }
  void setVSpeed(float metresPerSecond);
  [[nodiscard]] float altitude() const { return m_altitude; }
  void setAltitude(float metres);
  [[nodiscard]] float prec() const { return m_prec; }
  void setPrec(float metres);
  [[nodiscard]] float vPrec() const { return m_vPrec; }
  void setVPrec(float metres);
  [[nodiscard]] std::int32_t satellites() const { return m_satellites; }
  void setSatellites(std::int32_t count);
  [[nodiscard]] Fix fix() const { return m_fix; }
  void setFix(Fix fix);
  [[nodiscard]] Point startPoint() const { return m_startPoint; }
  void setStartPoint(Point point);

  /// The clock of the simulation's ticks and time stamps from the next start on (by default the
  /// event-loop clock); it must outlive the tracker.
  void setClock(Scheduler& clock) {
    m_clock = &clock;
    GpsTracker::setClock(clock);
  }
  /// The running simulation, null when stopped.
  [[nodiscard]] GpsInterfaceSimu* simuInterface() const;

 protected:
  [[nodiscard]] std::unique_ptr<GpsInterface> createInterface() override;

 private:
  DefFields m_fields = kDefaultFields;
  float m_course = 0.0f;
  float m_speed = 0.0f;
  float m_vSpeed = 0.0f;
  float m_altitude = 0.0f;
  float m_prec = 0.0f;
  float m_vPrec = 0.0f;
  std::int32_t m_satellites = 5;
  Fix m_fix = fix3D;
  Point m_startPoint = kInvalidPoint;
  Scheduler* m_clock = nullptr;  // null: the interface's default
};

}  // namespace geomuxer
