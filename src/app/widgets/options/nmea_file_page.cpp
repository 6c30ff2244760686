#include "app/widgets/options/nmea_file_page.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "app/widgets/options/fields.h"
#include "settings/settings.h"
#include "sources/trackers/gps_tracker_nmea_file.h"

namespace geomuxer {

NmeaFilePage::NmeaFilePage(GpsTrackerNmeaFile& source, PageHost& host, QWidget* parent)
    : OptionsPage(qs(source.displayName()), parent), m_source(source) {
  column()->addWidget(description(tr("Read locations from a file in NMEA format."), this));
  auto* form = new QFormLayout;
  m_file = textField(this, keys::nmeaFileFile);
  addBrowseRow(form, tr("&Filename:"), m_file, host, [this] {
    return FileRequest{FileRequest::Kind::openFile, tr("NMEA file"), m_file->text(), kAllFiles, 0,
                       QStringLiteral("log")};
  });
  m_checksum = check(tr("&NMEA Checksum"), this, keys::nmeaFileChecksum);
  form->addRow(QString(), m_checksum);
  m_startAtEnd = check(tr("Start at the &end of the file"), this, keys::nmeaFileStartAtEnd);
  m_startAtEnd->setToolTip(tr("Read only what is added to the file after the source starts."));
  form->addRow(QString(), m_startAtEnd);
  column()->addLayout(form);
}

void NmeaFilePage::load(const Settings& settings, const AppController& /*controller*/) {
  m_file->setText(storedText(settings, keys::nmeaFileFile));
  m_checksum->setChecked(settings.readBool(keys::nmeaFileChecksum));
  m_startAtEnd->setChecked(settings.readBool(keys::nmeaFileStartAtEnd));
}

void NmeaFilePage::store(Settings& settings) const {
  storeText(settings, keys::nmeaFileFile, m_file);
  storeFlag(settings, keys::nmeaFileChecksum, m_checksum);
  storeFlag(settings, keys::nmeaFileStartAtEnd, m_startAtEnd);
}

void NmeaFilePage::apply(AppController& /*controller*/) {
  m_source.setFilename(str(m_file->text()));
  m_source.setCheckChecksum(m_checksum->isChecked());
  m_source.setStartAtEnd(m_startAtEnd->isChecked());
}

}  // namespace geomuxer
