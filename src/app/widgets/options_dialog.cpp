#include "app/widgets/options_dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHostAddress>
#include <QHostInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QNetworkProxyFactory>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QSslSocket>
#include <QStackedWidget>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>

#include "app/app_controller.h"
#include "app/log_model.h"
#include "app/widgets/coordinate_edit.h"
#include "app/widgets/simulator_window.h"
#include "core/number_text.h"
#include "loggers/gpx_logger.h"
#include "loggers/http_logger.h"
#include "loggers/nmea_file_logger.h"
#include "loggers/nmea_tcp_logger.h"
#include "settings/settings.h"
#include "sources/gps_interface_com.h"
#include "sources/gps_tracker_garmin_com.h"
#include "sources/gps_tracker_garmin_usb.h"
#include "sources/gps_tracker_locapi.h"
#include "sources/gps_tracker_nmea_com.h"
#include "sources/gps_tracker_nmea_file.h"
#include "sources/gps_tracker_nmea_tcpip.h"
#include "sources/gps_tracker_simu.h"

namespace geomuxer {

namespace {

QString qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
std::string str(const QString& text) { return text.toStdString(); }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// The log categories in the order of the "Log what" list.
struct LogItem {
  const char* caption;
  LogCategory category;
  const SettingKey* key;
};
const LogItem kLogItems[] = {
    {"Tracker", lcTracker, &keys::logTracker},      {"Tracker Position", lcTrackerPos, &keys::logTrackerPos},
    {"TCP/IP", lcTcp, &keys::logTcp},               {"HTTP", lcHttp, &keys::logHttp},
    {"Log file", lcLogFile, &keys::logLogFile},
};

const QStringList kAllFiles{QStringLiteral("All files (*)")};
const QStringList kCertFilters{QStringLiteral("Cert files (*.pem)"), QStringLiteral("Key files (*.key)"),
                               QStringLiteral("All files (*)")};
constexpr int kCertFilter = 0;
constexpr int kKeyFilter = 1;

/// Only the keys 0 to 9 (and the editing keys, which validators never see).
void digitsOnly(QLineEdit* edit) {
  edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
}

QLineEdit* digitField(QWidget* parent, const SettingKey& key) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(qs(key.path));
  digitsOnly(edit);
  edit->setMaxLength(9);
  return edit;
}

QLineEdit* textField(QWidget* parent, const SettingKey& key) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(qs(key.path));
  return edit;
}

QLineEdit* passwordField(QWidget* parent, const SettingKey& key) {
  QLineEdit* edit = textField(parent, key);
  edit->setEchoMode(QLineEdit::Password);
  return edit;
}

QCheckBox* check(const QString& caption, QWidget* parent, const char* name) {
  auto* box = new QCheckBox(caption, parent);
  box->setObjectName(QLatin1String(name));
  return box;
}

QLabel* description(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  return label;
}

/// A row of a form whose caption carries the access key of `field`.
void addRow(QFormLayout* form, const QString& caption, QWidget* field) {
  auto* label = new QLabel(caption, form->parentWidget());
  label->setBuddy(field);
  form->addRow(label, field);
}

/// A field with a "..." browse button beside it.
QWidget* withBrowse(QLineEdit* field, QToolButton** button, QWidget* parent) {
  auto* row = new QWidget(parent);
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  field->setParent(row);
  layout->addWidget(field);
  *button = new QToolButton(row);
  (*button)->setText(QStringLiteral("..."));
  (*button)->setToolTip(QObject::tr("Browse"));
  (*button)->setObjectName(field->objectName() + QStringLiteral(".browse"));
  layout->addWidget(*button);
  return row;
}

/// A group of radio buttons whose ids are their places.
QButtonGroup* radioGroup(QGroupBox* box, const QStringList& captions, const char* name) {
  auto* group = new QButtonGroup(box);
  group->setObjectName(QLatin1String(name));
  auto* layout = new QVBoxLayout(box);
  for (int i = 0; i < captions.size(); ++i) {
    auto* button = new QRadioButton(captions[i], box);
    group->addButton(button, i);
    layout->addWidget(button);
  }
  return group;
}

void selectRadio(QButtonGroup* group, int id) {
  if (QAbstractButton* button = group->button(id)) button->setChecked(true);
}

/// A port number from a digit field; a conversion error names the field's text when it is not one.
quint16 portOf(const QLineEdit* field) {
  const int port = toInt(str(field->text()));
  if (port < 0 || port > 65535) throw ConversionError("'" + str(field->text()) + "' is not a valid port number");
  return static_cast<quint16>(port);
}

quint8 byteOf(const QLineEdit* field) {
  const int value = toInt(str(field->text()));
  if (value < 0 || value > 255) throw ConversionError("'" + str(field->text()) + "' is out of range");
  return static_cast<quint8>(value);
}

/// The altitude field takes the locale's decimal separator too; the settings always hold ".".
std::string normalisedNumber(const QString& text) {
  QString plain = text.trimmed();
  const QString point = QLocale().decimalPoint();
  if (point != QStringLiteral(".")) plain.replace(point, QStringLiteral("."));
  return str(plain);
}

QMessageBox::StandardButton showMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                           const QString& text, QMessageBox::StandardButtons buttons) {
  QMessageBox box(icon, title, text, buttons, parent);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

QString showFileChooser(QWidget* parent, const FileRequest& request) {
  QFileDialog chooser(parent, request.caption);
  switch (request.kind) {
    case FileRequest::Kind::openFile:
      chooser.setFileMode(QFileDialog::ExistingFile);
      chooser.setAcceptMode(QFileDialog::AcceptOpen);
      break;
    case FileRequest::Kind::saveFile:
      chooser.setFileMode(QFileDialog::AnyFile);
      chooser.setAcceptMode(QFileDialog::AcceptSave);  // asks before overwriting
      break;
    case FileRequest::Kind::folder:
      chooser.setFileMode(QFileDialog::Directory);
      chooser.setOption(QFileDialog::ShowDirsOnly);
      break;
  }
  if (!request.filters.isEmpty()) {
    chooser.setNameFilters(request.filters);
    chooser.selectNameFilter(request.filters.value(request.selectedFilter));
  }
  if (!request.defaultSuffix.isEmpty()) chooser.setDefaultSuffix(request.defaultSuffix);
  if (!request.start.isEmpty()) {
    const QFileInfo start(request.start);
    if (start.isDir()) {
      chooser.setDirectory(request.start);
    } else {
      chooser.setDirectory(start.absolutePath());
      chooser.selectFile(start.fileName());
    }
  }
  if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) return {};
  return chooser.selectedFiles().constFirst();
}

}  // namespace

