#include "app/app_controller.h"

#include <QMetaObject>

#include <exception>
#include <stdexcept>

#include "core/number_text.h"
#include "loggers/gpx_logger.h"
#include "loggers/http_logger.h"
#include "loggers/nmea_file_logger.h"
#include "loggers/nmea_tcp_logger.h"
#include "loggers/proxy_settings.h"
#include "net/tcp_server.h"
#include "loggers/track_logger_list.h"
#include "server/database.h"
#include "server/position_server.h"
#include "sources/trackers/gps_tracker.h"
#include "sources/trackers/gps_tracker_garmin_com.h"
#include "sources/trackers/gps_tracker_garmin_usb.h"
#include "sources/trackers/gps_tracker_locapi.h"
#include "sources/trackers/gps_tracker_nmea_com.h"
#include "sources/trackers/gps_tracker_nmea_file.h"
#include "sources/trackers/gps_tracker_nmea_tcpip.h"
#include "sources/trackers/gps_tracker_simu.h"

namespace geomuxer {


namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

const QString kInactiveHint = QStringLiteral("Geomuxer - inactive");

}  // namespace

QString loggerCaption(LoggerKind kind) {
  switch (kind) {
    case LoggerKind::nmeaTcp: return QStringLiteral("NMEA TCP/IP");
    case LoggerKind::nmeaFile: return QStringLiteral("NMEA File");
    case LoggerKind::gpxFile: return QStringLiteral("GPX File");
    case LoggerKind::http: return QStringLiteral("HTTP");
  }
  return {};
}

AppController::AppController(Settings& settings, Options options, QObject* parent)
    : QObject(parent),
      m_settings(settings),
      m_options(std::move(options)),
      m_log(new LogModel(this)),
      m_serverConfig(std::make_unique<PositionServerConfig>()),
      m_trayHint(kInactiveHint),
      m_webRoot(settings.webRoot()) {
  m_tcpLogger = std::make_unique<NmeaTcpLogger>();
  m_tcpLogger->setActive(true);
  m_tcpLogger->setPort(2222);
  m_loggerList = std::make_unique<TrackLoggerList>();
  m_loggerList->setActive(true);
  m_fileLogger = std::make_unique<NmeaFileLogger>();
  m_httpLogger = std::make_unique<HttpLogger>();
  m_gpxLogger = std::make_unique<GpxLogger>();
  for (LoggerKind kind : kLoggerKinds) logger(kind)->setFilter(&m_filters.at(static_cast<std::size_t>(kind)));
  for (LoggerKind kind : kLoggerKinds) m_loggerList->add(logger(kind));

  m_proxy = std::make_shared<ProxySettings>([this](ProxySettings& proxy) { loadProxySettings(proxy); });
  m_httpLogger->setProxySettings(m_proxy);
  connectLoggers();

  // The order of creation is the order of the source list.
  m_simu = addSource(std::make_unique<GpsTrackerSimu>());
  addSource(std::make_unique<GpsTrackerGarminUsb>());
  m_garminCom = addSource(std::make_unique<GpsTrackerGarminCom>());
  m_nmeaCom = addSource(std::make_unique<GpsTrackerNmeaCom>());
  m_nmeaTcpip = addSource(std::make_unique<GpsTrackerNmeaTcpip>());
  m_nmeaFile = addSource(std::make_unique<GpsTrackerNmeaFile>());
  addSource(std::make_unique<GpsTrackerLocapi>());
}

AppController::~AppController() {
  close();
  // Sources first: a source stops its loggers while it goes.
  m_sources.clear();
  m_trackers.clear();
}

template <typename Tracker>
Tracker* AppController::addSource(std::unique_ptr<Tracker> tracker) {
  Tracker* raw = tracker.get();
  raw->setLogger(m_loggerList.get());
  connect(raw, &GpsTracker::started, this, [this, raw] { onSourceStarted(raw); });
  connect(raw, &GpsTracker::stopped, this, [this, raw] { onSourceStopped(raw); });
  connect(raw, &GpsTracker::positionReceived, this, &AppController::onPosition, Qt::DirectConnection);
  connect(raw, &GpsTracker::faulted, this, &AppController::onSourceFault);
  m_trackers.push_back(std::move(tracker));
  if (raw->isAvailable()) m_sources.push_back(raw);
  return raw;
}

