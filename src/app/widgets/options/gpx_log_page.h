#pragma once
// "GPX Log": the GPX track files.

#include "app/widgets/options/options_page.h"

class QCheckBox;

namespace geomuxer {

class GpxLogPage : public OptionsPage {
 public:
  GpxLogPage(PageHost& host, QWidget* parent);

  void load(const Settings& settings, const AppController& controller) override;
  void store(Settings& settings) const override;
  void apply(AppController& controller) override;

 private:
  QCheckBox* m_active;
  QLineEdit* m_folder;
};

}  // namespace geomuxer
