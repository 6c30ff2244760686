#include "sources/trackers/gps_tracker_nmea_tcpip.h"

#include "sources/transports/gps_interface_tcpip.h"

namespace geomuxer {

GpsInterfaceTcpip* GpsTrackerNmeaTcpip::tcpInterface() const {
  return qobject_cast<GpsInterfaceTcpip*>(gpsInterface());
}

void GpsTrackerNmeaTcpip::setHost(std::string host) {
  if (host == m_host) return;
  m_host = std::move(host);
  if (GpsInterfaceTcpip* iface = tcpInterface()) iface->setHost(QString::fromStdString(m_host));
}

void GpsTrackerNmeaTcpip::setPort(quint16 port) {
  if (port == m_port) return;
  m_port = port;
  if (GpsInterfaceTcpip* iface = tcpInterface()) iface->setPort(m_port);
}

std::unique_ptr<GpsInterface> GpsTrackerNmeaTcpip::createInterface() {
  auto iface = std::make_unique<GpsInterfaceTcpip>(makeProtocol());
  iface->setPort(m_port);
  iface->setHost(QString::fromStdString(m_host));
  iface->setConnectTimeout(m_connectTimeout);
  return iface;
}

}  // namespace geomuxer
