#pragma once
// The page of the NMEA source that reads from a TCP server.

#include "app/widgets/options/options_page.h"

class QCheckBox;

namespace geomuxer {

class GpsTrackerNmeaTcpip;

class NmeaTcpPage : public OptionsPage {
 public:
  NmeaTcpPage(GpsTrackerNmeaTcpip& source, PageHost& host, QWidget* parent);

  void load(const Settings& settings, const AppController& controller) override;
  void validate(FieldCheck& check) const override;
  void store(Settings& settings) const override;
  void apply(AppController& controller) override;

 private:
  GpsTrackerNmeaTcpip& m_source;
  QLineEdit* m_host;
  QLineEdit* m_port;
  QCheckBox* m_checksum;
};

}  // namespace geomuxer
