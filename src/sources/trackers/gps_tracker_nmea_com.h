#pragma once
// NMEA from a receiver on a serial port.

#include <string>

#include "sources/trackers/gps_tracker_nmea.h"

namespace geomuxer {

/// "NMEA via COM". Each start opens the port anew with this tracker's line settings (NMEA
/// receivers talk 4800 baud, 8 data bits, no parity, one stop bit by default).
class GpsTrackerNmeaCom : public GpsTrackerNmea {
  Q_OBJECT

 public:
  using GpsTrackerNmea::GpsTrackerNmea;

  [[nodiscard]] std::string displayName() const override { return "NMEA via COM"; }

  [[nodiscard]] const std::string& port() const { return m_port; }
  void setPort(std::string port) { m_port = std::move(port); }
  /// Watches the port's path (a kernel name is looked for in /dev).
  [[nodiscard]] std::unique_ptr<DeviceWatch> watchDevice() const override;
  [[nodiscard]] quint32 baudRate() const { return m_baudRate; }
  void setBaudRate(quint32 baud) { m_baudRate = baud; }
  [[nodiscard]] quint8 byteSize() const { return m_byteSize; }
  void setByteSize(quint8 bits) { m_byteSize = bits; }
  /// false: no parity; true: odd parity.
  [[nodiscard]] bool parity() const { return m_parity; }
  void setParity(bool odd) { m_parity = odd; }
  /// 0: one, 1: one and a half, 2: two stop bits.
  [[nodiscard]] quint8 stopBits() const { return m_stopBits; }
  void setStopBits(quint8 code) { m_stopBits = code; }

 protected:
  [[nodiscard]] std::unique_ptr<GpsInterface> createInterface() override;

 private:
  std::string m_port = "COM1";
  quint32 m_baudRate = 4800;
  quint8 m_byteSize = 8;
  bool m_parity = false;
  quint8 m_stopBits = 0;
};

}  // namespace geomuxer
