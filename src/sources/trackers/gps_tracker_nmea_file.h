#pragma once
// NMEA from a text file that another program keeps appending to.

#include <string>

#include "sources/trackers/gps_tracker_nmea.h"

namespace geomuxer {

/// "NMEA via File". The source stops by itself when the followed file is deleted or moved away;
/// a rotated or shortened file is read again from its beginning.
class GpsTrackerNmeaFile : public GpsTrackerNmea {
  Q_OBJECT

 public:
  using GpsTrackerNmea::GpsTrackerNmea;

  [[nodiscard]] std::string displayName() const override { return "NMEA via File"; }

  [[nodiscard]] const std::string& filename() const { return m_filename; }
  void setFilename(std::string filename) { m_filename = std::move(filename); }
  /// Follow only what is appended after the start, skipping what the file already holds (off by
  /// default). Takes effect at the next start.
  [[nodiscard]] bool startAtEnd() const { return m_startAtEnd; }
  void setStartAtEnd(bool on) { m_startAtEnd = on; }

 protected:
  [[nodiscard]] std::unique_ptr<GpsInterface> createInterface() override;

 private:
  std::string m_filename;
  bool m_startAtEnd = false;
};

}  // namespace geomuxer