void AppController::connectLoggers() {
  connect(m_loggerList.get(), &TrackLoggerList::errorOccurred, this,
          [this](const QString& message) { logError("ERROR: ", message); });

  NmeaTcpLogger* tcp = m_tcpLogger.get();
  connect(tcp, &NmeaTcpLogger::listening, this, [this, tcp] {
    if (tcp->server() == nullptr || tcp->listeningPort() == 0) return;
    m_log->addLine(lcTcp, QStringLiteral("TCP/IP: Listening %1:%2")
                              .arg(tcp->server()->localAddress())
                              .arg(tcp->listeningPort()));
  });
  connect(tcp, &NmeaTcpLogger::clientConnected, this, [this](TcpServerClient* client) {
    m_log->addLine(lcTcp, QStringLiteral("TCP/IP: Client %1 connected").arg(client->host()));
  });
  connect(tcp, &NmeaTcpLogger::clientDisconnected, this, [this](TcpServerClient* client) {
    m_log->addLine(lcTcp, QStringLiteral("TCP/IP: Client %1 disconnected").arg(client->host()));
  });
  connect(tcp, &NmeaTcpLogger::errorOccurred, this,
          [this](const QString& message) { logError("TCP/IP ERROR: ", message); });

  const FilenameHandler logFileName = [this](TrackLogger&, std::string& filename) {
    m_log->addLine(lcLogFile, QStringLiteral("LOG: Log file %1").arg(qs(filename)));
  };
  m_fileLogger->setFilenameHandler(logFileName);
  m_gpxLogger->setFilenameHandler(logFileName);

  connect(m_httpLogger.get(), &HttpLogger::errorOccurred, this,
          [this](const QString& message) { logError("HTTP ERROR: ", message); });
}

void AppController::logError(const char* prefix, const QString& message) {
  m_log->addLine(QLatin1String(prefix) + message);
}

// --- sources ------------------------------------------------------------------------------------

GpsTracker* AppController::source(int index) const {
  return index >= 0 && index < sourceCount() ? m_sources[static_cast<std::size_t>(index)] : nullptr;
}

QString AppController::sourceName(int index) const {
  const GpsTracker* tracker = source(index);
  return tracker != nullptr ? qs(tracker->displayName()) : QString();
}

std::vector<std::string> AppController::sourceNames() const {
  std::vector<std::string> names;
  names.reserve(m_sources.size());
  for (const GpsTracker* tracker : m_sources) names.push_back(tracker->displayName());
  return names;
}

GpsTracker* AppController::currentTracker() const { return source(m_currentSource); }

void AppController::selectSource(int index) {
  if (index == m_currentSource) return;
  if (GpsTracker* old = currentTracker(); old != nullptr && old->isActive()) {
    try {
      old->setActive(false);
    } catch (const std::exception& e) {
      logError("ERROR: ", qs(e.what()));
    }
  }
  m_currentSource = index;
  emit currentSourceChanged(index);
}

void AppController::toggleActive() {
  if (GpsTracker* tracker = currentTracker()) setActive(!tracker->isActive());
}

void AppController::setActive(bool active) {
  GpsTracker* tracker = currentTracker();
  if (tracker == nullptr) return;
  try {
    tracker->setActive(active);
  } catch (const std::exception& e) {
    logError("ERROR: ", qs(e.what()));
  }
}

bool AppController::isActive() const {
  const GpsTracker* tracker = currentTracker();
  return tracker != nullptr && tracker->isActive();
}

void AppController::onSourceStarted(GpsTracker* source) {
  const QString name = qs(source->displayName());
  setTrayHint(QStringLiteral("Geomuxer - %1 active").arg(name));
  if (source == m_simu) emit simulatorStarted(m_simu);
  m_log->addLine(lcTracker, QStringLiteral("TRACKER: %1 started").arg(name));
  emit sourceStarted(source);
}

void AppController::onSourceStopped(GpsTracker* source) {
  setTrayHint(kInactiveHint);
  if (source == m_simu) emit simulatorStopped(m_simu);
  m_log->addLine(lcTracker, QStringLiteral("TRACKER: %1 stopped").arg(qs(source->displayName())));
  emit sourceStopped(source);
}

