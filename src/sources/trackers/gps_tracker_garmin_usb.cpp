#include "sources/trackers/gps_tracker_garmin_usb.h"

#include "sources/transports/garmin_usb_libusb.h"
#include "sources/transports/garmin_usb_watch.h"

namespace geomuxer {

GpsTrackerGarminUsb::GpsTrackerGarminUsb(QObject* parent)
    : GpsTracker(parent), m_opener(openLibusbGarminDevice), m_watchMaker([] { return std::make_unique<GarminUsbWatch>(); }) {}

GpsTrackerGarminUsb::~GpsTrackerGarminUsb() {
  if (isActive()) {
    try {
      stop();
    } catch (...) {
      // A destructor must not throw; the logger's stop failing leaves nothing to undo here.
    }
  }
}

std::unique_ptr<DeviceWatch> GpsTrackerGarminUsb::watchDevice() const {
  return m_watchMaker ? m_watchMaker() : nullptr;
}

std::unique_ptr<GpsInterface> GpsTrackerGarminUsb::createInterface() {
  return std::make_unique<GpsInterfaceUsb>(m_opener, m_timing);
}

}  // namespace geomuxer
