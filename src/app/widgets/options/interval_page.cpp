#include "app/widgets/options/interval_page.h"

#include <QButtonGroup>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include <algorithm>

#include "app/app_controller.h"
#include "app/widgets/options/fields.h"
#include "settings/settings.h"

namespace geomuxer {

IntervalPage::IntervalPage(QWidget* parent) : OptionsPage(tr("Log Interval"), parent) {
  auto* row = new QHBoxLayout;
  auto* modeBox = new QGroupBox(tr("Mode"), this);
  m_recordMode = radioGroup(modeBox, {tr("&Auto"), tr("&Time"), tr("&Distance")}, keys::generalRecordMode);
  auto* intervalBox = new QGroupBox(tr("Interval"), this);
  m_recordInterval = radioGroup(
      intervalBox, {tr("&Maximum"), tr("&Often"), tr("&Normal"), tr("&Seldom"), tr("M&inimum")},
      keys::generalRecordInterval);
  static_cast<QVBoxLayout*>(modeBox->layout())->addStretch(1);
  row->addWidget(modeBox);
  row->addWidget(intervalBox);
  column()->addLayout(row);
}

void IntervalPage::load(const Settings& settings, const AppController& /*controller*/) {
  selectRadio(m_recordMode, storedIntegerOr(settings, keys::generalRecordMode, rmAuto));
  selectRadio(m_recordInterval, storedIntegerOr(settings, keys::generalRecordInterval, riNormal));
}

void IntervalPage::store(Settings& settings) const {
  settings.writeInteger(keys::generalRecordMode.path, m_recordMode->checkedId());
  settings.writeInteger(keys::generalRecordInterval.path, m_recordInterval->checkedId());
}

void IntervalPage::apply(AppController& controller) {
  controller.setRecordMode(static_cast<RecordMode>(std::max(0, m_recordMode->checkedId())),
                           static_cast<RecordInterval>(std::max(0, m_recordInterval->checkedId())));
}

}  // namespace geomuxer
