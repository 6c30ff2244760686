#pragma once
// Common part of the three NMEA sources (serial port, TCP client, followed file): the decoder's
// checksum option and the report of every received sentence.

#include <QString>

#include <memory>

#include "sources/decoders/gps_protocol_nmea.h"
#include "sources/trackers/gps_tracker.h"

namespace geomuxer {

/// Base of the NMEA trackers. Settings made while the source runs reach the decoder at the next
/// start, when a new interface with a new decoder is built. Main thread only.
class GpsTrackerNmea : public GpsTracker {
  Q_OBJECT

 public:
  using GpsTracker::GpsTracker;

  /// When on, only sentences with a correct checksum make a position (off by default).
  [[nodiscard]] bool checkChecksum() const { return m_checkChecksum; }
  void setCheckChecksum(bool on) { m_checkChecksum = on; }

 signals:
  /// Every complete line received, after it has been decoded.
  void sentenceReceived(const QString& sentence);

 protected:
  /// A decoder configured from this tracker, reporting its lines through sentenceReceived.
  [[nodiscard]] std::unique_ptr<GpsProtocolNmea> makeProtocol();

 private:
  bool m_checkChecksum = false;
};

}  // namespace geomuxer