// --- free functions -------------------------------------------------------------------------------

std::optional<ProxyAddress> parseProxyList(std::string_view list) {
  list = trimmed(list);
  if (list.empty()) return std::nullopt;
  std::string_view value = list;
  if (list.find('=') != std::string_view::npos) {
    bool found = false;
    while (!list.empty() && !found) {
      const auto end = list.find(';');
      const std::string_view entry = list.substr(0, end);
      list = end == std::string_view::npos ? std::string_view{} : list.substr(end + 1);
      const auto equals = entry.find('=');
      if (equals != std::string_view::npos && equalsIgnoringCase(trimmed(entry.substr(0, equals)), "http")) {
        value = trimmed(entry.substr(equals + 1));
        found = true;
      }
    }
    if (!found) return std::nullopt;
  }
  if (const auto scheme = value.find("://"); scheme != std::string_view::npos) value.remove_prefix(scheme + 3);
  if (const auto slash = value.find('/'); slash != std::string_view::npos) value = value.substr(0, slash);
  if (value.empty()) return std::nullopt;

  ProxyAddress address;
  std::string_view port;
  bool hasPort = false;
  if (value.front() == '[') {  // [IPv6]:port
    const auto close = value.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    address.host = std::string(value.substr(1, close - 1));
    hasPort = close + 1 < value.size() && value[close + 1] == ':';
    if (hasPort) port = value.substr(close + 2);
  } else {
    const auto colon = value.find(':');
    address.host = std::string(value.substr(0, colon));
    hasPort = colon != std::string_view::npos;
    if (hasPort) port = value.substr(colon + 1);
  }
  // An address without a port is a URL's host, which means port 80.
  address.port = hasPort ? parseInt(trimmed(port)).value_or(0) : 80;
  return address;
}

std::optional<std::string> systemProxyList() {
  std::string list;
  for (const char* scheme : {"http", "https"}) {
    const QNetworkProxyQuery query(QUrl(QStringLiteral("%1://geomuxer.invalid/").arg(QLatin1String(scheme))));
    for (const QNetworkProxy& proxy : QNetworkProxyFactory::systemProxyForQuery(query)) {
      if (proxy.type() != QNetworkProxy::HttpProxy && proxy.type() != QNetworkProxy::HttpCachingProxy) continue;
      if (proxy.hostName().isEmpty()) continue;
      if (!list.empty()) list += ';';
      QString host = proxy.hostName();
      if (host.contains(QLatin1Char(':'))) host = QStringLiteral("[%1]").arg(host);
      list += std::string(scheme) + "=" + str(host) + ":" + std::to_string(proxy.port());
      break;
    }
  }
  if (list.empty()) return std::nullopt;
  return list;
}

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

// --- construction ---------------------------------------------------------------------------------

OptionsDialog::OptionsDialog(AppController& controller, SimulatorWindow* simulatorWindow, QWidget* parent,
                             PortLister ports)
    : QDialog(parent),
      m_controller(controller),
      m_simulatorWindow(simulatorWindow),
      m_ports(ports ? std::move(ports) : PortLister(&GpsInterfaceCom::availablePorts)),
      m_proxyQuery(&systemProxyList) {
  setObjectName(QStringLiteral("OptionsDialog"));
  setWindowTitle(tr("Options"));
  setModal(true);

  m_pageList = new QListWidget(this);
  m_pageList->setObjectName(QStringLiteral("pageList"));
  m_pages = new QStackedWidget(this);
  connect(m_pageList, &QListWidget::currentRowChanged, m_pages, &QStackedWidget::setCurrentIndex);

  buildPages();

  m_pageList->setFixedWidth(m_pageList->sizeHintForColumn(0) + 2 * m_pageList->frameWidth() + 16);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  QPushButton* help = buttons->addButton(tr("&Help"), QDialogButtonBox::HelpRole);
  help->setObjectName(QStringLiteral("help"));
  buttons->button(QDialogButtonBox::Ok)->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &OptionsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &OptionsDialog::reject);
  connect(help, &QPushButton::clicked, this, [this] {
    if (m_help) m_help(kHelpTopic);
  });

  auto* top = new QHBoxLayout;
  top->addWidget(m_pageList);
  top->addWidget(m_pages, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addWidget(buttons);

  // The page of the selected source; "General" when none is.
  const int source = m_controller.currentSource();
  setCurrentPage(source >= 0 && source < m_controller.sourceCount() ? source + 1 : 0);

  refreshPorts();
  load();
  resize(620, 460);
}

OptionsDialog::~OptionsDialog() = default;

bool OptionsDialog::execute(AppController& controller, SimulatorWindow* simulatorWindow, QWidget* parent,
                            HelpHandler help) {
  OptionsDialog dialog(controller, simulatorWindow, parent);
  dialog.setHelpHandler(std::move(help));
  return dialog.exec() == QDialog::Accepted;
}

int OptionsDialog::pageCount() const { return m_pages->count(); }

QString OptionsDialog::pageTitle(int index) const {
  const QListWidgetItem* item = m_pageList->item(index);
  return item != nullptr ? item->text() : QString();
}

QWidget* OptionsDialog::page(int index) const { return m_pages->widget(index); }

int OptionsDialog::currentPage() const { return m_pages->currentIndex(); }

void OptionsDialog::setCurrentPage(int index) { m_pageList->setCurrentRow(index); }

QWidget* OptionsDialog::addPage(const QString& title) {
  auto* page = new QWidget(m_pages);
  page->setObjectName(title);
  auto* layout = new QVBoxLayout(page);
  auto* heading = new QLabel(QStringLiteral("<b>%1</b>").arg(title.toHtmlEscaped()), page);
  layout->addWidget(heading);
  m_pages->addWidget(page);
  m_pageList->addItem(title);
  return page;
}

