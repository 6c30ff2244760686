#pragma once
// The logic behind the main window, without any widget: the sources and the one that is selected,
// the loggers with their record filters, the position server with its database, the event log,
// and the settings applied at start and stored at close. The desktop window and the headless
// program are two front ends of the same controller.

#include <QObject>
#include <QString>

#include <array>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/log_model.h"
#include "core/position_info.h"
#include "core/tracklog_filter.h"
#include "core/units.h"
#include "server/current_position.h"
#include "server/program_status.h"
#include "settings/settings.h"
#include "sources/source_status.h"

class QTimer;

namespace geomuxer {

class Database;
class GpsTracker;
class GpsTrackerGarminCom;
class GpsTrackerNmeaCom;
class GpsTrackerNmeaFile;
class GpsTrackerNmeaTcpip;
class GpsTrackerSimu;
class GpxLogger;
class HttpLogger;
class NmeaFileLogger;
class NmeaTcpLogger;
class NmeaUdpLogger;
class PositionServer;
class ProxySettings;
class TrackLogger;
class TrackLoggerList;
struct TransportFault;
struct PositionServerConfig;

/// The four loggers, in the order they are registered with the logger list.
enum class LoggerKind : int { nmeaTcp = 0, nmeaFile = 1, gpxFile = 2, http = 3, nmeaUdp = 4 };
inline constexpr std::array kLoggerKinds{LoggerKind::nmeaTcp, LoggerKind::nmeaFile, LoggerKind::gpxFile,
                                         LoggerKind::http, LoggerKind::nmeaUdp};
/// "NMEA TCP/IP", "NMEA File", "GPX File", "HTTP", "NMEA UDP".
[[nodiscard]] QString loggerCaption(LoggerKind kind);

/// What the controller asks of its window. The headless program has none.
class WindowHost {
 public:
  virtual ~WindowHost() = default;
  [[nodiscard]] virtual WindowRect windowRect() const = 0;
  virtual void restoreWindowRect(const WindowRect& rect) = 0;
  /// Minimised means: in the notification area only.
  virtual void minimizeWindow() = 0;
};

/// Lives on the main thread; every member is called from there. Positions and source events
/// arrive on it too; the position server's log lines are handed over with queued calls.
class AppController : public QObject {
  Q_OBJECT

 public:
  struct Options {
    /// Where the schema scripts ("dbshema"), the web root and the help are.
    std::filesystem::path dataDir;
    /// The position server's database; empty: no database.
    std::filesystem::path databaseFile;
    /// The upload logger's queue; empty: positions wait in memory only.
    std::filesystem::path uploadQueueFile;
  };

  /// `settings` must outlive the controller. Creates the sources and loggers; nothing runs yet.
  AppController(Settings& settings, Options options, QObject* parent = nullptr);
  /// Runs the closing steps when close() has not run.
  ~AppController() override;

  // --- start and end ----------------------------------------------------------------------------
  /// Opens the database, creates the position server, applies the settings and then the command
  /// line. Whatever was wrong (values that could not be used, a server that could not start)
  /// comes back as one message, a line per problem, for the front end to show.
  [[nodiscard]] std::optional<std::string> startUp(const CommandLine& commandLine);
  /// Configures every component from the settings, in a fixed order, and never stops half-way: a
  /// value that cannot be used gives its key's default, a server that cannot start stays off, and
  /// each of them is logged as "ERROR: ..." and returned, key, value and default named.
  std::vector<std::string> applySettings();
  void applyCommandLine(const CommandLine& commandLine);
  /// Stops the loggers, the source and the server, closes the database and stores the state in the
  /// settings tree. Runs once; later calls do nothing.
  void close();
  [[nodiscard]] bool isClosed() const { return m_closed; }
  /// Writes the controller's own keys (window place, source index, icon interval, logger flags),
  /// each only when it was applied from the settings or chosen since.
  void storeState();

  /// The window, or null (headless). Not owned.
  void setWindowHost(WindowHost* host) { m_host = host; }

  // --- sources ----------------------------------------------------------------------------------
  [[nodiscard]] int sourceCount() const { return static_cast<int>(m_sources.size()); }
  [[nodiscard]] GpsTracker* source(int index) const;
  [[nodiscard]] QString sourceName(int index) const;
  [[nodiscard]] std::vector<std::string> sourceNames() const;
  /// Index into the source list; -1 before any selection. May lie outside the list when the
  /// settings named a source that is not offered here.
  [[nodiscard]] int currentSource() const { return m_currentSource; }
  /// The selected source, null when none is usable.
  [[nodiscard]] GpsTracker* currentTracker() const;
  /// Selecting the selected source does nothing; selecting another stops the running one and
  /// leaves the new one off.
  void selectSource(int index);
  /// Switches the selected source on or off; a failure is logged as "ERROR: ..." and the source
  /// keeps its state.
  void toggleActive();
  /// Switches the selected source on or off (no change when already so); failures as toggleActive.
  void setActive(bool active);
  [[nodiscard]] bool isActive() const;
  [[nodiscard]] GpsTrackerSimu* simulator() const { return m_simu; }
  /// The selected source's state and counters (stopped when none is selected); cheap enough to
  /// poll a few times a second.
  [[nodiscard]] SourceStatus sourceStatus() const;
  /// Seconds without a byte before a running source counts as waiting for data.
  [[nodiscard]] int watchdogSeconds() const { return m_watchdogSeconds; }
  void setWatchdogSeconds(int seconds);

