#include "app/widgets/options/gpx_log_page.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "app/app_controller.h"
#include "app/widgets/options/fields.h"
#include "loggers/gpx_logger.h"
#include "settings/settings.h"

namespace geomuxer {

GpxLogPage::GpxLogPage(PageHost& host, QWidget* parent) : OptionsPage(tr("GPX Log"), parent) {
  QVBoxLayout* layout = column();
  layout->addWidget(description(tr("Record your track as GPX file."), this));
  m_active = check(tr("&Active"), this, keys::gpxLogActive);
  layout->addWidget(m_active);
  m_folder = textField(this, keys::gpxLogFileDir);
  m_folder->setToolTip(tr("Directory"));
  m_folder->setPlaceholderText(tr("Directory"));
  layout->addWidget(withBrowse(m_folder, host, [this] {
    return FileRequest{FileRequest::Kind::folder, tr("GPX folder"), m_folder->text(), {}, 0, {}};
  }));
}

void GpxLogPage::load(const Settings& settings, const AppController& controller) {
  m_folder->setText(storedText(settings, keys::gpxLogFileDir));
  m_active->setChecked(controller.loggerActive(LoggerKind::gpxFile));  // what runs, not what was stored
}

void GpxLogPage::store(Settings& settings) const {
  storeFlag(settings, keys::gpxLogActive, m_active);
  storeText(settings, keys::gpxLogFileDir, m_folder);
}

void GpxLogPage::apply(AppController& controller) {
  controller.gpxLogger()->setFileDir(str(m_folder->text()));
  controller.setLoggerActive(LoggerKind::gpxFile, m_active->isChecked());
}

}  // namespace geomuxer