void OptionsDialog::buildPages() {
  buildGeneralPage();
  // One page per source, in the order of the source list.
  for (int i = 0; i < m_controller.sourceCount(); ++i) buildSourcePage(m_controller.source(i));
  buildServerPage();
  buildTcpLogPage();
  buildFileLogPage();
  buildGpxLogPage();
  buildHttpLogPage();
  buildIntervalPage();
  buildProxyPage();
  buildUnitsPage();
  for (int i = 0; i < m_pages->count(); ++i) {
    if (auto* layout = qobject_cast<QVBoxLayout*>(m_pages->widget(i)->layout())) layout->addStretch(1);
  }
}

void OptionsDialog::buildGeneralPage() {
  QWidget* page = addPage(tr("General"));
  auto* layout = static_cast<QVBoxLayout*>(page->layout());
  m_closeToTray = check(tr("Close to &Tray"), page, "general\\closetotray");
  m_minimized = check(tr("Start &minimized"), page, "general\\minimized");
  m_savePos = check(tr("&Save window position"), page, "general\\savepos");
  layout->addWidget(m_closeToTray);
  layout->addWidget(m_minimized);
  layout->addWidget(m_savePos);

  auto* logBox = new QGroupBox(tr("Program Log"), page);
  auto* form = new QFormLayout(logBox);
  m_logWhat = new QListWidget(logBox);
  m_logWhat->setObjectName(QStringLiteral("log"));
  for (const LogItem& item : kLogItems) {
    auto* entry = new QListWidgetItem(tr(item.caption), m_logWhat);
    entry->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    entry->setCheckState(Qt::Unchecked);
  }
  m_logWhat->setMaximumHeight(m_logWhat->sizeHintForRow(0) * 5 + 2 * m_logWhat->frameWidth() + 4);
  addRow(form, tr("&Log what:"), m_logWhat);
  m_maxLines = digitField(logBox, keys::logMaxLines);
  addRow(form, tr("Ma&x. lines:"), m_maxLines);
  layout->addWidget(logBox);
}

void OptionsDialog::buildSourcePage(GpsTracker* source) {
  const QString title = qs(source->displayName());
  QWidget* page = addPage(title);
  auto* layout = static_cast<QVBoxLayout*>(page->layout());
  auto* form = new QFormLayout;

  // A port list with its "&Refresh" button.
  auto portRow = [&](QComboBox*& combo, const SettingKey& key) {
    combo = new QComboBox(page);
    combo->setObjectName(qs(key.path));
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->setMinimumContentsLength(16);
    addRow(form, tr("&COM Port:"), combo);
    auto* refresh = new QPushButton(tr("&Refresh"), page);
    refresh->setObjectName(qs(key.path) + QStringLiteral(".refresh"));
    connect(refresh, &QPushButton::clicked, this, &OptionsDialog::refreshPorts);
    auto* row = new QHBoxLayout;
    row->addWidget(refresh);
    row->addStretch(1);
    form->addRow(QString(), row);
  };

  if (qobject_cast<GpsTrackerSimu*>(source) != nullptr) {
    layout->addWidget(description(tr("Simulate GPS position data."), page));
    m_simuLong = new CoordinateEdit(CoordKind::longitude, page);
    m_simuLong->setObjectName(qs(keys::simuLong.path));
    m_simuLat = new CoordinateEdit(CoordKind::latitude, page);
    m_simuLat->setObjectName(qs(keys::simuLat.path));
    const DisplayFormat& format = m_controller.displayFormat();
    m_simuLong->setDisplayFormat(format.posUnit, format.number);
    m_simuLat->setDisplayFormat(format.posUnit, format.number);
    addRow(form, tr("Start &Longitude:"), m_simuLong);
    addRow(form, tr("Start L&atitude:"), m_simuLat);
    m_simuAlt = textField(page, keys::simuAlt);
    // Digits, the decimal separator (ours and the locale's) and, below sea level, a minus sign.
    const QString point = QRegularExpression::escape(QLocale().decimalPoint());
    m_simuAlt->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("-?[0-9]*([.]|%1)?[0-9]*").arg(point)), m_simuAlt));
    addRow(form, tr("Start Al&titude (m):"), m_simuAlt);
    m_simuMaxSpeed = digitField(page, keys::simuMaxSpeed);
    addRow(form, tr("Max. &speed (km/h):"), m_simuMaxSpeed);
    m_simuMaxVSpeed = digitField(page, keys::simuMaxVSpeed);
    addRow(form, tr("Max. &vertical speed (m/s):"), m_simuMaxVSpeed);
  } else if (qobject_cast<GpsTrackerGarminUsb*>(source) != nullptr) {
    layout->addWidget(description(tr("Nothing to configure"), page));
    layout->addWidget(description(tr("Read locations from a Garmin device connected with USB."), page));
  } else if (qobject_cast<GpsTrackerGarminCom*>(source) != nullptr) {
    layout->addWidget(description(tr("Read locations from a Garmin device connected to a COM Port."), page));
    portRow(m_garminPort, keys::garminComPort);
  } else if (qobject_cast<GpsTrackerNmeaCom*>(source) != nullptr) {
    layout->addWidget(
        description(tr("Read locations from a GPS device connected to a COM Port in NMEA format."), page));
    portRow(m_nmeaPort, keys::nmeaComPort);
    m_nmeaBaud = digitField(page, keys::nmeaComBaud);
    addRow(form, tr("&Baud rate:"), m_nmeaBaud);
    m_nmeaByteSize = digitField(page, keys::nmeaComByteSize);
    addRow(form, tr("B&yte size:"), m_nmeaByteSize);
    m_nmeaStopBits = digitField(page, keys::nmeaComStopBits);
    addRow(form, tr("&Stop Bits:"), m_nmeaStopBits);
    m_nmeaParity = check(tr("&Parity"), page, "nmeacom\\parity");
    form->addRow(QString(), m_nmeaParity);
    m_nmeaComChecksum = check(tr("&NMEA Checksum"), page, "nmeacom\\checksum");
    form->addRow(QString(), m_nmeaComChecksum);
  } else if (qobject_cast<GpsTrackerNmeaTcpip*>(source) != nullptr) {
    layout->addWidget(description(tr("Read locations from a TCP/IP Server in NMEA format."), page));
    m_tcpHost = textField(page, keys::nmeaTcpipHost);
    addRow(form, tr("&Host/IP:"), m_tcpHost);
    m_tcpPort = digitField(page, keys::nmeaTcpipPort);
    addRow(form, tr("&Port:"), m_tcpPort);
    m_tcpChecksum = check(tr("&NMEA Checksum"), page, "nmeatcpip\\checksum");
    form->addRow(QString(), m_tcpChecksum);
  } else if (qobject_cast<GpsTrackerNmeaFile*>(source) != nullptr) {
    layout->addWidget(description(tr("Read locations from a file in NMEA format."), page));
    m_nmeaFile = textField(page, keys::nmeaFileFile);
    QToolButton* browse = nullptr;
    QWidget* row = withBrowse(m_nmeaFile, &browse, page);
    addRow(form, tr("&Filename:"), row);
    static_cast<QLabel*>(form->labelForField(row))->setBuddy(m_nmeaFile);
    connect(browse, &QToolButton::clicked, this, [this] {
      FileRequest request{FileRequest::Kind::openFile, tr("NMEA file"), m_nmeaFile->text(), kAllFiles, 0,
                          QStringLiteral("log")};
      if (const QString file = chooseFile(request); !file.isEmpty()) m_nmeaFile->setText(file);
    });
    m_fileChecksum = check(tr("&NMEA Checksum"), page, "nmeafile\\checksum");
    form->addRow(QString(), m_fileChecksum);
  } else {
    layout->addWidget(description(tr("Nothing to configure"), page));
    if (qobject_cast<GpsTrackerLocapi*>(source) != nullptr) {
      layout->addWidget(
          description(tr("Receive locations from built in sensors through the system's location service."), page));
    }
  }
  layout->addLayout(form);
}

