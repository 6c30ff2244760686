#include "app/app_controller.h"

#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <type_traits>

#include "core/number_text.h"
#include "loggers/gpx_logger.h"
#include "loggers/http_logger.h"
#include "loggers/nmea_file_logger.h"
#include "loggers/nmea_tcp_logger.h"
#include "loggers/nmea_udp_logger.h"
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
    case LoggerKind::nmeaUdp: return QStringLiteral("NMEA UDP");
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
      m_trayState(kInactiveHint),
      m_webRoot(settings.webRoot()) {
  m_tcpLogger = std::make_unique<NmeaTcpLogger>();
  m_tcpLogger->setActive(true);
  m_tcpLogger->setPort(2222);
  m_loggerList = std::make_unique<TrackLoggerList>();
  m_loggerList->setActive(true);
  m_fileLogger = std::make_unique<NmeaFileLogger>();
  m_httpLogger = std::make_unique<HttpLogger>();
  m_gpxLogger = std::make_unique<GpxLogger>();
  m_udpLogger = std::make_unique<NmeaUdpLogger>();
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
  connect(raw, &GpsTracker::faulted, this, [this, raw](const TransportFault& fault) { onSourceFault(raw, fault); });
  connect(raw, &GpsTracker::noticed, this, [this, raw](const std::string& text) {
    m_log->addLine(lcTracker, QStringLiteral("TRACKER: %1: %2").arg(qs(raw->displayName()), qs(text)));
  });
  connect(raw, &GpsTracker::statusChanged, this, [this, raw](const SourceStatus& status) {
    if (raw != currentTracker()) return;
    publishStatus();
    emit sourceStatusChanged(status);
  });
  if constexpr (std::is_base_of_v<GpsTrackerNmea, Tracker>) {
    // Sentences without a position still make the last byte younger.
    connect(raw, &GpsTrackerNmea::sentenceReceived, this, [this, raw] {
      if (raw == currentTracker()) publishStatus(true);
    });
  }
  if constexpr (std::is_base_of_v<GpsTrackerNmea, Tracker>)
    connect(raw, &GpsTrackerNmea::inputDropped, this, [this](const QString& report) { m_log->addLine(lcTracker, report); });
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
    QMetaObject::invokeMethod(this, [this] { publishStatus(); }, Qt::QueuedConnection);
  });
  connect(tcp, &NmeaTcpLogger::clientDisconnected, this, [this](TcpServerClient* client) {
    m_log->addLine(lcTcp, QStringLiteral("TCP/IP: Client %1 disconnected").arg(client->host()));
    // The client leaves the server's list once this notice is over.
    QMetaObject::invokeMethod(this, [this] { publishStatus(); }, Qt::QueuedConnection);
  });
  connect(tcp, &NmeaTcpLogger::errorOccurred, this,
          [this](const QString& message) { logError("TCP/IP ERROR: ", message); });
  connect(m_udpLogger.get(), &NmeaUdpLogger::sending, this,
          [this](const QString& target) { m_log->addLine(lcTcp, QStringLiteral("UDP: Sending to %1").arg(target)); });
  connect(m_udpLogger.get(), &NmeaUdpLogger::errorOccurred, this,
          [this](const QString& message) { logError("UDP ERROR: ", message); });

  const FilenameHandler logFileName = [this](TrackLogger&, std::string& filename) {
    m_log->addLine(lcLogFile, QStringLiteral("LOG: Log file %1").arg(qs(filename)));
  };
  m_fileLogger->setFilenameHandler(logFileName);
  m_gpxLogger->setFilenameHandler(logFileName);

  connect(m_httpLogger.get(), &HttpLogger::errorOccurred, this,
          [this](const QString& message) { logError("HTTP ERROR: ", message); });
  connect(m_httpLogger.get(), &HttpLogger::queueLengthChanged, this, [this](qint64 length) {
    setTrayHint(m_trayState);
    emit uploadQueueLengthChanged(length);
  });
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
  m_chosen.tracker = true;
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
  publishStatus();
  emit sourceStatusChanged(sourceStatus());
}

SourceStatus AppController::sourceStatus() const {
  if (const GpsTracker* tracker = currentTracker()) return tracker->status();
  return {};
}

