#include "app/widgets/options/nmea_com_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "app/widgets/options/fields.h"
#include "settings/settings.h"
#include "sources/trackers/gps_tracker_nmea_com.h"

namespace geomuxer {

NmeaComPage::NmeaComPage(GpsTrackerNmeaCom& source, PageHost& host, QWidget* parent)
    : OptionsPage(qs(source.displayName()), parent), m_source(source) {
  column()->addWidget(
      description(tr("Read locations from a GPS device connected to a COM Port in NMEA format."), this));
  auto* form = new QFormLayout;
  m_port = host.portLists().addRow(form, keys::nmeaComPort, this);
  m_baud = digitField(this, keys::nmeaComBaud);
  addRow(form, tr("&Baud rate:"), m_baud);
  m_byteSize = digitField(this, keys::nmeaComByteSize);
  addRow(form, tr("B&yte size:"), m_byteSize);
  m_stopBits = digitField(this, keys::nmeaComStopBits);
  addRow(form, tr("&Stop Bits:"), m_stopBits);
  m_parity = check(tr("&Parity"), this, keys::nmeaComParity);
  form->addRow(QString(), m_parity);
  m_checksum = check(tr("&NMEA Checksum"), this, keys::nmeaComChecksum);
  form->addRow(QString(), m_checksum);
  column()->addLayout(form);
}

void NmeaComPage::load(const Settings& settings, const AppController& /*controller*/) {
  m_port->setCurrentText(storedText(settings, keys::nmeaComPort));  // also when the machine lacks it now
  m_baud->setText(storedText(settings, keys::nmeaComBaud));
  m_byteSize->setText(storedText(settings, keys::nmeaComByteSize));
  m_stopBits->setText(storedText(settings, keys::nmeaComStopBits));
  m_parity->setChecked(settings.readBool(keys::nmeaComParity));
  m_checksum->setChecked(settings.readBool(keys::nmeaComChecksum));
}

void NmeaComPage::validate(FieldCheck& check) const {
  check.integer(m_baud);
  check.byte(m_byteSize);
  check.byte(m_stopBits);
}

void NmeaComPage::store(Settings& settings) const {
  settings.writeString(keys::nmeaComPort.path, str(m_port->currentText()));
  storeText(settings, keys::nmeaComBaud, m_baud);
  storeText(settings, keys::nmeaComByteSize, m_byteSize);
  storeText(settings, keys::nmeaComStopBits, m_stopBits);
  storeFlag(settings, keys::nmeaComParity, m_parity);
  storeFlag(settings, keys::nmeaComChecksum, m_checksum);
}

void NmeaComPage::apply(AppController& /*controller*/) {
  m_source.setPort(str(m_port->currentText()));
  m_source.setBaudRate(static_cast<quint32>(integerOf(m_baud)));
  m_source.setByteSize(byteOf(m_byteSize));
  m_source.setStopBits(byteOf(m_stopBits));
  m_source.setParity(m_parity->isChecked());
  m_source.setCheckChecksum(m_checksum->isChecked());
}

}  // namespace geomuxer
