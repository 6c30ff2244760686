#include "app/widgets/options/general_page.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QVBoxLayout>

#include "app/app_controller.h"
#include "app/log_model.h"
#include "app/widgets/options/fields.h"
#include "settings/settings.h"

namespace geomuxer {

namespace {

// The log categories in the order of the "Log what" list.
struct LogItem {
  const char* caption;
  LogCategory category;
  const SettingKey* key;
};
const LogItem kLogItems[] = {
    {"Tracker", lcTracker, &keys::logTracker},      {"Tracker Position", lcTrackerPos, &keys::logTrackerPos},
    {"TCP/IP", lcTcp, &keys::logTcp},               {"HTTP", lcHttp, &keys::logHttp},
    {"Log file", lcLogFile, &keys::logLogFile},
};

}  // namespace

GeneralPage::GeneralPage(QWidget* parent) : OptionsPage(tr("General"), parent) {
  QVBoxLayout* layout = column();
  m_closeToTray = check(tr("Close to &Tray"), this, keys::generalCloseToTray);
  m_minimized = check(tr("Start &minimized"), this, keys::generalMinimized);
  m_savePos = check(tr("&Save window position"), this, keys::generalSavePos);
  layout->addWidget(m_closeToTray);
  layout->addWidget(m_minimized);
  layout->addWidget(m_savePos);

  auto* logBox = new QGroupBox(tr("Program Log"), this);
  auto* form = new QFormLayout(logBox);
  m_logWhat = new QListWidget(logBox);
  m_logWhat->setObjectName(QStringLiteral("log"));
  for (const LogItem& item : kLogItems) {
    auto* entry = new QListWidgetItem(tr(item.caption), m_logWhat);
    entry->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    entry->setCheckState(Qt::Unchecked);
  }
  m_logWhat->setMaximumHeight(m_logWhat->sizeHintForRow(0) * 5 + 2 * m_logWhat->frameWidth() + 4);
  addRow(form, tr("&Log what:"), m_logWhat);
  m_maxLines = digitField(logBox, keys::logMaxLines);
  addRow(form, tr("Ma&x. lines:"), m_maxLines);
  layout->addWidget(logBox);
}

void GeneralPage::load(const Settings& settings, const AppController& /*controller*/) {
  m_closeToTray->setChecked(settings.readBool(keys::generalCloseToTray));
  m_minimized->setChecked(settings.readBool(keys::generalMinimized));
  m_savePos->setChecked(settings.readBool(keys::generalSavePos));
  for (int i = 0; i < m_logWhat->count(); ++i)
    m_logWhat->item(i)->setCheckState(settings.readBool(*kLogItems[i].key) ? Qt::Checked : Qt::Unchecked);
  // No limit (0 or less) shows as an empty field, which is how the user asks for it.
  const int maxLines = storedIntegerOr(settings, keys::logMaxLines, 1);
  m_maxLines->setText(maxLines <= 0 ? QString() : storedIntegerText(settings, keys::logMaxLines));
}

void GeneralPage::validate(FieldCheck& check) const {
  check.integer(m_maxLines, true);  // empty: no limit
}

void GeneralPage::store(Settings& settings) const {
  storeFlag(settings, keys::generalCloseToTray, m_closeToTray);
  storeFlag(settings, keys::generalMinimized, m_minimized);
  storeFlag(settings, keys::generalSavePos, m_savePos);
  for (int i = 0; i < m_logWhat->count(); ++i)
    settings.writeBool(kLogItems[i].key->path, m_logWhat->item(i)->checkState() == Qt::Checked);
  // Stored as a number in every case, so that the next start reads it back as no limit.
  settings.writeInteger(keys::logMaxLines.path, m_maxLines->text().isEmpty() ? 0 : integerOf(m_maxLines));
}

void GeneralPage::apply(AppController& controller) {
  unsigned categories = 0;
  for (int i = 0; i < m_logWhat->count(); ++i)
    if (m_logWhat->item(i)->checkState() == Qt::Checked) categories |= kLogItems[i].category;
  controller.setLogCategories(categories);
  controller.log().setMaxLines(m_maxLines->text().isEmpty() ? 0 : integerOf(m_maxLines));
  controller.setCloseToTray(m_closeToTray->isChecked());
}

}  // namespace geomuxer
