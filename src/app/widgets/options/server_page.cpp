#include "app/widgets/options/server_page.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHostAddress>
#include <QHostInfo>
#include <QLabel>
#include <QLineEdit>
#include <QSslSocket>
#include <QUrl>
#include <QVBoxLayout>

#include "app/app_controller.h"
#include "app/widgets/options/fields.h"
#include "settings/settings.h"

namespace geomuxer {

namespace {

const QStringList kCertFilters{QStringLiteral("Cert files (*.pem)"), QStringLiteral("Key files (*.key)"),
                               QStringLiteral("All files (*)")};
constexpr int kCertFilter = 0;
constexpr int kKeyFilter = 1;

}  // namespace

QString serverPageUrl(bool https, const QString& port, bool admin) {
  QString host = QHostInfo::localHostName();
  if (host.isEmpty()) {
    host = QStringLiteral("localhost");
  } else {
    QString address;
    for (const QHostAddress& candidate : QHostInfo::fromName(host).addresses()) {
      if (candidate.protocol() == QAbstractSocket::IPv4Protocol) {
        address = candidate.toString();
        break;
      }
    }
    host = address;
  }
  QString url = QStringLiteral("%1://%2:%3/").arg(https ? QStringLiteral("https") : QStringLiteral("http"), host, port);
  if (admin) url += QStringLiteral("admin/");
  return url;
}

ServerPage::ServerPage(PageHost& host, QWidget* parent) : OptionsPage(tr("HTTP Server"), parent), m_host(host) {
  QVBoxLayout* layout = column();
  auto* form = new QFormLayout;
  m_port = digitField(this, keys::httpPort);
  addRow(form, tr("&Port:"), m_port);
  m_bindAddress = textField(this, keys::httpBindAddress);
  m_bindAddress->setToolTip(tr("0.0.0.0 listens on every interface (other computers can post positions); "
                               "127.0.0.1 on this computer only"));
  addRow(form, tr("&Bind address:"), m_bindAddress);
  m_active = check(tr("&Active"), this, keys::httpActive);
  form->addRow(QString(), m_active);
  layout->addLayout(form);

  auto* authBox = new QGroupBox(this);
  auto* authForm = new QFormLayout(authBox);
  m_auth = check(tr("Au&thentication required"), authBox, keys::httpAuth);
  authForm->addRow(m_auth);
  m_user = textField(authBox, keys::httpUserName);
  addRow(authForm, tr("&Username:"), m_user);
  m_password = passwordField(authBox, keys::httpPassword);
  addRow(authForm, tr("Pa&ssword:"), m_password);
  layout->addWidget(authBox);

  auto* tlsBox = new QGroupBox(tr("Encryption (requires restart)"), this);
  auto* tlsForm = new QFormLayout(tlsBox);
  m_useSsl = check(tr("&Use SSL"), tlsBox, keys::httpUseSsl);
  connect(m_useSsl, &QCheckBox::clicked, this, &ServerPage::onUseSslClicked);
  tlsForm->addRow(m_useSsl);
  const struct {
    QLineEdit** field;
    const SettingKey* key;
    QString caption;
    TlsFile which;
  } files[] = {{&m_certFile, &keys::httpCertFile, tr("&Cert:"), TlsFile::cert},
               {&m_keyFile, &keys::httpKeyFile, tr("&Key:"), TlsFile::key},
               {&m_rootCertFile, &keys::httpRootCertFile, tr("&Root Cert:"), TlsFile::rootCert}};
  for (const auto& file : files) {
    *file.field = textField(tlsBox, *file.key);
    const TlsFile which = file.which;
    addBrowseRow(
        tlsForm, file.caption, *file.field, host, [this, which] { return certificateRequest(which); },
        [this, which](const QString& chosen) { takeCertificate(which, chosen); });
  }
  layout->addWidget(tlsBox);

  auto* storeBox = new QGroupBox(tr("Database (requires restart)"), this);
  auto* storeForm = new QFormLayout(storeBox);
  m_database = textField(storeBox, keys::httpDatabase);
  m_database->setPlaceholderText(tr("geomuxer.db in the program's state folder"));
  m_database->setToolTip(tr("An SQLite file, or a PostgreSQL database as postgresql://user@host:port/name "
                            "(keep the password in ~/.pgpass or PGPASSWORD rather than here)"));
  addRow(storeForm, tr("&Database:"), m_database);
  m_dbPool = digitField(storeBox, keys::httpDatabasePool);
  m_dbPool->setToolTip(tr("Connections to a PostgreSQL database held open by this server (1 to 64)"));
  addRow(storeForm, tr("C&onnections:"), m_dbPool);
  m_dbTimeout = digitField(storeBox, keys::httpDatabaseTimeout);
  m_dbTimeout->setToolTip(tr("A PostgreSQL statement that runs longer is cancelled (1 to 3600 seconds)"));
  addRow(storeForm, tr("Statement time &limit (s):"), m_dbTimeout);
  layout->addWidget(storeBox);

  auto* links = new QHBoxLayout;
  auto* openPage = new QLabel(QStringLiteral("<a href=\"page\">%1</a>").arg(tr("Open Page")), this);
  openPage->setObjectName(QStringLiteral("openPage"));
  openPage->setToolTip(tr("View your location in a Browser"));
  auto* adminPage = new QLabel(QStringLiteral("<a href=\"admin\">%1</a>").arg(tr("Admin Page")), this);
  adminPage->setObjectName(QStringLiteral("adminPage"));
  adminPage->setToolTip(tr("Open the Server Admin page in a Browser"));
  for (QLabel* link : {openPage, adminPage}) {
    link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    connect(link, &QLabel::linkActivated, this, [this](const QString& which) {
      const bool admin = which == QStringLiteral("admin");
      QDesktopServices::openUrl(QUrl(serverPageUrl(m_useSsl->isChecked(), m_port->text(), admin)));
    });
    links->addWidget(link);
  }
  links->addStretch(1);
  layout->addLayout(links);
}

void ServerPage::load(const Settings& settings, const AppController& /*controller*/) {
  m_port->setText(storedText(settings, keys::httpPort));
  m_bindAddress->setText(storedText(settings, keys::httpBindAddress));
  m_active->setChecked(settings.readBool(keys::httpActive));
  m_auth->setChecked(settings.readBool(keys::httpAuth));
  m_user->setText(storedText(settings, keys::httpUserName));
  m_password->setText(qs(settings.readString(keys::httpPassword)));
  m_useSsl->setChecked(settings.readBool(keys::httpUseSsl));  // no click: no library check while loading
  m_certFile->setText(qs(settings.readString(keys::httpCertFile)));
  m_keyFile->setText(qs(settings.readString(keys::httpKeyFile)));
  m_rootCertFile->setText(qs(settings.readString(keys::httpRootCertFile)));
  m_database->setText(qs(settings.readString(keys::httpDatabase)));
  m_dbPool->setText(storedText(settings, keys::httpDatabasePool));
  m_dbTimeout->setText(storedText(settings, keys::httpDatabaseTimeout));
}

void ServerPage::validate(FieldCheck& check) const {
  check.port(m_port);
  check.address(m_bindAddress);
  check.integerIn(m_dbPool, 1, 64);
  check.integerIn(m_dbTimeout, 1, 3600);
}

void ServerPage::store(Settings& settings) const {
  storeText(settings, keys::httpPort, m_port);
  storeText(settings, keys::httpBindAddress, m_bindAddress);
  storeFlag(settings, keys::httpActive, m_active);
  storeFlag(settings, keys::httpAuth, m_auth);
  storeText(settings, keys::httpUserName, m_user);
  settings.writeString(keys::httpPassword, str(m_password->text()));
  storeFlag(settings, keys::httpUseSsl, m_useSsl);
  storeText(settings, keys::httpCertFile, m_certFile);
  storeText(settings, keys::httpKeyFile, m_keyFile);
  storeText(settings, keys::httpRootCertFile, m_rootCertFile);
  settings.writeString(keys::httpDatabase, str(m_database->text().trimmed()));
  storeText(settings, keys::httpDatabasePool, m_dbPool);
  storeText(settings, keys::httpDatabaseTimeout, m_dbTimeout);
}

void ServerPage::apply(AppController& controller) {
  controller.stopServer();
  controller.setServerAccess(portOf(m_port), m_auth->isChecked(), str(m_user->text()), str(m_password->text()));
  controller.setServerBindAddress(str(m_bindAddress->text().trimmed()));
  if (m_active->isChecked()) controller.startServer();
}

void ServerPage::onUseSslClicked(bool checked) {
  // The server's own TLS is built in; uploads over HTTPS need Qt's TLS backend.
  if (!checked || QSslSocket::supportsSsl()) return;
  m_host.message(QMessageBox::Warning, tr("Library missing"),
                 tr("No TLS library could be loaded (Qt found no TLS backend; OpenSSL 3 is expected).\n"
                    "Install the OpenSSL library (on Debian: the package libssl3) and restart the program."));
}

FileRequest ServerPage::certificateRequest(TlsFile which) const {
  FileRequest request{FileRequest::Kind::openFile, tr("Certificate"), {}, kCertFilters,
                      which == TlsFile::key ? kKeyFilter : kCertFilter, QStringLiteral("pem")};
  if (which == TlsFile::key) request.start = m_keyFile->text();
  return request;
}

void ServerPage::takeCertificate(TlsFile which, const QString& file) {
  switch (which) {
    case TlsFile::cert:
      m_certFile->setText(file);
      // A certificate file often holds the key and the chain as well.
      if (m_keyFile->text().isEmpty()) m_keyFile->setText(file);
      if (m_rootCertFile->text().isEmpty()) m_rootCertFile->setText(file);
      break;
    case TlsFile::key:
      m_keyFile->setText(file);
      break;
    case TlsFile::rootCert:
      m_rootCertFile->setText(file);
      break;
  }
}

}  // namespace geomuxer
