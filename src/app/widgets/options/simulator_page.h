#pragma once
// The simulator's page: where it starts and how fast it may go.

#include "app/widgets/options/options_page.h"

namespace geomuxer {

class CoordinateEdit;
class GpsTrackerSimu;

class SimulatorPage : public OptionsPage {
 public:
  SimulatorPage(GpsTrackerSimu& source, PageHost& host, QWidget* parent);

  void load(const Settings& settings, const AppController& controller) override;
  void validate(FieldCheck& check) const override;
  void store(Settings& settings) const override;
  /// The start point and altitude of the source, the speed range of the simulator window.
  void apply(AppController& controller) override;

 private:
  GpsTrackerSimu& m_source;
  SimulatorWindow* m_window;
  CoordinateEdit* m_long;
  CoordinateEdit* m_lat;
  QLineEdit* m_alt;
  QLineEdit* m_maxSpeed;
  QLineEdit* m_maxVSpeed;
};

}  // namespace geomuxer
