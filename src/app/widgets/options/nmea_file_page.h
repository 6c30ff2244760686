#pragma once
// The page of the NMEA source that follows a growing file.

#include "app/widgets/options/options_page.h"

class QCheckBox;

namespace geomuxer {

class GpsTrackerNmeaFile;

class NmeaFilePage : public OptionsPage {
 public:
  NmeaFilePage(GpsTrackerNmeaFile& source, PageHost& host, QWidget* parent);

  void load(const Settings& settings, const AppController& controller) override;
  void store(Settings& settings) const override;
  void apply(AppController& controller) override;

 private:
  GpsTrackerNmeaFile& m_source;
  QLineEdit* m_file;
  QCheckBox* m_checksum;
  QCheckBox* m_startAtEnd;
};

}  // namespace geomuxer
