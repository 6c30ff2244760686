#include "sources/trackers/gps_tracker_nmea_file.h"

#include "sources/transports/gps_interface_file.h"

namespace geomuxer {

std::unique_ptr<GpsInterface> GpsTrackerNmeaFile::createInterface() {
  return std::make_unique<GpsInterfaceFile>(makeProtocol(), QString::fromStdString(m_filename));
}

}  // namespace geomuxer