  // --- loggers ----------------------------------------------------------------------------------
  [[nodiscard]] TrackLogger* logger(LoggerKind kind) const;
  [[nodiscard]] bool loggerActive(LoggerKind kind) const;
  void setLoggerActive(LoggerKind kind, bool active);
  void toggleLogger(LoggerKind kind) { setLoggerActive(kind, !loggerActive(kind)); }
  [[nodiscard]] TrackLoggerList* loggerList() const { return m_loggerList.get(); }
  [[nodiscard]] NmeaTcpLogger* nmeaTcpLogger() const { return m_tcpLogger.get(); }
  [[nodiscard]] NmeaFileLogger* nmeaFileLogger() const { return m_fileLogger.get(); }
  [[nodiscard]] GpxLogger* gpxLogger() const { return m_gpxLogger.get(); }
  [[nodiscard]] HttpLogger* httpLogger() const { return m_httpLogger.get(); }
  [[nodiscard]] NmeaUdpLogger* nmeaUdpLogger() const { return m_udpLogger.get(); }
  /// Record mode and interval, the same for every logger's filter.
  void setRecordMode(RecordMode mode, RecordInterval interval);
  /// On: the broadcast sends every position (its filter is off); the other loggers are not affected.
  void setBroadcastEveryPosition(bool every);
  [[nodiscard]] bool broadcastEveryPosition() const;
  [[nodiscard]] const TracklogFilter& filter(LoggerKind kind) const {
    return m_filters.at(static_cast<std::size_t>(kind));
  }
  /// Positions waiting for the upload server's acknowledgement.
  [[nodiscard]] qint64 uploadQueueLength() const;
  /// Makes the HTTP logger read the proxy settings again before its next run.
  void reloadProxySettings();

  // --- event log --------------------------------------------------------------------------------
  [[nodiscard]] LogModel& log() { return *m_log; }
  /// A line whatever the categories (errors).
  void addLog(const QString& text) { m_log->addLine(text); }
  [[nodiscard]] unsigned logCategories() const { return m_log->categories(); }
  void setLogCategories(unsigned categories);

  // --- window behaviour -------------------------------------------------------------------------
  [[nodiscard]] bool closeToTray() const { return m_closeToTray; }
  void setCloseToTray(bool on) { m_closeToTray = on; }
  /// Milliseconds between the frames of the tray icon while a source runs; 0: no animation.
  [[nodiscard]] int iconAnimInterval() const { return m_iconAnimInterval; }
  void setIconAnimInterval(int ms) {
    m_iconAnimInterval = ms;
    m_chosen.iconAnim = true;
  }
  /// "Geomuxer - inactive" or "Geomuxer - <source> active", and ", <n> positions waiting for
  /// upload" while the upload server has not taken them.
  [[nodiscard]] QString trayHint() const { return m_trayHint; }

  // --- positions and units ----------------------------------------------------------------------
  [[nodiscard]] const DisplayFormat& displayFormat() const { return m_format; }
  void setDisplayFormat(const DisplayFormat& format);
  /// The latest position of any source, shared with the position server's threads.
  [[nodiscard]] const CurrentPosition& currentPosition() const { return m_current; }
  [[nodiscard]] PositionInfo lastPosition() const { return m_current.snapshot().position; }
  /// What the position server's status page shows, kept current from this thread.
  [[nodiscard]] const StatusBoard& statusBoard() const { return m_statusBoard; }

  // --- position server --------------------------------------------------------------------------
  [[nodiscard]] PositionServer* server() const { return m_server.get(); }
  [[nodiscard]] Database* database() const { return m_database.get(); }
  [[nodiscard]] bool serverRunning() const;
  /// The server's address for a browser, empty when it is not running.
  [[nodiscard]] QString serverUrl() const;
  /// Starts (or restarts with the current configuration) the server. Throws ServerError.
  void startServer();
  void stopServer();
  /// The port the server listens on from its next start.
  [[nodiscard]] int serverPort() const;
  /// Port and account of the server, used from its next start (the options dialog).
  void setServerAccess(int port, bool auth, std::string user, std::string password);
  /// The address the server listens on from its next start; empty: every interface.
  void setServerBindAddress(std::string address);
  [[nodiscard]] std::string serverBindAddress() const;
  [[nodiscard]] bool serverAuth() const { return m_serverAuth; }
  [[nodiscard]] const std::string& serverUser() const { return m_serverUser; }
  [[nodiscard]] const std::string& serverPassword() const { return m_serverPassword; }
  [[nodiscard]] const std::string& webRoot() const { return m_webRoot; }

