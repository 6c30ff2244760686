#pragma once
// The page of the NMEA receiver on a serial port.

#include "app/widgets/options/options_page.h"

class QCheckBox;
class QComboBox;

namespace geomuxer {

class GpsTrackerNmeaCom;

class NmeaComPage : public OptionsPage {
 public:
  NmeaComPage(GpsTrackerNmeaCom& source, PageHost& host, QWidget* parent);

  void load(const Settings& settings, const AppController& controller) override;
  void validate(FieldCheck& check) const override;
  void store(Settings& settings) const override;
  void apply(AppController& controller) override;

 private:
  GpsTrackerNmeaCom& m_source;
  QComboBox* m_port;
  QLineEdit* m_baud;
  QLineEdit* m_byteSize;
  QLineEdit* m_stopBits;
  QCheckBox* m_parity;
  QCheckBox* m_checksum;
};

}  // namespace geomuxer
