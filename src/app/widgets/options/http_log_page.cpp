#include "app/widgets/options/http_log_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include <limits>

#include "app/app_controller.h"
#include "app/widgets/options/fields.h"
#include "loggers/http_logger.h"
#include "settings/settings.h"

namespace geomuxer {

HttpLogPage::HttpLogPage(QWidget* parent) : OptionsPage(tr("HTTP Log"), parent) {
  QVBoxLayout* layout = column();
  layout->addWidget(description(tr("Post your current location to a HTTP Server."), this));
  auto* form = new QFormLayout;
  m_protocol = new QComboBox(this);
  m_protocol->setObjectName(qs(keys::httpLogProtocol.path));
  m_protocol->addItems({QStringLiteral("http"), QStringLiteral("https")});
  addRow(form, tr("&Protocol:"), m_protocol);
  m_host = textField(this, keys::httpLogHost);
  addRow(form, tr("&Host name or IP:"), m_host);
  m_port = digitField(this, keys::httpLogPort);
  addRow(form, tr("P&ort:"), m_port);
  m_file = textField(this, keys::httpLogFile);
  addRow(form, tr("Path/&File:"), m_file);
  form->addRow(QString(), new QLabel(tr("Must match the server configuration."), this));
  m_timeout = digitField(this, keys::httpLogTimeout);
  addRow(form, tr("&Timeout (ms):"), m_timeout);
  m_queueSize = digitField(this, keys::httpLogQueueSize);
  m_queueSize->setToolTip(tr("Positions kept for upload while the server cannot be reached; "
                             "when there are more, the oldest are dropped"));
  addRow(form, tr("&Queue size (positions):"), m_queueSize);
  m_caFile = textField(this, keys::httpLogCaFile);
  m_caFile->setToolTip(tr("A certificate file (PEM) to trust for HTTPS, for a server with a self-signed certificate"));
  addRow(form, tr("Trusted &certificate:"), m_caFile);
  layout->addLayout(form);

  auto* authBox = new QGroupBox(this);
  auto* authForm = new QFormLayout(authBox);
  m_auth = check(tr("HTTP Au&thentication"), authBox, keys::httpLogAuth);
  authForm->addRow(m_auth);
  m_user = textField(authBox, keys::httpLogUserName);
  addRow(authForm, tr("&Username:"), m_user);
  m_password = passwordField(authBox, keys::httpLogPassword);
  addRow(authForm, tr("Pa&ssword:"), m_password);
  layout->addWidget(authBox);

  m_active = check(tr("&Active"), this, keys::httpLogActive);
  layout->addWidget(m_active);
}

void HttpLogPage::load(const Settings& settings, const AppController& controller) {
  m_protocol->setCurrentIndex(m_protocol->findText(storedText(settings, keys::httpLogProtocol)));
  m_host->setText(storedText(settings, keys::httpLogHost));
  m_port->setText(storedText(settings, keys::httpLogPort));
  m_file->setText(storedText(settings, keys::httpLogFile));
  m_timeout->setText(storedText(settings, keys::httpLogTimeout));
  m_queueSize->setText(storedText(settings, keys::httpLogQueueSize));
  m_caFile->setText(qs(settings.readString(keys::httpLogCaFile)));
  m_auth->setChecked(settings.readBool(keys::httpLogAuth));
  m_user->setText(storedText(settings, keys::httpLogUserName));
  m_password->setText(qs(settings.readString(keys::httpLogPassword)));
  m_active->setChecked(controller.loggerActive(LoggerKind::http));  // what runs, not what was stored
}

void HttpLogPage::validate(FieldCheck& check) const {
  check.port(m_port);
  check.integer(m_timeout);
  check.integerIn(m_queueSize, 1, std::numeric_limits<int>::max());
}

void HttpLogPage::store(Settings& settings) const {
  settings.writeString(keys::httpLogProtocol.path, str(m_protocol->currentText()));
  storeText(settings, keys::httpLogHost, m_host);
  storeText(settings, keys::httpLogPort, m_port);
  storeText(settings, keys::httpLogFile, m_file);
  storeText(settings, keys::httpLogTimeout, m_timeout);
  storeText(settings, keys::httpLogQueueSize, m_queueSize);
  storeText(settings, keys::httpLogCaFile, m_caFile);
  storeFlag(settings, keys::httpLogAuth, m_auth);
  storeText(settings, keys::httpLogUserName, m_user);
  settings.writeString(keys::httpLogPassword, str(m_password->text()));
  storeFlag(settings, keys::httpLogActive, m_active);
}

void HttpLogPage::apply(AppController& controller) {
  HttpLogger* http = controller.httpLogger();
  http->setProtocol(m_protocol->currentText() == QStringLiteral("https") ? hpHttps : hpHttp);
  http->setHost(str(m_host->text()));
  http->setPort(portOf(m_port));
  http->setPostFile(str(m_file->text()));
  http->setTimeout(integerOf(m_timeout));
  http->setQueueCapacity(integerOf(m_queueSize));
  http->setCaFile(str(m_caFile->text().trimmed()));
  http->setHttpAuth(m_auth->isChecked());
  http->setAuthUser(str(m_user->text()));
  http->setAuthPass(str(m_password->text()));
  controller.setLoggerActive(LoggerKind::http, m_active->isChecked());
}

}  // namespace geomuxer
