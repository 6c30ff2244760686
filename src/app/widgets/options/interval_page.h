#pragma once
// "Log Interval": how often the record filter lets a position through to the loggers.

#include "app/widgets/options/options_page.h"

class QButtonGroup;

namespace geomuxer {

class IntervalPage : public OptionsPage {
 public:
  explicit IntervalPage(QWidget* parent);

  void load(const Settings& settings, const AppController& controller) override;
  void store(Settings& settings) const override;
  void apply(AppController& controller) override;

 private:
  QButtonGroup* m_recordMode;
  QButtonGroup* m_recordInterval;
};

}  // namespace geomuxer
