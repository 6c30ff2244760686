#pragma once
// "General": the window's behaviour and the program log.

#include "app/widgets/options/options_page.h"

class QCheckBox;
class QListWidget;

namespace geomuxer {

class GeneralPage : public OptionsPage {
 public:
  explicit GeneralPage(QWidget* parent);

  void load(const Settings& settings, const AppController& controller) override;
  void validate(FieldCheck& check) const override;
  void store(Settings& settings) const override;
  /// The log categories, the log's line limit and "close to tray".
  void apply(AppController& controller) override;

 private:
  QCheckBox* m_closeToTray;
  QCheckBox* m_minimized;
  QCheckBox* m_savePos;
  QListWidget* m_logWhat;
  QLineEdit* m_maxLines;
};

}  // namespace geomuxer
