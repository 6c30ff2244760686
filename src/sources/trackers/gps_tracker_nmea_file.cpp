#include "sources/trackers/gps_tracker_nmea_file.h"

#include "sources/transports/gps_interface_file.h"

namespace geomuxer {

std::unique_ptr<GpsInterface> GpsTrackerNmeaFile::createInterface() {
  auto file = std::make_unique<GpsInterfaceFile>(makeProtocol(), QString::fromStdString(m_filename));
  // A file that comes back after it was gone (a log rotated) is new: all of it is read.
  file->setStartAtEnd(m_startAtEnd && !reopening());
  return file;
}

}  // namespace geomuxer