void AppController::onSourceFault(const TransportFault& fault) {
  // A stream that ended has stopped its source, and the stop is what the log shows. Connections
  // that fail are socket faults and read like the broadcast's own.
  struct KindPrefix {
    FaultKind kind;
    const char* prefix;
  };
  static constexpr KindPrefix kPrefixes[] = {
      {FaultKind::refused, "TCP/IP ERROR: "}, {FaultKind::reset, "TCP/IP ERROR: "},
      {FaultKind::timeout, "TCP/IP ERROR: "}, {FaultKind::protocol, "ERROR: "},
  };
  for (const KindPrefix& entry : kPrefixes)
    if (entry.kind == fault.kind) logError(entry.prefix, qs(fault.message));
}

void AppController::onPosition(const PositionInfo& position) {
  m_current.publish(position);
  if (!m_log->hasCategory(lcTrackerPos)) return;
  const NumberFormat& nf = m_format.number;
  std::string line = formatLatLon(position.point(), m_format.posUnit, nf);
  if (position.has(defXYPrec)) line += " (" + formatDistance(m_format.distUnit, position.xyPrec, nf) + ")";
  if (position.has(defHeading)) line += ", " + formatHeading(0, 0, position.heading, nf);
  if (position.has(defSpeed)) line += ", " + formatSpeed(m_format.distUnit, position.speed, nf);
  m_log->addLine(QStringLiteral("TRACKER: ") + qs(line));
}

void AppController::setTrayHint(const QString& hint) {
  if (hint == m_trayHint) return;
  m_trayHint = hint;
  emit trayHintChanged(hint);
}

// --- loggers ------------------------------------------------------------------------------------

TrackLogger* AppController::logger(LoggerKind kind) const {
  switch (kind) {
    case LoggerKind::nmeaTcp: return m_tcpLogger.get();
    case LoggerKind::nmeaFile: return m_fileLogger.get();
    case LoggerKind::gpxFile: return m_gpxLogger.get();
    case LoggerKind::http: return m_httpLogger.get();
  }
  return nullptr;
}

bool AppController::loggerActive(LoggerKind kind) const { return logger(kind)->active(); }

void AppController::setLoggerActive(LoggerKind kind, bool active) {
  if (loggerActive(kind) == active) return;
  logger(kind)->setActive(active);
  emit loggerActiveChanged(kind, active);
}

void AppController::setRecordMode(RecordMode mode, RecordInterval interval) {
  for (TracklogFilter& filter : m_filters) {
    filter.setRecordMode(mode);
    filter.setRecordInterval(interval);
  }
}

void AppController::reloadProxySettings() { m_proxy->invalidate(); }

void AppController::loadProxySettings(ProxySettings& proxy) {
  proxy.setHost(m_settings.readString(keys::proxyHost));
  proxy.setPort(readPort(keys::proxyPort));
  proxy.setUsername(m_settings.readString(keys::proxyUserName));
  proxy.setPassword(m_settings.readString(keys::proxyPassword));
  proxy.setEnabled(true);
}

// --- log and units ------------------------------------------------------------------------------

void AppController::setLogCategories(unsigned categories) {
  m_log->setCategories(categories);
  if (m_server) m_server->setLogRequests(m_log->hasCategory(lcHttp));
}

void AppController::setDisplayFormat(const DisplayFormat& format) {
  m_format = format;
  m_current.setDisplayFormat(format);
}

// --- position server ----------------------------------------------------------------------------

bool AppController::serverRunning() const { return m_server && m_server->running(); }

QString AppController::serverUrl() const { return serverRunning() ? qs(m_server->serverUrl()) : QString(); }

void AppController::startServer() {
  if (!m_server) createServer();
  if (m_server->running()) m_server->stop();
  m_serverConfig->logRequests = m_log->hasCategory(lcHttp);
  m_server->setConfig(*m_serverConfig);
  m_server->start();
  emit serverRunningChanged(true);
}

int AppController::serverPort() const { return m_serverConfig->port; }

void AppController::setServerAccess(int port, bool auth, std::string user, std::string password) {
  m_serverConfig->port = port;
  m_serverAuth = auth;
  m_serverUser = std::move(user);
  m_serverPassword = std::move(password);
  m_serverConfig->auth = m_serverAuth;
  m_serverConfig->user = m_serverUser;
  m_serverConfig->password = m_serverPassword;
}

void AppController::stopServer() {
  if (!serverRunning()) return;
  m_server->stop();
  emit serverRunningChanged(false);
}

