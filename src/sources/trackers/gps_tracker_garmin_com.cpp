#include "sources/trackers/gps_tracker_garmin_com.h"

#include "sources/transports/device_path_watcher.h"
#include "sources/transports/gps_interface_com.h"

namespace geomuxer {

GpsTrackerGarminCom::~GpsTrackerGarminCom() {
  if (isActive()) {
    try {
      stop();
    } catch (...) {
      // A destructor must not throw; the logger's stop failing leaves nothing to undo here.
    }
  }
}

const GpsProtocolGarmin* GpsTrackerGarminCom::decoder() const {
  const GpsInterface* iface = gpsInterface();
  return iface != nullptr ? dynamic_cast<const GpsProtocolGarmin*>(iface->protocol()) : nullptr;
}

std::unique_ptr<DeviceWatch> GpsTrackerGarminCom::watchDevice() const {
  return std::make_unique<DevicePathWatcher>(GpsInterfaceCom::devicePath(m_port));
}

std::unique_ptr<GpsInterface> GpsTrackerGarminCom::createInterface() {
  return std::make_unique<GpsInterfaceCom>(std::make_unique<GpsProtocolGarmin>(*m_clock),
                                           QString::fromStdString(m_port));
}

}  // namespace geomuxer
