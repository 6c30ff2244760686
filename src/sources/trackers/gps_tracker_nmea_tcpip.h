#pragma once
// NMEA from a TCP server (another program that shares a receiver over the network).

#include <string>

#include "sources/trackers/gps_tracker_nmea.h"

namespace geomuxer {

class GpsInterfaceTcpip;

/// "NMEA via TCP/IP". A connection that fails or breaks drops the transport and reports the fault,
/// without stopped and without stopping the logger; a close by the server stops the source
/// normally. Host and port changes while running take effect at the next connect.
class GpsTrackerNmeaTcpip : public GpsTrackerNmea {
  Q_OBJECT

 public:
  using GpsTrackerNmea::GpsTrackerNmea;

  [[nodiscard]] std::string displayName() const override { return "NMEA via TCP/IP"; }

  [[nodiscard]] const std::string& host() const { return m_host; }
  void setHost(std::string host);
  [[nodiscard]] quint16 port() const { return m_port; }
  void setPort(quint16 port);

 protected:
  [[nodiscard]] std::unique_ptr<GpsInterface> createInterface() override;

 private:
  [[nodiscard]] GpsInterfaceTcpip* tcpInterface() const;

  std::string m_host = "127.0.0.1";
  quint16 m_port = 2222;
};

}  // namespace geomuxer
