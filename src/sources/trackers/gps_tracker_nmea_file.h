#pragma once
// NMEA from a text file that another program keeps appending to.

#include <string>

#include "sources/trackers/gps_tracker_nmea.h"

namespace geomuxer {

/// "NMEA via File". The source stops by itself when the followed file is deleted or moved away.
class GpsTrackerNmeaFile : public GpsTrackerNmea {
  Q_OBJECT

 public:
  using GpsTrackerNmea::GpsTrackerNmea;

  [[nodiscard]] std::string displayName() const override { return "NMEA via File"; }

  [[nodiscard]] const std::string& filename() const { return m_filename; }
  void setFilename(std::string filename) { m_filename = std::move(filename); }

 protected:
  [[nodiscard]] std::unique_ptr<GpsInterface> createInterface() override;

 private:
  std::string m_filename;
};

}  // namespace geomuxer