void OptionsDialog::buildServerPage() {
  QWidget* page = addPage(tr("HTTP Server"));
  auto* layout = static_cast<QVBoxLayout*>(page->layout());
  auto* form = new QFormLayout;
  m_serverPort = digitField(page, keys::httpPort);
  addRow(form, tr("&Port:"), m_serverPort);
  m_serverActive = check(tr("&Active"), page, "http\\active");
  form->addRow(QString(), m_serverActive);
  layout->addLayout(form);

  auto* authBox = new QGroupBox(page);
  auto* authForm = new QFormLayout(authBox);
  m_serverAuth = check(tr("Au&thentication required"), authBox, "http\\auth");
  authForm->addRow(m_serverAuth);
  m_serverUser = textField(authBox, keys::httpUserName);
  addRow(authForm, tr("&Username:"), m_serverUser);
  m_serverPassword = passwordField(authBox, keys::httpPassword);
  addRow(authForm, tr("Pa&ssword:"), m_serverPassword);
  layout->addWidget(authBox);

  auto* tlsBox = new QGroupBox(tr("Encryption (requires restart)"), page);
  auto* tlsForm = new QFormLayout(tlsBox);
  m_useSsl = check(tr("&Use SSL"), tlsBox, "http\\usessl");
  connect(m_useSsl, &QCheckBox::clicked, this, &OptionsDialog::onUseSslClicked);
  tlsForm->addRow(m_useSsl);
  const struct {
    QLineEdit** field;
    const SettingKey* key;
    QString caption;
  } files[] = {{&m_certFile, &keys::httpCertFile, tr("&Cert:")},
               {&m_keyFile, &keys::httpKeyFile, tr("&Key:")},
               {&m_rootCertFile, &keys::httpRootCertFile, tr("&Root Cert:")}};
  for (int i = 0; i < 3; ++i) {
    *files[i].field = textField(tlsBox, *files[i].key);
    QToolButton* browse = nullptr;
    QWidget* row = withBrowse(*files[i].field, &browse, tlsBox);
    addRow(tlsForm, files[i].caption, row);
    static_cast<QLabel*>(tlsForm->labelForField(row))->setBuddy(*files[i].field);
    connect(browse, &QToolButton::clicked, this, [this, i] { chooseCertificate(i); });
  }
  layout->addWidget(tlsBox);

  auto* links = new QHBoxLayout;
  auto* openPage = new QLabel(QStringLiteral("<a href=\"page\">%1</a>").arg(tr("Open Page")), page);
  openPage->setObjectName(QStringLiteral("openPage"));
  openPage->setToolTip(tr("View your location in a Browser"));
  auto* adminPage = new QLabel(QStringLiteral("<a href=\"admin\">%1</a>").arg(tr("Admin Page")), page);
  adminPage->setObjectName(QStringLiteral("adminPage"));
  adminPage->setToolTip(tr("Open the Server Admin page in a Browser"));
  for (QLabel* link : {openPage, adminPage}) {
    link->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    connect(link, &QLabel::linkActivated, this,
            [this](const QString& which) { openServerPage(which == QStringLiteral("admin")); });
    links->addWidget(link);
  }
  links->addStretch(1);
  layout->addLayout(links);
}

void OptionsDialog::buildTcpLogPage() {
  QWidget* page = addPage(tr("TCP/IP Log"));
  auto* layout = static_cast<QVBoxLayout*>(page->layout());
  layout->addWidget(
      description(tr("Broadcast your current location to connected TCP/IP clients in NMEA format."), page));
  auto* form = new QFormLayout;
  m_tcpLogPort = digitField(page, keys::tcpipLogPort);
  addRow(form, tr("TCP/IP &Port:"), m_tcpLogPort);
  m_tcpLogActive = check(tr("&Active"), page, "tcpiplog\\active");
  form->addRow(QString(), m_tcpLogActive);
  layout->addLayout(form);
}

void OptionsDialog::buildFileLogPage() {
  QWidget* page = addPage(tr("NMEA Log"));
  auto* layout = static_cast<QVBoxLayout*>(page->layout());
  layout->addWidget(description(tr("Write your current location to a log file in NMEA format."), page));
  m_fileLogActive = check(tr("&Active"), page, "filelog\\active");
  layout->addWidget(m_fileLogActive);
  m_fileLogFile = textField(page, keys::fileLogFile);
  m_fileLogFile->setToolTip(tr("Filename"));
  m_fileLogFile->setPlaceholderText(tr("Filename"));
  QToolButton* browse = nullptr;
  layout->addWidget(withBrowse(m_fileLogFile, &browse, page));
  connect(browse, &QToolButton::clicked, this, [this] {
    FileRequest request{FileRequest::Kind::saveFile, tr("NMEA log file"), m_fileLogFile->text(), kAllFiles, 0, {}};
    if (const QString file = chooseFile(request); !file.isEmpty()) m_fileLogFile->setText(file);
  });
  m_fileLogAppend = check(tr("A&ppend if file exists"), page, "filelog\\append");
  layout->addWidget(m_fileLogAppend);
}

