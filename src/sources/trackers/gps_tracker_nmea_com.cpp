#include "sources/trackers/gps_tracker_nmea_com.h"

#include "sources/transports/device_path_watcher.h"
#include "sources/transports/gps_interface_com.h"

namespace geomuxer {

std::unique_ptr<DeviceWatch> GpsTrackerNmeaCom::watchDevice() const {
  return std::make_unique<DevicePathWatcher>(GpsInterfaceCom::devicePath(m_port));
}

std::unique_ptr<GpsInterface> GpsTrackerNmeaCom::createInterface() {
  auto iface = std::make_unique<GpsInterfaceCom>(makeProtocol(), QString::fromStdString(m_port));
  iface->setBaudRate(m_baudRate);
  iface->setByteSize(m_byteSize);
  iface->setParity(m_parity);
  iface->setStopBits(m_stopBits);
  return iface;
}

}  // namespace geomuxer
