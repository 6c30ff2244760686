#include "app/widgets/options/file_log_page.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "app/app_controller.h"
#include "app/widgets/options/fields.h"
#include "loggers/nmea_file_logger.h"
#include "settings/settings.h"

namespace geomuxer {

FileLogPage::FileLogPage(PageHost& host, QWidget* parent) : OptionsPage(tr("NMEA Log"), parent) {
  QVBoxLayout* layout = column();
  layout->addWidget(description(tr("Write your current location to a log file in NMEA format."), this));
  m_active = check(tr("&Active"), this, keys::fileLogActive);
  layout->addWidget(m_active);
  m_file = textField(this, keys::fileLogFile);
  m_file->setToolTip(tr("Filename"));
  m_file->setPlaceholderText(tr("Filename"));
  layout->addWidget(withBrowse(m_file, host, [this] {
    return FileRequest{FileRequest::Kind::saveFile, tr("NMEA log file"), m_file->text(), kAllFiles, 0, {}};
  }));
  m_append = check(tr("A&ppend if file exists"), this, keys::fileLogAppend);
  layout->addWidget(m_append);
}

void FileLogPage::load(const Settings& settings, const AppController& controller) {
  m_file->setText(storedText(settings, keys::fileLogFile));
  m_append->setChecked(settings.readBool(keys::fileLogAppend));
  m_active->setChecked(controller.loggerActive(LoggerKind::nmeaFile));  // what runs, not what was stored
}

void FileLogPage::store(Settings& settings) const {
  storeFlag(settings, keys::fileLogActive, m_active);
  storeText(settings, keys::fileLogFile, m_file);
  storeFlag(settings, keys::fileLogAppend, m_append);
}

void FileLogPage::apply(AppController& controller) {
  controller.nmeaFileLogger()->setAppend(m_append->isChecked());
  controller.nmeaFileLogger()->setFilename(str(m_file->text()));
  controller.setLoggerActive(LoggerKind::nmeaFile, m_active->isChecked());
}

}  // namespace geomuxer