void OptionsDialog::buildGpxLogPage() {
  QWidget* page = addPage(tr("GPX Log"));
  auto* layout = static_cast<QVBoxLayout*>(page->layout());
  layout->addWidget(description(tr("Record your track as GPX file."), page));
  m_gpxLogActive = check(tr("&Active"), page, "gpxlog\\active");
  layout->addWidget(m_gpxLogActive);
  m_gpxLogDir = textField(page, keys::gpxLogFileDir);
  m_gpxLogDir->setToolTip(tr("Directory"));
  m_gpxLogDir->setPlaceholderText(tr("Directory"));
  QToolButton* browse = nullptr;
  layout->addWidget(withBrowse(m_gpxLogDir, &browse, page));
  connect(browse, &QToolButton::clicked, this, [this] {
    FileRequest request{FileRequest::Kind::folder, tr("GPX folder"), m_gpxLogDir->text(), {}, 0, {}};
    if (const QString folder = chooseFile(request); !folder.isEmpty()) m_gpxLogDir->setText(folder);
  });
}

void OptionsDialog::buildHttpLogPage() {
  QWidget* page = addPage(tr("HTTP Log"));
  auto* layout = static_cast<QVBoxLayout*>(page->layout());
  layout->addWidget(description(tr("Post your current location to a HTTP Server."), page));
  auto* form = new QFormLayout;
  m_httpProtocol = new QComboBox(page);
  m_httpProtocol->setObjectName(qs(keys::httpLogProtocol.path));
  m_httpProtocol->addItems({QStringLiteral("http"), QStringLiteral("https")});
  addRow(form, tr("&Protocol:"), m_httpProtocol);
  m_httpHost = textField(page, keys::httpLogHost);
  addRow(form, tr("&Host name or IP:"), m_httpHost);
  m_httpPort = digitField(page, keys::httpLogPort);
  addRow(form, tr("P&ort:"), m_httpPort);
  m_httpFile = textField(page, keys::httpLogFile);
  addRow(form, tr("Path/&File:"), m_httpFile);
  form->addRow(QString(), new QLabel(tr("Must match the server configuration."), page));
  m_httpTimeout = digitField(page, keys::httpLogTimeout);
  addRow(form, tr("&Timeout (ms):"), m_httpTimeout);
  layout->addLayout(form);

  auto* authBox = new QGroupBox(page);
  auto* authForm = new QFormLayout(authBox);
  m_httpAuth = check(tr("HTTP Au&thentication"), authBox, "httplog\\auth");
  authForm->addRow(m_httpAuth);
  m_httpUser = textField(authBox, keys::httpLogUserName);
  addRow(authForm, tr("&Username:"), m_httpUser);
  m_httpPassword = passwordField(authBox, keys::httpLogPassword);
  addRow(authForm, tr("Pa&ssword:"), m_httpPassword);
  layout->addWidget(authBox);

  m_httpActive = check(tr("&Active"), page, "httplog\\active");
  layout->addWidget(m_httpActive);
}

void OptionsDialog::buildIntervalPage() {
  QWidget* page = addPage(tr("Log Interval"));
  auto* layout = static_cast<QVBoxLayout*>(page->layout());
  auto* row = new QHBoxLayout;
  auto* modeBox = new QGroupBox(tr("Mode"), page);
  m_recordMode = radioGroup(modeBox, {tr("&Auto"), tr("&Time"), tr("&Distance")}, "general\\recordmode");
  auto* intervalBox = new QGroupBox(tr("Interval"), page);
  m_recordInterval = radioGroup(
      intervalBox, {tr("&Maximum"), tr("&Often"), tr("&Normal"), tr("&Seldom"), tr("M&inimum")},
      "general\\recordinterval");
  static_cast<QVBoxLayout*>(modeBox->layout())->addStretch(1);
  row->addWidget(modeBox);
  row->addWidget(intervalBox);
  layout->addLayout(row);
}

void OptionsDialog::buildProxyPage() {
  QWidget* page = addPage(tr("HTTP Proxy"));
  auto* layout = static_cast<QVBoxLayout*>(page->layout());
  auto* form = new QFormLayout;
  m_proxyHost = textField(page, keys::proxyHost);
  addRow(form, tr("&Server:"), m_proxyHost);
  m_proxyPort = digitField(page, keys::proxyPort);
  addRow(form, tr("&Port:"), m_proxyPort);
  m_proxyUser = textField(page, keys::proxyUserName);
  addRow(form, tr("&Username:"), m_proxyUser);
  m_proxyPassword = passwordField(page, keys::proxyPassword);
  addRow(form, tr("P&assword:"), m_proxyPassword);
  layout->addLayout(form);
  auto* system = new QPushButton(tr("System Proxy Settings"), page);
  system->setObjectName(QStringLiteral("systemProxy"));
  connect(system, &QPushButton::clicked, this, &OptionsDialog::takeSystemProxy);
  auto* buttonRow = new QHBoxLayout;
  buttonRow->addWidget(system);
  buttonRow->addStretch(1);
  layout->addLayout(buttonRow);
}

void OptionsDialog::buildUnitsPage() {
  QWidget* page = addPage(tr("Units"));
  auto* layout = static_cast<QVBoxLayout*>(page->layout());
  auto* distBox = new QGroupBox(tr("Units (Length, Area, Speed)"), page);
  m_distUnit = radioGroup(distBox, {tr("&Metric"), tr("&Statute (land miles)"), tr("&Nautic (nautic miles)")},
                          "general\\distunit");
  auto* posBox = new QGroupBox(tr("Position"), page);
  m_posUnit = radioGroup(posBox,
                         {QStringLiteral("Decimal De&gree (N047.26962\u00B0)"),
                          QStringLiteral("Decimal M&inute (N047\u00B0 16.177')"),
                          QStringLiteral("Decimal S&econd (N047\u00B0 16' 10.6\")")},
                         "general\\posunit");
  layout->addWidget(distBox);
  layout->addWidget(posBox);
}

