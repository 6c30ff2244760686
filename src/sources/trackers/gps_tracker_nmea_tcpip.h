#pragma once
// NMEA from a TCP server (another program that shares a receiver over the network).

#include <string>

#include "sources/trackers/gps_tracker_nmea.h"

namespace geomuxer {

class GpsInterfaceTcpip;

/// "NMEA via TCP/IP". A connection that fails, breaks, times out or is closed by the server is
/// reported and made again after a wait, the logger staying started. Host and port changes while
/// running take effect at the next connect.
class GpsTrackerNmeaTcpip : public GpsTrackerNmea {
  Q_OBJECT

 public:
  using GpsTrackerNmea::GpsTrackerNmea;

  [[nodiscard]] std::string displayName() const override { return "NMEA via TCP/IP"; }

  [[nodiscard]] const std::string& host() const { return m_host; }
  void setHost(std::string host);
  [[nodiscard]] quint16 port() const { return m_port; }
  void setPort(quint16 port);
  /// How long each connect may take; takes effect at the next connect.
  void setConnectTimeout(Clock::Duration time) { m_connectTimeout = time; }

 protected:
  [[nodiscard]] std::unique_ptr<GpsInterface> createInterface() override;

 private:
  [[nodiscard]] GpsInterfaceTcpip* tcpInterface() const;

  std::string m_host = "127.0.0.1";
  quint16 m_port = 2222;
  Clock::Duration m_connectTimeout{10'000};
};

}  // namespace geomuxer
