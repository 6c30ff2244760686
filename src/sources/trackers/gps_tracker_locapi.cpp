#include "sources/trackers/gps_tracker_locapi.h"

#include "sources/transports/gps_interface_locapi.h"
#include "sources/transports/locapi_library.h"

namespace geomuxer {

GpsTrackerLocapi::~GpsTrackerLocapi() {
  if (isActive()) {
    try {
      stop();
    } catch (...) {
      // A destructor must not throw; the logger's stop failing leaves nothing to undo here.
    }
  }
}

std::string GpsTrackerLocapi::displayName() const {
#ifdef _WIN32
  return "Windows";
#else
  return "Location Service";
#endif
}

bool GpsTrackerLocapi::isAvailable() const {
  try {
    return LocapiLibrary::load(m_libraryPath) != nullptr;
  } catch (...) {
    return false;
  }
}

std::unique_ptr<GpsInterface> GpsTrackerLocapi::createInterface() {
  auto iface = std::make_unique<GpsInterfaceLocapi>(m_libraryPath);
  iface->setInterval(m_interval);
  return iface;
}

}  // namespace geomuxer
