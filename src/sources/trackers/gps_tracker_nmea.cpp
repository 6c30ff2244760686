#include "sources/trackers/gps_tracker_nmea.h"

namespace geomuxer {

std::unique_ptr<GpsProtocolNmea> GpsTrackerNmea::makeProtocol() {
  auto protocol = std::make_unique<GpsProtocolNmea>();
  protocol->setCheckChecksum(m_checkChecksum);
  // The decoder belongs to an interface this tracker owns, so it never outlives the tracker.
  protocol->setSentenceHandler([this](std::string_view sentence) {
    emit sentenceReceived(QString::fromLatin1(sentence.data(), static_cast<qsizetype>(sentence.size())));
  });
  return protocol;
}

}  // namespace geomuxer
