#include "sources/trackers/gps_tracker_garmin_usb.h"

#include "sources/transports/garmin_usb_libusb.h"

namespace geomuxer {

GpsTrackerGarminUsb::GpsTrackerGarminUsb(QObject* parent)
    : GpsTracker(parent), m_opener(openLibusbGarminDevice) {}

GpsTrackerGarminUsb::~GpsTrackerGarminUsb() {
  if (isActive()) {
    try {
      stop();
    } catch (...) {
      // A destructor must not throw; the logger's stop failing leaves nothing to undo here.
    }
  }
}

std::unique_ptr<GpsInterface> GpsTrackerGarminUsb::createInterface() {
  return std::make_unique<GpsInterfaceUsb>(m_opener, m_timing);
}

}  // namespace geomuxer