void AppController::setWatchdogSeconds(int seconds) {
  m_watchdogSeconds = std::max(1, seconds);
  for (const std::unique_ptr<GpsTracker>& tracker : m_trackers) tracker->setWatchdog(std::chrono::seconds(m_watchdogSeconds));
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

void AppController::onSourceFault(const GpsTracker* source, const TransportFault& fault) {
  // A connection's faults read like the broadcast's own socket errors.
  const bool socket = source == m_nmeaTcpip && fault.kind != FaultKind::protocol;
  logError(socket ? "TCP/IP ERROR: " : "ERROR: ", qs(fault.message));
}

void AppController::publishStatus(bool soon) {
  const auto now = std::chrono::steady_clock::now();
  if (soon && now - m_statusPublished < std::chrono::milliseconds(250)) return;
  m_statusPublished = now;
  const SourceStatus source = sourceStatus();
  ProgramStatus status;
  if (currentTracker() != nullptr) {
    status.source = source.source;
    status.state = sourceStateText(source);
  }
  status.lastPositionMs = source.lastPositionMs;
  status.lastByteMs = source.lastByteMs;
  status.epochs = source.epochs;
  status.droppedLines = source.droppedLines;
  status.reconnects = source.reconnects;
  status.lastError = source.lastError;
  const NmeaTcpLogger* broadcast = m_tcpLogger.get();
  if (broadcast->server() != nullptr) status.broadcastClients = static_cast<int>(broadcast->server()->clients().size());
  m_statusBoard.publish(std::move(status));
}

void AppController::onPosition(const PositionInfo& position) {
  m_current.publish(position);
  publishStatus(true);
  if (!m_log->hasCategory(lcTrackerPos)) return;
  const NumberFormat& nf = m_format.number;
  std::string line = formatLatLon(position.point(), m_format.posUnit, nf);
  if (position.has(defXYPrec)) line += " (" + formatDistance(m_format.distUnit, position.xyPrec, nf) + ")";
  if (position.has(defHeading)) line += ", " + formatHeading(0, 0, position.heading, nf);
  if (position.has(defSpeed)) line += ", " + formatSpeed(m_format.distUnit, position.speed, nf);
  m_log->addLine(QStringLiteral("TRACKER: ") + qs(line));
}

void AppController::setTrayHint(const QString& state) {
  m_trayState = state;
  // One position in flight is the normal case; more, or one whose post failed, is worth a look.
  const qint64 waiting = m_httpLogger->queueLength();
  QString hint = state;
  if (waiting > 1 || (waiting == 1 && m_httpLogger->retryPending()))
    hint += QStringLiteral(", %1 positions waiting for upload").arg(waiting);
  if (hint == m_trayHint) return;
  m_trayHint = hint;
  emit trayHintChanged(hint);
}

qint64 AppController::uploadQueueLength() const { return m_httpLogger->queueLength(); }

// --- loggers ------------------------------------------------------------------------------------

TrackLogger* AppController::logger(LoggerKind kind) const {
  switch (kind) {
    case LoggerKind::nmeaTcp: return m_tcpLogger.get();
    case LoggerKind::nmeaFile: return m_fileLogger.get();
    case LoggerKind::gpxFile: return m_gpxLogger.get();
    case LoggerKind::http: return m_httpLogger.get();
    case LoggerKind::nmeaUdp: return m_udpLogger.get();
  }
  return nullptr;
}

bool AppController::loggerActive(LoggerKind kind) const { return logger(kind)->active(); }

void AppController::setLoggerActive(LoggerKind kind, bool active) {
  m_chosen.logger.at(static_cast<std::size_t>(kind)) = true;
  if (loggerActive(kind) == active) return;
  // While a source runs the logger follows at once: it opens its file or socket now, or closes it
  // now, rather than at the source's next start.
  const bool running = std::any_of(m_trackers.begin(), m_trackers.end(),
                                   [](const std::unique_ptr<GpsTracker>& t) { return t->isActive(); });
  TrackLogger* target = logger(kind);
  try {
    if (running && !active) target->stop();
  } catch (const std::exception& e) {
    logError("ERROR: ", qs(e.what()));
  }
  target->setActive(active);
  try {
    if (running && active) target->start();
  } catch (const std::exception& e) {
    logError("ERROR: ", qs(e.what()));
  }
  emit loggerActiveChanged(kind, active);
}

void AppController::setBroadcastEveryPosition(bool every) {
  // The broadcast's own filter, off: every position passes, the others keep the record interval.
  m_filters.at(static_cast<std::size_t>(LoggerKind::nmeaTcp)).setActive(!every);
}

bool AppController::broadcastEveryPosition() const {
  return !m_filters.at(static_cast<std::size_t>(LoggerKind::nmeaTcp)).active();
}

void AppController::setRecordMode(RecordMode mode, RecordInterval interval) {
  for (TracklogFilter& filter : m_filters) {
    filter.setRecordMode(mode);
    filter.setRecordInterval(interval);
  }
}

void AppController::reloadProxySettings() { m_proxy->invalidate(); }

void AppController::loadProxySettings(ProxySettings& proxy) {
  // An empty host or port is how the user switches the proxy off; only another text is an error.
  TolerantReader s(m_settings);
  const std::string host = s.string(keys::proxyHost);
  const bool noPort = m_settings.readString(keys::proxyPort.path, keys::proxyPort.defaultText).empty();
  proxy.setHost(host);
  proxy.setPort(host.empty() || noPort ? 0 : s.port(keys::proxyPort));
  proxy.setUsername(s.string(keys::proxyUserName));
  proxy.setPassword(s.string(keys::proxyPassword));
  proxy.setEnabled(true);
  for (const SettingFault& fault : s.faults()) logError("ERROR: ", qs(fault.message()));
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

void AppController::setServerBindAddress(std::string address) { m_serverConfig->bindAddress = std::move(address); }

std::string AppController::serverBindAddress() const { return m_serverConfig->bindAddress; }

void AppController::stopServer() {
  if (!serverRunning()) return;
  m_server->stop();
  emit serverRunningChanged(false);
}

std::vector<std::string> AppController::openDatabase() {
  // The setting names another file or a PostgreSQL database; else the file in the state folder.
  TolerantReader s(m_settings);
  const std::string configured = s.string(keys::httpDatabase);
  StoreOptions options;
  options.poolSize = static_cast<std::size_t>(s.integer(keys::httpDatabasePool, 1, 64));
  options.statementTimeout = std::chrono::seconds(s.integer(keys::httpDatabaseTimeout, 1, 3600));
  std::vector<std::string> problems;
  for (const SettingFault& fault : s.faults()) {
    problems.push_back(fault.message());
    logError("ERROR: ", qs(fault.message()));
  }
  const std::string location = configured.empty() ? m_options.databaseFile.string() : configured;
  if (location.empty()) return problems;
  m_openStore = [location, dataDir = m_options.dataDir, options] {
    return geomuxer::openDatabase(location, dataDir, options);
  };
  try {
    m_database = m_openStore();
  } catch (const std::exception& e) {
    // A database server may come up after this program (both started at boot): try again, and
    // say so once. A file that cannot be opened stays so until the user acts.
    if (isPostgresLocation(location)) {
      logError("SQL ERROR: ", qs(e.what()) + QStringLiteral("; trying again in the background, posted positions "
                                                            "are answered 503 meanwhile"));
      scheduleStoreRetry();
    } else {
      logError("SQL ERROR: ", qs(e.what()));
    }
  }
  return problems;
}

void AppController::scheduleStoreRetry() {
  if (m_storeRetry == nullptr) {
    m_storeRetry = new QTimer(this);
    m_storeRetry->setSingleShot(true);
    connect(m_storeRetry, &QTimer::timeout, this, &AppController::retryOpeningStore);
  }
  m_storeRetry->start(m_storeRetryDelay);
  m_storeRetryDelay = std::min<std::chrono::milliseconds>(m_storeRetryDelay * 2, std::chrono::minutes(1));
}

void AppController::retryOpeningStore() {
  if (m_closed) return;
  if (m_storeOpener.joinable()) m_storeOpener.join();
  // Connecting may wait for the network up to its time limit: not on this thread.
  m_storeOpener = std::thread([this, open = m_openStore] {
    auto store = std::make_shared<std::unique_ptr<Database>>();
    try {
      *store = open();
    } catch (const std::exception&) {
      // Said once already; the next try follows.
    }
    QMetaObject::invokeMethod(this, [this, store] { takeOpenedStore(std::move(*store)); }, Qt::QueuedConnection);
  });
}

void AppController::takeOpenedStore(std::unique_ptr<Database> store) {
  if (m_closed) return;
  if (!store) {
    scheduleStoreRetry();
    return;
  }
  m_database = std::move(store);
  m_log->addLine(QStringLiteral("SQL: ") + qs(m_database->description()) +
                 QStringLiteral(" answers; the position server stores positions again"));
  if (!m_server) return;
  m_server->setDatabase(m_database.get());
  if (!serverRunning()) return;
  try {
    startServer();
  } catch (const std::exception& e) {
    logError("ERROR: ", qs(e.what()));
    emit serverRunningChanged(false);
  }
}

void AppController::createServer() {
  // Request lines come from the server's worker threads; the log belongs to this thread.
  auto sink = [this](const std::string& line) {
    QMetaObject::invokeMethod(this, [this, text = qs(line)] { m_log->addLine(text); }, Qt::QueuedConnection);
  };
  m_server = std::make_unique<PositionServer>(m_current, m_database.get(), std::move(sink));
  m_server->setStatusBoard(&m_statusBoard);
  publishStatus();
}

// --- start-up -----------------------------------------------------------------------------------

std::optional<std::string> AppController::startUp(const CommandLine& commandLine) {
  std::vector<std::string> problems = openDatabase();
  if (!m_options.uploadQueueFile.empty()) {
    try {
      m_httpLogger->openQueue(m_options.uploadQueueFile);
    } catch (const std::exception& e) {
      logError("HTTP ERROR: ", qs(e.what()) + QStringLiteral("; positions to upload wait in memory only"));
    }
  }
  createServer();
  const std::vector<std::string> applied = applySettings();
  problems.insert(problems.end(), applied.begin(), applied.end());
  applyCommandLine(commandLine);
  if (problems.empty()) return std::nullopt;
  std::string message;
  for (const std::string& problem : problems) message += (message.empty() ? "" : "\n") + problem;
  return message;
}

std::vector<std::string> AppController::applySettings() {
  TolerantReader s(m_settings);
  PositionServerConfig& server = *m_serverConfig;
  std::vector<std::string> problems;
  // Each step on its own: whatever one of them meets, the others are applied.
  auto step = [&problems](auto&& apply) {
    try {
      apply();
    } catch (const std::exception& e) {
      problems.emplace_back(e.what());
    }
  };

  // 1. TLS for the position server.
  server.useTls = s.boolean(keys::httpUseSsl);
  if (server.useTls) {
    server.certFile = s.string(keys::httpCertFile);
    server.keyFile = s.string(keys::httpKeyFile);
    server.rootCertFile = s.string(keys::httpRootCertFile);
  }

  // 2. Units.
  DisplayFormat format = m_format;
  format.distUnit = static_cast<DistUnit>(s.integer(keys::generalDistUnit, 0, 2));
  format.posUnit = static_cast<PosUnit>(s.integer(keys::generalPosUnit, 0, 2));
  setDisplayFormat(format);

  // 3. Record filter.
  const int mode = s.integer(keys::generalRecordMode, rmAuto, rmDistance);
  const int interval = s.integer(keys::generalRecordInterval, riMax, riMin);
  setRecordMode(static_cast<RecordMode>(mode), static_cast<RecordInterval>(interval));

  // 4. While the rest is applied, only the quieter categories are on.
  setLogCategories(lcTracker | lcTcp | lcLogFile);

  // 5., 6. Window.
  if (s.boolean(keys::generalSavePos) && m_host != nullptr) {
    if (auto rect = m_settings.loadWindowRect("MainForm", m_host->windowRect())) m_host->restoreWindowRect(*rect);
  }
  if (s.boolean(keys::generalMinimized) && m_host != nullptr) m_host->minimizeWindow();

  // 7. - 10.
  selectSource(s.integer(keys::generalTracker));
  setCloseToTray(s.boolean(keys::generalCloseToTray));
  setIconAnimInterval(s.integer(keys::generalIconAnim, 0));
  setWatchdogSeconds(s.integer(keys::generalWatchdog, 1, 3600));
  unsigned categories = 0;
  if (s.boolean(keys::logTracker)) categories |= lcTracker;
  if (s.boolean(keys::logTrackerPos)) categories |= lcTrackerPos;
  if (s.boolean(keys::logTcp)) categories |= lcTcp;
  if (s.boolean(keys::logHttp)) categories |= lcHttp;
  if (s.boolean(keys::logLogFile)) categories |= lcLogFile;
  setLogCategories(categories);
  m_log->setMaxLines(s.integer(keys::logMaxLines));

  // 11. - 13. Loggers.
  const std::string bindAddress = s.string(keys::tcpipLogBindAddress);
  std::optional<QHostAddress> listenAddress = NmeaTcpLogger::parseListenAddress(qs(bindAddress));
  if (!listenAddress) {
    s.reject(keys::tcpipLogBindAddress, "'" + bindAddress + "' is not an IP address");
    listenAddress = NmeaTcpLogger::parseListenAddress(qs(std::string(keys::tcpipLogBindAddress.defaultText)));
  }
  m_tcpLogger->setListenAddress(*listenAddress);
  m_tcpLogger->setPort(s.port(keys::tcpipLogPort));
  m_tcpLogger->setMaxClients(s.integer(keys::tcpipLogMaxClients, 1));
  m_tcpLogger->setPassThrough(s.boolean(keys::tcpipLogPassThrough));
  const std::string talker = s.string(keys::tcpipLogTalker);
  if (!m_tcpLogger->setTalker(talker)) {
    s.reject(keys::tcpipLogTalker, "'" + talker + "' is not a talker (two capital letters)");
    m_tcpLogger->setTalker(std::string(keys::tcpipLogTalker.defaultText));
  }
  setBroadcastEveryPosition(s.boolean(keys::tcpipLogEveryPosition));
  const std::string udpAddress = s.string(keys::udpLogAddress);
  if (!m_udpLogger->setHost(qs(udpAddress))) {
    s.reject(keys::udpLogAddress, "'" + udpAddress + "' is neither an IP address nor a host name");
    m_udpLogger->setHost(qs(std::string(keys::udpLogAddress.defaultText)));
  }
  m_udpLogger->setMulticastInterface(qs(s.string(keys::udpLogMulticastInterface)).trimmed());
  m_udpLogger->setPort(s.port(keys::udpLogPort));
  m_udpLogger->setTtl(s.integer(keys::udpLogTtl, 1, 255));
  m_udpLogger->setPassThrough(s.boolean(keys::udpLogPassThrough));
  const std::string udpTalker = s.string(keys::udpLogTalker);
  if (!m_udpLogger->setTalker(udpTalker)) {
    s.reject(keys::udpLogTalker, "'" + udpTalker + "' is not a talker (two capital letters)");
    m_udpLogger->setTalker(std::string(keys::udpLogTalker.defaultText));
  }
  setLoggerActive(LoggerKind::nmeaUdp, s.boolean(keys::udpLogActive));
  setLoggerActive(LoggerKind::nmeaTcp, s.boolean(keys::tcpipLogActive));
  m_fileLogger->setAppend(s.boolean(keys::fileLogAppend));
  m_fileLogger->setFilename(s.string(keys::fileLogFile));
  setLoggerActive(LoggerKind::nmeaFile, s.boolean(keys::fileLogActive));
  m_gpxLogger->setFileDir(s.string(keys::gpxLogFileDir));
  setLoggerActive(LoggerKind::gpxFile, s.boolean(keys::gpxLogActive));

  // 14. - 18. Sources.
  const double lon = s.floating(keys::simuLong);
  const double lat = s.floating(keys::simuLat);
  m_simu->setStartPoint(Point{static_cast<float>(lon), static_cast<float>(lat)});
  m_simu->setAltitude(static_cast<float>(s.floating(keys::simuAlt)));
  m_garminCom->setPort(s.string(keys::garminComPort));
  m_nmeaCom->setPort(s.string(keys::nmeaComPort));
  // The ranges the options dialog takes, so that what it stores is read back unchanged.
  m_nmeaCom->setBaudRate(static_cast<quint32>(s.integer(keys::nmeaComBaud, 0)));
  m_nmeaCom->setByteSize(static_cast<quint8>(s.integer(keys::nmeaComByteSize, 0, 255)));
  m_nmeaCom->setStopBits(static_cast<quint8>(s.integer(keys::nmeaComStopBits, 0, 255)));
  m_nmeaCom->setParity(s.boolean(keys::nmeaComParity));
  m_nmeaCom->setCheckChecksum(s.boolean(keys::nmeaComChecksum));
  m_nmeaTcpip->setHost(s.string(keys::nmeaTcpipHost));
  m_nmeaTcpip->setPort(s.port(keys::nmeaTcpipPort));
  m_nmeaTcpip->setCheckChecksum(s.boolean(keys::nmeaTcpipChecksum));
  m_nmeaFile->setFilename(s.string(keys::nmeaFileFile));
  m_nmeaFile->setCheckChecksum(s.boolean(keys::nmeaFileChecksum));
  m_nmeaFile->setStartAtEnd(s.boolean(keys::nmeaFileStartAtEnd));

  // 19., 20. Position server. One that cannot start is an error of its own and stops nothing else.
  m_webRoot = s.string(keys::httpWebRoot);
  server.webRoot = m_webRoot;
  server.port = s.port(keys::httpPort);
  server.bindAddress = s.string(keys::httpBindAddress);
  m_serverAuth = s.boolean(keys::httpAuth);
  m_serverUser = s.string(keys::httpUserName);
  m_serverPassword = s.string(keys::httpPassword);
  server.auth = m_serverAuth;
  server.user = m_serverUser;
  server.password = m_serverPassword;
  if (s.boolean(keys::httpActive)) {
    step([&] {
      try {
        startServer();
      } catch (const std::exception& e) {
        throw std::runtime_error(std::string("The position server cannot start: ") + e.what());
      }
    });
  }

  // 21. HTTP upload logger.
  m_httpLogger->setProtocol(s.string(keys::httpLogProtocol) == "https" ? hpHttps : hpHttp);
  m_httpLogger->setHost(s.string(keys::httpLogHost));
  m_httpLogger->setPort(s.port(keys::httpLogPort));
  m_httpLogger->setPostFile(s.string(keys::httpLogFile));
  m_httpLogger->setTimeout(s.integer(keys::httpLogTimeout));
  m_httpLogger->setCaFile(s.string(keys::httpLogCaFile));
  m_httpLogger->setHttpAuth(s.boolean(keys::httpLogAuth));
  m_httpLogger->setAuthUser(s.string(keys::httpLogUserName));
  m_httpLogger->setAuthPass(s.string(keys::httpLogPassword));
  m_httpLogger->setQueueCapacity(s.integer(keys::httpLogQueueSize, 1));
  setLoggerActive(LoggerKind::http, s.boolean(keys::httpLogActive));

  // The values that could not be read first: they are what the user has to mend.
  std::vector<std::string> messages;
  for (const SettingFault& fault : s.faults()) messages.push_back(fault.message());
  messages.insert(messages.end(), problems.begin(), problems.end());
  for (const std::string& message : messages) logError("ERROR: ", qs(message));
  return messages;
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
  if (m_storeRetry != nullptr) m_storeRetry->stop();
  if (m_storeOpener.joinable()) m_storeOpener.join();
  m_loggerList->stop();
  setActive(false);
  // Bounded: an answer that does not come leaves the position queued for the next start.
  m_httpLogger->waitForPending(3000);
  stopServer();
  m_server.reset();
  m_database.reset();
  storeState();
}

void AppController::storeState() {
  // Only what was applied or chosen since: a value that never took effect keeps its stored text.
  if (m_host != nullptr) m_settings.saveWindowRect("MainForm", m_host->windowRect());
  if (m_chosen.tracker) m_settings.writeInteger(keys::generalTracker, m_currentSource);
  if (m_chosen.iconAnim) m_settings.writeInteger(keys::generalIconAnim, m_iconAnimInterval);
  const std::pair<LoggerKind, const SettingKey*> flags[] = {{LoggerKind::nmeaTcp, &keys::tcpipLogActive},
                                                            {LoggerKind::nmeaFile, &keys::fileLogActive},
                                                            {LoggerKind::http, &keys::httpLogActive},
                                                            {LoggerKind::gpxFile, &keys::gpxLogActive},
                                                            {LoggerKind::nmeaUdp, &keys::udpLogActive}};
  for (const auto& [kind, key] : flags)
    if (m_chosen.logger.at(static_cast<std::size_t>(kind))) m_settings.writeBool(*key, loggerActive(kind));
}

}  // namespace geomuxer