// --- loading --------------------------------------------------------------------------------------

void OptionsDialog::load() {
  const Settings& s = m_controller.settings();
  auto text = [&s](const SettingKey& key) { return qs(s.readString(key.path, key.defaultText)); };
  auto flag = [&s](const SettingKey& key) { return s.readBool(key); };
  // A stored value that is not a number shows as it is, so that the user sees what to mend.
  auto integerText = [&s](const SettingKey& key) {
    const std::string stored = s.readString(key.path, key.defaultText);
    const auto value = parseInt(stored);
    return value ? QString::number(*value) : qs(stored);
  };
  auto integerOr = [&s](const SettingKey& key, int fallback) {
    try {
      return s.readInteger(key);
    } catch (const std::exception&) {
      return fallback;
    }
  };

  m_closeToTray->setChecked(flag(keys::generalCloseToTray));
  m_minimized->setChecked(flag(keys::generalMinimized));
  m_savePos->setChecked(flag(keys::generalSavePos));
  for (int i = 0; i < m_logWhat->count(); ++i)
    m_logWhat->item(i)->setCheckState(flag(*kLogItems[i].key) ? Qt::Checked : Qt::Unchecked);
  m_maxLines->setText(text(keys::logMaxLines));

  if (m_simuLong != nullptr) {
    try {
      m_simuLong->setValue(s.readFloat(keys::simuLong));
      m_simuLat->setValue(s.readFloat(keys::simuLat));
    } catch (const std::exception&) {
      // The fields keep 0; saving writes readable numbers back.
    }
    const std::string alt = s.readString(keys::simuAlt.path, keys::simuAlt.defaultText);
    const auto altitude = parseDouble(alt);
    m_simuAlt->setText(altitude ? qs(formatGeneral(*altitude)) : qs(alt));
    m_simuMaxSpeed->setText(integerText(keys::simuMaxSpeed));
    m_simuMaxVSpeed->setText(integerText(keys::simuMaxVSpeed));
  }
  // The stored port shows also when the machine does not have it now.
  if (m_garminPort != nullptr) m_garminPort->setCurrentText(text(keys::garminComPort));
  if (m_nmeaPort != nullptr) {
    m_nmeaPort->setCurrentText(text(keys::nmeaComPort));
    m_nmeaBaud->setText(text(keys::nmeaComBaud));
    m_nmeaByteSize->setText(text(keys::nmeaComByteSize));
    m_nmeaStopBits->setText(text(keys::nmeaComStopBits));
    m_nmeaParity->setChecked(flag(keys::nmeaComParity));
    m_nmeaComChecksum->setChecked(flag(keys::nmeaComChecksum));
  }
  if (m_tcpHost != nullptr) {
    m_tcpHost->setText(text(keys::nmeaTcpipHost));
    m_tcpPort->setText(text(keys::nmeaTcpipPort));
    m_tcpChecksum->setChecked(flag(keys::nmeaTcpipChecksum));
  }
  if (m_nmeaFile != nullptr) {
    m_nmeaFile->setText(text(keys::nmeaFileFile));
    m_fileChecksum->setChecked(flag(keys::nmeaFileChecksum));
  }

  m_serverPort->setText(text(keys::httpPort));
  m_serverActive->setChecked(flag(keys::httpActive));
  m_serverAuth->setChecked(flag(keys::httpAuth));
  m_serverUser->setText(text(keys::httpUserName));
  m_serverPassword->setText(qs(s.readString(keys::httpPassword)));
  m_useSsl->setChecked(flag(keys::httpUseSsl));  // no click: no library check while loading
  m_certFile->setText(qs(s.readString(keys::httpCertFile)));
  m_keyFile->setText(qs(s.readString(keys::httpKeyFile)));
  m_rootCertFile->setText(qs(s.readString(keys::httpRootCertFile)));

  m_tcpLogPort->setText(text(keys::tcpipLogPort));
  m_fileLogFile->setText(text(keys::fileLogFile));
  m_fileLogAppend->setChecked(flag(keys::fileLogAppend));
  m_gpxLogDir->setText(text(keys::gpxLogFileDir));

  m_httpProtocol->setCurrentIndex(m_httpProtocol->findText(text(keys::httpLogProtocol)));
  m_httpHost->setText(text(keys::httpLogHost));
  m_httpPort->setText(text(keys::httpLogPort));
  m_httpFile->setText(text(keys::httpLogFile));
  m_httpTimeout->setText(text(keys::httpLogTimeout));
  m_httpAuth->setChecked(flag(keys::httpLogAuth));
  m_httpUser->setText(text(keys::httpLogUserName));
  m_httpPassword->setText(qs(s.readString(keys::httpLogPassword)));

  selectRadio(m_recordMode, integerOr(keys::generalRecordMode, rmAuto));
  selectRadio(m_recordInterval, integerOr(keys::generalRecordInterval, riNormal));

  m_proxyHost->setText(text(keys::proxyHost));
  m_proxyPort->setText(text(keys::proxyPort));
  m_proxyUser->setText(text(keys::proxyUserName));
  m_proxyPassword->setText(qs(s.readString(keys::proxyPassword)));

  // What is running, rather than what was stored.
  m_tcpLogActive->setChecked(m_controller.loggerActive(LoggerKind::nmeaTcp));
  m_fileLogActive->setChecked(m_controller.loggerActive(LoggerKind::nmeaFile));
  m_gpxLogActive->setChecked(m_controller.loggerActive(LoggerKind::gpxFile));
  m_httpActive->setChecked(m_controller.loggerActive(LoggerKind::http));
  const DisplayFormat& format = m_controller.displayFormat();
  selectRadio(m_distUnit, static_cast<int>(format.distUnit));
  selectRadio(m_posUnit, static_cast<int>(format.posUnit));
}

// --- user actions ---------------------------------------------------------------------------------

void OptionsDialog::refreshPorts() {
  std::vector<std::string> names = m_ports();
  std::sort(names.begin(), names.end());
  QStringList items;
  for (const std::string& name : names) items << qs(name);
  for (QComboBox* combo : {m_garminPort, m_nmeaPort}) {
    if (combo == nullptr) continue;
    const QString selected = combo->currentText();
    combo->clear();
    combo->addItems(items);
    // clear() empties the text too: a port that has gone leaves no selection.
    combo->setCurrentIndex(selected.isEmpty() ? -1 : combo->findText(selected));
  }
}