  [[nodiscard]] Settings& settings() { return m_settings; }
  [[nodiscard]] const Options& options() const { return m_options; }

 signals:
  void currentSourceChanged(int index);
  /// The selected source (or any source) started or stopped.
  void sourceStarted(geomuxer::GpsTracker* source);
  void sourceStopped(geomuxer::GpsTracker* source);
  void trayHintChanged(const QString& hint);
  /// Hooks for the simulator window: shown while the simulator runs.
  void simulatorStarted(geomuxer::GpsTrackerSimu* simulator);
  void simulatorStopped(geomuxer::GpsTrackerSimu* simulator);
  void loggerActiveChanged(geomuxer::LoggerKind kind, bool active);
  /// The upload queue grew or shrank.
  void uploadQueueLengthChanged(qint64 length);
  void serverRunningChanged(bool running);
  /// The selected source's state changed, or another source was selected.
  void sourceStatusChanged(const geomuxer::SourceStatus& status);

 private:
  template <typename Tracker>
  Tracker* addSource(std::unique_ptr<Tracker> tracker);
  void onSourceStarted(GpsTracker* source);
  void onSourceStopped(GpsTracker* source);
  void onSourceFault(const GpsTracker* source, const TransportFault& fault);
  void onPosition(const PositionInfo& position);
  void logError(const char* prefix, const QString& message);
  void connectLoggers();
  void applyServerSettings(const PositionServerConfig& config);
  void loadProxySettings(ProxySettings& proxy);
  void setTrayHint(const QString& hint);
  /// Hands the selected source's status and the broadcast's clients to the status board; `soon`
  /// limits it to a few times a second (for the byte-by-byte callers).
  void publishStatus(bool soon = false);
  /// Opens the position server's store; returns the settings that could not be used (logged).
  /// A database server that does not answer yet is tried again in the background.
  std::vector<std::string> openDatabase();
  void scheduleStoreRetry();
  void retryOpeningStore();
  void takeOpenedStore(std::unique_ptr<Database> store);
  void createServer();

  Settings& m_settings;
  Options m_options;
  WindowHost* m_host = nullptr;
  DisplayFormat m_format;
  LogModel* m_log;  // child

  // The outputs are declared before the sources: a source that is still running when it is
  // destroyed stops through them.
  std::array<TracklogFilter, kLoggerKinds.size()> m_filters;
  std::unique_ptr<NmeaTcpLogger> m_tcpLogger;
  std::unique_ptr<NmeaUdpLogger> m_udpLogger;
  std::unique_ptr<NmeaFileLogger> m_fileLogger;
  std::unique_ptr<GpxLogger> m_gpxLogger;
  std::unique_ptr<HttpLogger> m_httpLogger;
  std::unique_ptr<TrackLoggerList> m_loggerList;
  std::shared_ptr<ProxySettings> m_proxy;

  // The server reads the current position and the database, so it goes first.
  CurrentPosition m_current;
  StatusBoard m_statusBoard;
  std::chrono::steady_clock::time_point m_statusPublished;
  std::unique_ptr<Database> m_database;
  std::unique_ptr<PositionServer> m_server;
  std::unique_ptr<PositionServerConfig> m_serverConfig;
  // Retrying a database server that was down at start: 1 s, doubling up to a minute.
  std::function<std::unique_ptr<Database>()> m_openStore;
  std::chrono::milliseconds m_storeRetryDelay{1000};
  QTimer* m_storeRetry = nullptr;  // child
  std::thread m_storeOpener;

  std::vector<std::unique_ptr<GpsTracker>> m_trackers;  // every source, in creation order
  std::vector<GpsTracker*> m_sources;                   // those available here: the source list
  GpsTrackerSimu* m_simu = nullptr;
  GpsTrackerGarminCom* m_garminCom = nullptr;
  GpsTrackerNmeaCom* m_nmeaCom = nullptr;
  GpsTrackerNmeaTcpip* m_nmeaTcpip = nullptr;
  GpsTrackerNmeaFile* m_nmeaFile = nullptr;

  int m_currentSource = -1;
  bool m_closeToTray = false;
  int m_iconAnimInterval = 400;
  int m_watchdogSeconds = 10;
  QString m_trayHint;
  QString m_trayState;  // the hint without the upload queue
  bool m_serverAuth = false;
  std::string m_serverUser;
  std::string m_serverPassword;
  std::string m_webRoot;
  bool m_closed = false;
  // The state that storeState may write back: what was applied or chosen, nothing else.
  struct Chosen {
    bool tracker = false;
    bool iconAnim = false;
    std::array<bool, kLoggerKinds.size()> logger{};
  } m_chosen;
};

}  // namespace geomuxer