void AppController::openDatabase() {
  if (m_options.databaseFile.empty()) return;
  try {
    m_database = std::make_unique<Database>(m_options.databaseFile, m_options.dataDir);
  } catch (const std::exception& e) {
    logError("SQL ERROR: ", qs(e.what()));
  }
}

void AppController::createServer() {
  // Request lines come from the server's worker threads; the log belongs to this thread.
  auto sink = [this](const std::string& line) {
    QMetaObject::invokeMethod(this, [this, text = qs(line)] { m_log->addLine(text); }, Qt::QueuedConnection);
  };
  m_server = std::make_unique<PositionServer>(m_current, m_database.get(), std::move(sink));
}

// --- start-up -----------------------------------------------------------------------------------

std::optional<std::string> AppController::startUp(const CommandLine& commandLine) {
  openDatabase();
  createServer();
  try {
    applySettings();
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
  applyCommandLine(commandLine);
  return std::nullopt;
}

quint16 AppController::readPort(const SettingKey& key) const {
  const int port = m_settings.readInteger(key);
  if (port < 0 || port > 65535)
    throw ConversionError("'" + std::to_string(port) + "' is not a valid port number (" + std::string(key.path) + ")");
  return static_cast<quint16>(port);
}

void AppController::applySettings() {
  Settings& s = m_settings;
  PositionServerConfig& server = *m_serverConfig;

  // 1. TLS for the position server.
  server.useTls = s.readBool(keys::httpUseSsl);
  if (server.useTls) {
    server.certFile = s.readString(keys::httpCertFile);
    server.keyFile = s.readString(keys::httpKeyFile);
    server.rootCertFile = s.readString(keys::httpRootCertFile);
  }

  // 2. Units.
  DisplayFormat format = m_format;
  format.distUnit = static_cast<DistUnit>(s.readInteger(keys::generalDistUnit));
  format.posUnit = static_cast<PosUnit>(s.readInteger(keys::generalPosUnit));
  setDisplayFormat(format);

  // 3. Record filter.
  const int mode = s.readInteger(keys::generalRecordMode);
  const int interval = s.readInteger(keys::generalRecordInterval);
  setRecordMode(static_cast<RecordMode>(mode), static_cast<RecordInterval>(interval));

  // 4. While the rest is applied, only the quieter categories are on.
  setLogCategories(lcTracker | lcTcp | lcLogFile);

  // 5., 6. Window.
  if (s.readBool(keys::generalSavePos) && m_host != nullptr) {
    if (auto rect = s.loadWindowRect("MainForm", m_host->windowRect())) m_host->restoreWindowRect(*rect);
  }
  if (s.readBool(keys::generalMinimized) && m_host != nullptr) m_host->minimizeWindow();

  // 7. - 10.
  selectSource(s.readInteger(keys::generalTracker));
  setCloseToTray(s.readBool(keys::generalCloseToTray));
  setIconAnimInterval(s.readInteger(keys::generalIconAnim));
  unsigned categories = 0;
  if (s.readBool(keys::logTracker)) categories |= lcTracker;
  if (s.readBool(keys::logTrackerPos)) categories |= lcTrackerPos;
  if (s.readBool(keys::logTcp)) categories |= lcTcp;
  if (s.readBool(keys::logHttp)) categories |= lcHttp;
  if (s.readBool(keys::logLogFile)) categories |= lcLogFile;
  setLogCategories(categories);
  m_log->setMaxLines(s.readInteger(keys::logMaxLines));

  // 11. - 13. Loggers.
  m_tcpLogger->setPort(readPort(keys::tcpipLogPort));
  setLoggerActive(LoggerKind::nmeaTcp, s.readBool(keys::tcpipLogActive));
  m_fileLogger->setAppend(s.readBool(keys::fileLogAppend));
  m_fileLogger->setFilename(s.readString(keys::fileLogFile));
  setLoggerActive(LoggerKind::nmeaFile, s.readBool(keys::fileLogActive));
  m_gpxLogger->setFileDir(s.readString(keys::gpxLogFileDir));
  setLoggerActive(LoggerKind::gpxFile, s.readBool(keys::gpxLogActive));

  // 14. - 18. Sources.
  const double lon = s.readFloat(keys::simuLong);
  const double lat = s.readFloat(keys::simuLat);
  m_simu->setStartPoint(Point{static_cast<float>(lon), static_cast<float>(lat)});
  m_simu->setAltitude(static_cast<float>(s.readFloat(keys::simuAlt)));
  m_garminCom->setPort(s.readString(keys::garminComPort));
  m_nmeaCom->setPort(s.readString(keys::nmeaComPort));
  m_nmeaCom->setBaudRate(static_cast<quint32>(s.readInteger(keys::nmeaComBaud)));
  m_nmeaCom->setByteSize(static_cast<quint8>(s.readInteger(keys::nmeaComByteSize)));
  m_nmeaCom->setStopBits(static_cast<quint8>(s.readInteger(keys::nmeaComStopBits)));
  m_nmeaCom->setParity(s.readBool(keys::nmeaComParity));
  m_nmeaCom->setCheckChecksum(s.readBool(keys::nmeaComChecksum));
  m_nmeaTcpip->setHost(s.readString(keys::nmeaTcpipHost));
  m_nmeaTcpip->setPort(readPort(keys::nmeaTcpipPort));
  m_nmeaTcpip->setCheckChecksum(s.readBool(keys::nmeaTcpipChecksum));
  m_nmeaFile->setFilename(s.readString(keys::nmeaFileFile));
  m_nmeaFile->setCheckChecksum(s.readBool(keys::nmeaFileChecksum));

  // 19., 20. Position server.
  m_webRoot = s.readString(keys::httpWebRoot);
  server.webRoot = m_webRoot;
  server.port = readPort(keys::httpPort);
  m_serverAuth = s.readBool(keys::httpAuth);
  m_serverUser = s.readString(keys::httpUserName);
  m_serverPassword = s.readString(keys::httpPassword);
  server.auth = m_serverAuth;
  server.user = m_serverUser;
  server.password = m_serverPassword;
  if (s.readBool(keys::httpActive)) startServer();

  // 21. HTTP upload logger.
  m_httpLogger->setProtocol(s.readString(keys::httpLogProtocol) == "https" ? hpHttps : hpHttp);
  m_httpLogger->setHost(s.readString(keys::httpLogHost));
  m_httpLogger->setPort(readPort(keys::httpLogPort));
  m_httpLogger->setPostFile(s.readString(keys::httpLogFile));
  m_httpLogger->setTimeout(s.readInteger(keys::httpLogTimeout));
  m_httpLogger->setHttpAuth(s.readBool(keys::httpLogAuth));
  m_httpLogger->setAuthUser(s.readString(keys::httpLogUserName));
  m_httpLogger->setAuthPass(s.readString(keys::httpLogPassword));
  setLoggerActive(LoggerKind::http, s.readBool(keys::httpLogActive));
}

void AppController::applyCommandLine(const CommandLine& commandLine) {
  if (commandLine.sourceIndex) selectSource(*commandLine.sourceIndex);
  if (commandLine.minimize && m_host != nullptr) m_host->minimizeWindow();
  if (commandLine.webRoot) {
    m_webRoot = *commandLine.webRoot;
    m_serverConfig->webRoot = m_webRoot;
    if (serverRunning()) {
      try {
        startServer();
      } catch (const std::exception& e) {
        logError("ERROR: ", qs(e.what()));
      }
    }
  }
  if (commandLine.activate.value_or(false) && currentTracker() != nullptr) setActive(true);
  if (commandLine.server && !serverRunning()) {
    try {
      startServer();
    } catch (const std::exception& e) {
      logError("ERROR: ", qs(e.what()));
    }
  }
}

// --- closing ------------------------------------------------------------------------------------

void AppController::close() {
  if (m_closed) return;
  m_closed = true;
  m_loggerList->stop();
  setActive(false);
  stopServer();
  m_server.reset();
  m_database.reset();
  storeState();
}

void AppController::storeState() {
  if (m_host != nullptr) m_settings.saveWindowRect("MainForm", m_host->windowRect());
  m_settings.writeInteger(keys::generalTracker, m_currentSource);
  m_settings.writeInteger(keys::generalIconAnim, m_iconAnimInterval);
  m_settings.writeBool(keys::tcpipLogActive, loggerActive(LoggerKind::nmeaTcp));
  m_settings.writeBool(keys::fileLogActive, loggerActive(LoggerKind::nmeaFile));
  m_settings.writeBool(keys::httpLogActive, loggerActive(LoggerKind::http));
  m_settings.writeBool(keys::gpxLogActive, loggerActive(LoggerKind::gpxFile));
}

}  // namespace geomuxer
