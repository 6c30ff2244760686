#include "sources/trackers/gps_tracker_nmea_file.h"

#include "sources/transports/gps_interface_file.h"

namespace geomuxer {

std::unique_ptr<GpsInterface> GpsTrackerNmeaFile::createInterface() {
  auto file = std::make_unique<GpsInterfaceFile>(makeProtocol(), QString::fromStdString(m_filename));
  file->setStartAtEnd(m_startAtEnd);
  return file;
}

}  // namespace geomuxer
