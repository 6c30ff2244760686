#include "app/widgets/options/tcp_log_page.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "app/app_controller.h"
#include "app/widgets/options/fields.h"
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
  m_active = check(tr("&Active"), this, keys::tcpipLogActive);
  form->addRow(QString(), m_active);
  column()->addLayout(form);
}

void TcpLogPage::load(const Settings& settings, const AppController& controller) {
  m_port->setText(storedText(settings, keys::tcpipLogPort));
  m_bindAddress->setText(storedText(settings, keys::tcpipLogBindAddress));
  m_active->setChecked(controller.loggerActive(LoggerKind::nmeaTcp));  // what runs, not what was stored
}

void TcpLogPage::validate(FieldCheck& check) const {
  check.port(m_port);
  check.listenAddress(m_bindAddress);
}

void TcpLogPage::store(Settings& settings) const {
  storeText(settings, keys::tcpipLogPort, m_port);
  storeText(settings, keys::tcpipLogBindAddress, m_bindAddress);
  storeFlag(settings, keys::tcpipLogActive, m_active);
}

void TcpLogPage::apply(AppController& controller) {
  if (auto address = NmeaTcpLogger::parseListenAddress(m_bindAddress->text())) {
    controller.nmeaTcpLogger()->setListenAddress(*address);
  }
  controller.nmeaTcpLogger()->setPort(portOf(m_port));
  controller.setLoggerActive(LoggerKind::nmeaTcp, m_active->isChecked());
}

}  // namespace geomuxer
