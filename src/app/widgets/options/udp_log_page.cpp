#include "app/widgets/options/udp_log_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkInterface>
#include <QVBoxLayout>

#include "app/app_controller.h"
#include "app/widgets/options/fields.h"
#include "core/nmea.h"
#include "loggers/nmea_udp_logger.h"
#include "settings/settings.h"

namespace geomuxer {

UdpLogPage::UdpLogPage(QWidget* parent) : OptionsPage(tr("UDP Log"), parent) {
  column()->addWidget(description(
      tr("Send your current location as NMEA datagrams to an address or host name, a broadcast address or a "
         "multicast group."),
      this));
  auto* form = new QFormLayout;
  m_address = textField(this, keys::udpLogAddress);
  addRow(form, tr("A&ddress:"), m_address);
  m_port = digitField(this, keys::udpLogPort);
  addRow(form, tr("UDP &Port:"), m_port);
  m_ttl = digitField(this, keys::udpLogTtl);
  addRow(form, tr("Multicast &TTL:"), m_ttl);
  m_interface = new QComboBox(this);
  m_interface->setObjectName(qs(keys::udpLogMulticastInterface.path));
  m_interface->addItem(tr("System's choice"), QString());
  const auto interfaces = QNetworkInterface::allInterfaces();
  for (const QNetworkInterface& iface : interfaces) {
    const auto flags = iface.flags();
    if (flags.testFlag(QNetworkInterface::CanMulticast) || flags.testFlag(QNetworkInterface::IsLoopBack))
      m_interface->addItem(iface.humanReadableName(), iface.name());
  }
  addRow(form, tr("Multicast &interface:"), m_interface);
  m_sentences = new QComboBox(this);
  m_sentences->setObjectName(qs(keys::udpLogPassThrough.path));
  m_sentences->addItems({tr("Written from each position (RMC, GGA, GLL, VTG, GSA, ZDA)"),
                         tr("The source's own, as received (NMEA sources)")});
  addRow(form, tr("&Sentences:"), m_sentences);
  m_talker = new QComboBox(this);
  m_talker->setObjectName(qs(keys::udpLogTalker.path));
  m_talker->addItems({QStringLiteral("GP"), QStringLiteral("GN")});
  addRow(form, tr("Tal&ker ID:"), m_talker);
  m_active = check(tr("&Active"), this, keys::udpLogActive);
  form->addRow(QString(), m_active);
  column()->addLayout(form);
}

void UdpLogPage::load(const Settings& settings, const AppController& controller) {
  m_address->setText(storedText(settings, keys::udpLogAddress));
  m_port->setText(storedIntegerText(settings, keys::udpLogPort));
  m_ttl->setText(storedIntegerText(settings, keys::udpLogTtl));
  // A stored interface that is not there now (unplugged) stays selectable.
  const QString iface = storedText(settings, keys::udpLogMulticastInterface).trimmed();
  if (m_interface->findData(iface) < 0) m_interface->addItem(iface, iface);
  m_interface->setCurrentIndex(m_interface->findData(iface));
  m_sentences->setCurrentIndex(settings.readBool(keys::udpLogPassThrough) ? 1 : 0);
  QString talker = storedText(settings, keys::udpLogTalker);
  if (!validTalker(str(talker))) talker = qs(keys::udpLogTalker.defaultText);
  if (m_talker->findText(talker) < 0) m_talker->addItem(talker);
  m_talker->setCurrentText(talker);
  m_active->setChecked(controller.loggerActive(LoggerKind::nmeaUdp));  // what runs, not what was stored
}

void UdpLogPage::validate(FieldCheck& check) const {
  check.host(m_address);
  check.port(m_port);
  check.byte(m_ttl);
}

void UdpLogPage::store(Settings& settings) const {
  storeText(settings, keys::udpLogAddress, m_address);
  storeText(settings, keys::udpLogPort, m_port);
  storeText(settings, keys::udpLogTtl, m_ttl);
  settings.writeString(keys::udpLogMulticastInterface, str(m_interface->currentData().toString()));
  settings.writeBool(keys::udpLogPassThrough, m_sentences->currentIndex() == 1);
  settings.writeString(keys::udpLogTalker, str(m_talker->currentText()));
  storeFlag(settings, keys::udpLogActive, m_active);
}

void UdpLogPage::apply(AppController& controller) {
  NmeaUdpLogger* logger = controller.nmeaUdpLogger();
  (void)logger->setHost(m_address->text());
  logger->setPort(portOf(m_port));
  logger->setTtl(byteOf(m_ttl));
  logger->setMulticastInterface(m_interface->currentData().toString());
  logger->setPassThrough(m_sentences->currentIndex() == 1);
  logger->setTalker(str(m_talker->currentText()));
  controller.setLoggerActive(LoggerKind::nmeaUdp, m_active->isChecked());
}

}  // namespace geomuxer