void OptionsDialog::takeSystemProxy() {
  const std::optional<std::string> list = m_proxyQuery ? m_proxyQuery() : std::nullopt;
  if (!list) return;
  const auto address = parseProxyList(*list);
  if (!address) return;
  m_proxyHost->setText(qs(address->host));
  m_proxyPort->setText(QString::number(address->port));
}

void OptionsDialog::onUseSslClicked(bool checked) {
  // The server's own TLS is built in; uploads over HTTPS need Qt's TLS backend.
  if (!checked || QSslSocket::supportsSsl()) return;
  message(QMessageBox::Warning, tr("Library missing"),
          tr("No TLS library could be loaded (Qt found no TLS backend; OpenSSL 3 is expected).\n"
             "Install the OpenSSL library (on Debian: the package libssl3) and restart the program."));
}

void OptionsDialog::chooseCertificate(int which) {
  QLineEdit* fields[] = {m_certFile, m_keyFile, m_rootCertFile};
  FileRequest request{FileRequest::Kind::openFile, tr("Certificate"), {}, kCertFilters,
                      which == 1 ? kKeyFilter : kCertFilter, QStringLiteral("pem")};
  if (which == 1) request.start = m_keyFile->text();
  const QString file = chooseFile(request);
  if (file.isEmpty()) return;
  fields[which]->setText(file);
  if (which == 0) {
    // A certificate file often holds the key and the chain as well.
    if (m_keyFile->text().isEmpty()) m_keyFile->setText(file);
    if (m_rootCertFile->text().isEmpty()) m_rootCertFile->setText(file);
  }
}

void OptionsDialog::openServerPage(bool admin) {
  QDesktopServices::openUrl(QUrl(serverPageUrl(m_useSsl->isChecked(), m_serverPort->text(), admin)));
}

QString OptionsDialog::chooseFile(const FileRequest& request) {
  return m_chooseFile ? m_chooseFile(request) : showFileChooser(this, request);
}

QMessageBox::StandardButton OptionsDialog::message(QMessageBox::Icon icon, const QString& title,
                                                   const QString& text, QMessageBox::StandardButtons buttons) {
  return m_message ? m_message(icon, title, text, buttons) : showMessageBox(this, icon, title, text, buttons);
}

// --- saving ---------------------------------------------------------------------------------------

void OptionsDialog::accept() {
  save();
  QDialog::accept();
}

bool OptionsDialog::save() {
  writeSettings();
  try {
    m_controller.settings().save();
  } catch (const std::exception& e) {
    m_controller.addLog(QStringLiteral("ERROR: ") + qs(e.what()));
  }
  try {
    applyToProgram();
  } catch (const std::exception& e) {
    // The file already holds every value; the rest takes effect at the next start.
    message(QMessageBox::Critical, QString(), qs(e.what()));
    return false;
  }
  return true;
}

void OptionsDialog::writeSettings() {
  Settings& s = m_controller.settings();
  auto text = [&s](const SettingKey& key, const QLineEdit* field) { s.writeString(key.path, str(field->text())); };
  auto flag = [&s](const SettingKey& key, const QAbstractButton* box) { s.writeBool(key.path, box->isChecked()); };

  flag(keys::generalCloseToTray, m_closeToTray);
  flag(keys::generalMinimized, m_minimized);
  flag(keys::generalSavePos, m_savePos);
  for (int i = 0; i < m_logWhat->count(); ++i)
    s.writeBool(kLogItems[i].key->path, m_logWhat->item(i)->checkState() == Qt::Checked);
  text(keys::logMaxLines, m_maxLines);

  if (m_simuLong != nullptr) {
    s.writeString(keys::simuLong.path, formatGeneral(m_simuLong->value()));
    s.writeString(keys::simuLat.path, formatGeneral(m_simuLat->value()));
    s.writeString(keys::simuAlt.path, normalisedNumber(m_simuAlt->text()));
    text(keys::simuMaxSpeed, m_simuMaxSpeed);
    text(keys::simuMaxVSpeed, m_simuMaxVSpeed);
  }
  if (m_garminPort != nullptr) s.writeString(keys::garminComPort.path, str(m_garminPort->currentText()));
  if (m_nmeaPort != nullptr) {
    s.writeString(keys::nmeaComPort.path, str(m_nmeaPort->currentText()));
    text(keys::nmeaComBaud, m_nmeaBaud);
    text(keys::nmeaComByteSize, m_nmeaByteSize);
    text(keys::nmeaComStopBits, m_nmeaStopBits);
    flag(keys::nmeaComParity, m_nmeaParity);
    flag(keys::nmeaComChecksum, m_nmeaComChecksum);
  }
  if (m_tcpHost != nullptr) {
    text(keys::nmeaTcpipHost, m_tcpHost);
    text(keys::nmeaTcpipPort, m_tcpPort);
    flag(keys::nmeaTcpipChecksum, m_tcpChecksum);
  }
  if (m_nmeaFile != nullptr) {
    text(keys::nmeaFileFile, m_nmeaFile);
    flag(keys::nmeaFileChecksum, m_fileChecksum);
  }

  text(keys::httpPort, m_serverPort);
  flag(keys::httpActive, m_serverActive);
  flag(keys::httpAuth, m_serverAuth);
  text(keys::httpUserName, m_serverUser);
  s.writeString(keys::httpPassword, str(m_serverPassword->text()));
  flag(keys::httpUseSsl, m_useSsl);
  text(keys::httpCertFile, m_certFile);
  text(keys::httpKeyFile, m_keyFile);
  text(keys::httpRootCertFile, m_rootCertFile);

  text(keys::tcpipLogPort, m_tcpLogPort);
  flag(keys::tcpipLogActive, m_tcpLogActive);
  flag(keys::fileLogActive, m_fileLogActive);
  text(keys::fileLogFile, m_fileLogFile);
  flag(keys::fileLogAppend, m_fileLogAppend);
  flag(keys::gpxLogActive, m_gpxLogActive);
  text(keys::gpxLogFileDir, m_gpxLogDir);

  s.writeString(keys::httpLogProtocol.path, str(m_httpProtocol->currentText()));
  text(keys::httpLogHost, m_httpHost);
  text(keys::httpLogPort, m_httpPort);
  text(keys::httpLogFile, m_httpFile);
  text(keys::httpLogTimeout, m_httpTimeout);
  flag(keys::httpLogAuth, m_httpAuth);
  text(keys::httpLogUserName, m_httpUser);
  s.writeString(keys::httpLogPassword, str(m_httpPassword->text()));
  flag(keys::httpLogActive, m_httpActive);

  s.writeInteger(keys::generalRecordMode.path, m_recordMode->checkedId());
  s.writeInteger(keys::generalRecordInterval.path, m_recordInterval->checkedId());

  text(keys::proxyHost, m_proxyHost);
  text(keys::proxyPort, m_proxyPort);
  text(keys::proxyUserName, m_proxyUser);
  s.writeString(keys::proxyPassword, str(m_proxyPassword->text()));

  s.writeInteger(keys::generalDistUnit.path, m_distUnit->checkedId());
  s.writeInteger(keys::generalPosUnit.path, m_posUnit->checkedId());
}

