#pragma once
// A Garmin receiver speaking its binary protocol on a serial port.

#include <string>

#include "sources/decoders/gps_protocol_garmin.h"
#include "sources/trackers/gps_tracker.h"

namespace geomuxer {

/// "Garmin via COM". Each start opens the port anew; the line keeps the serial transport's
/// defaults (9600 baud, 8 data bits, no parity, one stop bit), which is what these receivers
/// talk. Main thread only.
class GpsTrackerGarminCom : public GpsTracker {
  Q_OBJECT

 public:
  using GpsTracker::GpsTracker;
  ~GpsTrackerGarminCom() override;

  [[nodiscard]] std::string displayName() const override { return "Garmin via COM"; }

  [[nodiscard]] const std::string& port() const { return m_port; }
  void setPort(std::string port) { m_port = std::move(port); }
  /// Watches the port's path (a kernel name is looked for in /dev).
  [[nodiscard]] std::unique_ptr<DeviceWatch> watchDevice() const override;

  /// The clock of the decoder's time-outs from the next start on (by default the system clock);
  /// it must outlive the tracker.
  void setClock(const Clock& clock) { m_clock = &clock; }
  /// The running decoder, null when stopped.
  [[nodiscard]] const GpsProtocolGarmin* decoder() const;

 protected:
  [[nodiscard]] std::unique_ptr<GpsInterface> createInterface() override;

 private:
  std::string m_port;
  const Clock* m_clock = &systemClock();
};

}  // namespace geomuxer
