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

  /// Replaces the decoder's monotonic clock from the next start on (tests drive time by hand).
  void setClock(GpsProtocolGarmin::Clock clock) { m_clock = std::move(clock); }
  /// The running decoder, null when stopped.
  [[nodiscard]] const GpsProtocolGarmin* decoder() const;

 protected:
  [[nodiscard]] std::unique_ptr<GpsInterface> createInterface() override;

 private:
  std::string m_port;
  GpsProtocolGarmin::Clock m_clock;
};

}  // namespace geomuxer
