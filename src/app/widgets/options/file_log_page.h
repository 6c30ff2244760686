#pragma once
// "NMEA Log": the NMEA log file.

#include "app/widgets/options/options_page.h"

class QCheckBox;

namespace geomuxer {

class FileLogPage : public OptionsPage {
 public:
  FileLogPage(PageHost& host, QWidget* parent);

  void load(const Settings& settings, const AppController& controller) override;
  void store(Settings& settings) const override;
  void apply(AppController& controller) override;

 private:
  QCheckBox* m_active;
  QLineEdit* m_file;
  QCheckBox* m_append;
};

}  // namespace geomuxer
