#pragma once
// The page of the Garmin receiver on a serial port.

#include "app/widgets/options/options_page.h"

class QComboBox;

namespace geomuxer {

class GpsTrackerGarminCom;

class GarminComPage : public OptionsPage {
 public:
  GarminComPage(GpsTrackerGarminCom& source, PageHost& host, QWidget* parent);

  void load(const Settings& settings, const AppController& controller) override;
  void store(Settings& settings) const override;
  void apply(AppController& controller) override;

 private:
  GpsTrackerGarminCom& m_source;
  QComboBox* m_port;
};

}  // namespace geomuxer