void OptionsDialog::applyToProgram() {
  AppController& c = m_controller;

  DisplayFormat format = c.displayFormat();
  format.distUnit = static_cast<DistUnit>(std::max(0, m_distUnit->checkedId()));
  format.posUnit = static_cast<PosUnit>(std::max(0, m_posUnit->checkedId()));
  c.setDisplayFormat(format);

  unsigned categories = 0;
  for (int i = 0; i < m_logWhat->count(); ++i)
    if (m_logWhat->item(i)->checkState() == Qt::Checked) categories |= kLogItems[i].category;
  c.setLogCategories(categories);
  c.log().setMaxLines(m_maxLines->text().isEmpty() ? 0 : toInt(str(m_maxLines->text())));
  c.setCloseToTray(m_closeToTray->isChecked());
  c.setRecordMode(static_cast<RecordMode>(std::max(0, m_recordMode->checkedId())),
                  static_cast<RecordInterval>(std::max(0, m_recordInterval->checkedId())));

  c.nmeaTcpLogger()->setPort(portOf(m_tcpLogPort));
  c.setLoggerActive(LoggerKind::nmeaTcp, m_tcpLogActive->isChecked());
  c.nmeaFileLogger()->setAppend(m_fileLogAppend->isChecked());
  c.nmeaFileLogger()->setFilename(str(m_fileLogFile->text()));
  c.setLoggerActive(LoggerKind::nmeaFile, m_fileLogActive->isChecked());

  for (int i = 0; i < c.sourceCount(); ++i) {
    if (auto* simu = qobject_cast<GpsTrackerSimu*>(c.source(i)); simu != nullptr && m_simuLong != nullptr) {
      simu->setStartPoint(Point{static_cast<float>(m_simuLong->value()), static_cast<float>(m_simuLat->value())});
      simu->setAltitude(static_cast<float>(toDouble(normalisedNumber(m_simuAlt->text()))));
      const int maxSpeed = toInt(str(m_simuMaxSpeed->text()));
      const int maxVSpeed = toInt(str(m_simuMaxVSpeed->text()));
      if (m_simulatorWindow != nullptr) m_simulatorWindow->setSpeedRange(maxSpeed, maxVSpeed);
    }
  }
  for (int i = 0; i < c.sourceCount(); ++i) {
    if (auto* garmin = qobject_cast<GpsTrackerGarminCom*>(c.source(i)); garmin != nullptr && m_garminPort != nullptr)
      garmin->setPort(str(m_garminPort->currentText()));
  }
  for (int i = 0; i < c.sourceCount(); ++i) {
    if (auto* com = qobject_cast<GpsTrackerNmeaCom*>(c.source(i)); com != nullptr && m_nmeaPort != nullptr) {
      com->setPort(str(m_nmeaPort->currentText()));
      com->setBaudRate(static_cast<quint32>(toInt(str(m_nmeaBaud->text()))));
      com->setByteSize(byteOf(m_nmeaByteSize));
      com->setStopBits(byteOf(m_nmeaStopBits));
      com->setParity(m_nmeaParity->isChecked());
      com->setCheckChecksum(m_nmeaComChecksum->isChecked());
    }
  }
  for (int i = 0; i < c.sourceCount(); ++i) {
    if (auto* tcp = qobject_cast<GpsTrackerNmeaTcpip*>(c.source(i)); tcp != nullptr && m_tcpHost != nullptr) {
      tcp->setHost(str(m_tcpHost->text()));
      tcp->setPort(portOf(m_tcpPort));
      tcp->setCheckChecksum(m_tcpChecksum->isChecked());
    }
  }
  for (int i = 0; i < c.sourceCount(); ++i) {
    if (auto* file = qobject_cast<GpsTrackerNmeaFile*>(c.source(i)); file != nullptr && m_nmeaFile != nullptr) {
      file->setFilename(str(m_nmeaFile->text()));
      file->setCheckChecksum(m_fileChecksum->isChecked());
    }
  }

  c.stopServer();
  c.setServerAccess(portOf(m_serverPort), m_serverAuth->isChecked(), str(m_serverUser->text()),
                    str(m_serverPassword->text()));
  if (m_serverActive->isChecked()) c.startServer();

  HttpLogger* http = c.httpLogger();
  http->setProtocol(m_httpProtocol->currentText() == QStringLiteral("https") ? hpHttps : hpHttp);
  http->setHost(str(m_httpHost->text()));
  http->setPort(portOf(m_httpPort));
  http->setPostFile(str(m_httpFile->text()));
  http->setTimeout(toInt(str(m_httpTimeout->text())));
  http->setHttpAuth(m_httpAuth->isChecked());
  http->setAuthUser(str(m_httpUser->text()));
  http->setAuthPass(str(m_httpPassword->text()));
  c.setLoggerActive(LoggerKind::http, m_httpActive->isChecked());

  c.gpxLogger()->setFileDir(str(m_gpxLogDir->text()));
  c.setLoggerActive(LoggerKind::gpxFile, m_gpxLogActive->isChecked());

  c.reloadProxySettings();
}

}  // namespace geomuxer
