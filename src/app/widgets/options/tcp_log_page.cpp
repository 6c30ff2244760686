#include "app/widgets/options/tcp_log_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include <limits>

#include "app/app_controller.h"
#include "app/widgets/options/fields.h"
#include "core/nmea.h"
#include "loggers/nmea_tcp_logger.h"
#include "settings/settings.h"

namespace geomuxer {

TcpLogPage::TcpLogPage(QWidget* parent) : OptionsPage(tr("TCP/IP Log"), parent) {
  column()->addWidget(
      description(tr("Broadcast your current location to connected TCP/IP clients in NMEA format."), this));
  auto* form = new QFormLayout;
  m_port = digitField(this, keys::tcpipLogPort);
  addRow(form, tr("TCP/IP &Port:"), m_port);
  m_bindAddress = textField(this, keys::tcpipLogBindAddress);
  m_bindAddress->setPlaceholderText(tr("all interfaces"));
  addRow(form, tr("&Listen on address:"), m_bindAddress);
  m_maxClients = digitField(this, keys::tcpipLogMaxClients);
  addRow(form, tr("Maximum &clients:"), m_maxClients);
  m_sentences = new QComboBox(this);
  m_sentences->setObjectName(qs(keys::tcpipLogPassThrough.path));
  m_sentences->addItems({tr("Written from each position (RMC, GGA, GLL, VTG, GSA, ZDA)"),
                         tr("The source's own, as received (NMEA sources)")});
  addRow(form, tr("&Sentences:"), m_sentences);
  m_talker = new QComboBox(this);
  m_talker->setObjectName(qs(keys::tcpipLogTalker.path));
  m_talker->addItems({QStringLiteral("GP"), QStringLiteral("GN")});
  addRow(form, tr("Tal&ker ID:"), m_talker);
  m_everyPosition = check(tr("Send &every position (the record interval does not apply)"), this,
                          keys::tcpipLogEveryPosition);
  form->addRow(QString(), m_everyPosition);
  m_active = check(tr("&Active"), this, keys::tcpipLogActive);
  form->addRow(QString(), m_active);
  column()->addLayout(form);
}

void TcpLogPage::load(const Settings& settings, const AppController& controller) {
  m_port->setText(storedText(settings, keys::tcpipLogPort));
  m_bindAddress->setText(storedText(settings, keys::tcpipLogBindAddress));
  m_maxClients->setText(storedText(settings, keys::tcpipLogMaxClients));
  m_sentences->setCurrentIndex(settings.readBool(keys::tcpipLogPassThrough) ? 1 : 0);
  // A talker set in the file by hand stays selectable; one that is no talker shows the default.
  QString talker = storedText(settings, keys::tcpipLogTalker);
  if (!validTalker(str(talker))) talker = qs(keys::tcpipLogTalker.defaultText);
  if (m_talker->findText(talker) < 0) m_talker->addItem(talker);
  m_talker->setCurrentText(talker);
  m_everyPosition->setChecked(settings.readBool(keys::tcpipLogEveryPosition));
  m_active->setChecked(controller.loggerActive(LoggerKind::nmeaTcp));  // what runs, not what was stored
}

void TcpLogPage::validate(FieldCheck& check) const {
  check.port(m_port);
  check.listenAddress(m_bindAddress);
  check.integerIn(m_maxClients, 1, std::numeric_limits<int>::max());
}

void TcpLogPage::store(Settings& settings) const {
  storeText(settings, keys::tcpipLogPort, m_port);
  storeText(settings, keys::tcpipLogBindAddress, m_bindAddress);
  storeText(settings, keys::tcpipLogMaxClients, m_maxClients);
  settings.writeBool(keys::tcpipLogPassThrough, m_sentences->currentIndex() == 1);
  settings.writeString(keys::tcpipLogTalker, str(m_talker->currentText()));
  storeFlag(settings, keys::tcpipLogEveryPosition, m_everyPosition);
  storeFlag(settings, keys::tcpipLogActive, m_active);
}

void TcpLogPage::apply(AppController& controller) {
  if (auto address = NmeaTcpLogger::parseListenAddress(m_bindAddress->text())) {
    controller.nmeaTcpLogger()->setListenAddress(*address);
  }
  controller.nmeaTcpLogger()->setPort(portOf(m_port));
  controller.nmeaTcpLogger()->setMaxClients(integerOf(m_maxClients));
  controller.nmeaTcpLogger()->setPassThrough(m_sentences->currentIndex() == 1);
  controller.nmeaTcpLogger()->setTalker(str(m_talker->currentText()));
  controller.setBroadcastEveryPosition(m_everyPosition->isChecked());
  controller.setLoggerActive(LoggerKind::nmeaTcp, m_active->isChecked());
}

}  // namespace geomuxer
