#include "app/widgets/options/nmea_tcp_page.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "app/widgets/options/fields.h"
#include "settings/settings.h"
#include "sources/trackers/gps_tracker_nmea_tcpip.h"

namespace geomuxer {

NmeaTcpPage::NmeaTcpPage(GpsTrackerNmeaTcpip& source, PageHost& /*host*/, QWidget* parent)
    : OptionsPage(qs(source.displayName()), parent), m_source(source) {
  column()->addWidget(description(tr("Read locations from a TCP/IP Server in NMEA format."), this));
  auto* form = new QFormLayout;
  m_host = textField(this, keys::nmeaTcpipHost);
  addRow(form, tr("&Host/IP:"), m_host);
  m_port = digitField(this, keys::nmeaTcpipPort);
  addRow(form, tr("&Port:"), m_port);
  m_checksum = check(tr("&NMEA Checksum"), this, keys::nmeaTcpipChecksum);
  form->addRow(QString(), m_checksum);
  column()->addLayout(form);
}

void NmeaTcpPage::load(const Settings& settings, const AppController& /*controller*/) {
  m_host->setText(storedText(settings, keys::nmeaTcpipHost));
  m_port->setText(storedText(settings, keys::nmeaTcpipPort));
  m_checksum->setChecked(settings.readBool(keys::nmeaTcpipChecksum));
}

void NmeaTcpPage::validate(FieldCheck& check) const { check.port(m_port); }

void NmeaTcpPage::store(Settings& settings) const {
  storeText(settings, keys::nmeaTcpipHost, m_host);
  storeText(settings, keys::nmeaTcpipPort, m_port);
  storeFlag(settings, keys::nmeaTcpipChecksum, m_checksum);
}

void NmeaTcpPage::apply(AppController& /*controller*/) {
  m_source.setHost(str(m_host->text()));
  m_source.setPort(portOf(m_port));
  m_source.setCheckChecksum(m_checksum->isChecked());
}

}  // namespace geomuxer
