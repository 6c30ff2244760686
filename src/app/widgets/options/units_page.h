#pragma once
// "Units": how lengths, speeds and positions are shown.

#include "app/widgets/options/options_page.h"

class QButtonGroup;

namespace geomuxer {

class UnitsPage : public OptionsPage {
 public:
  explicit UnitsPage(QWidget* parent);

  /// Shows the formats in force, not the stored ones.
  void load(const Settings& settings, const AppController& controller) override;
  void store(Settings& settings) const override;
  void apply(AppController& controller) override;

 private:
  QButtonGroup* m_distUnit;
  QButtonGroup* m_posUnit;
};

}  // namespace geomuxer
