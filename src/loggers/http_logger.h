#pragma once
// Posts every recorded position as a multipart form to a web server, typically the position
// server of another instance of the program.

#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/track_logger.h"
#include "loggers/proxy_settings.h"
#include "loggers/upload_queue.h"

class QNetworkAccessManager;
class QNetworkReply;

namespace geomuxer {

enum HttpProtocol : int { hpHttp = 0, hpHttps = 1 };

/// The form posted for one position, in the order it is sent: "user", "trackid", "datetime",
/// "lat" and "lon" always, then each optional member whose flag is set, and last "msec", the
/// milliseconds after the whole second of "datetime" (1..999, absent when 0). Fix and dilutions
/// are never sent.
[[nodiscard]] std::vector<FormField> uploadFields(const PositionInfo& position, const std::string& user,
                                                  const std::string& trackId);

/// The HTTP upload logger: store and forward. `start` makes a fresh track id and a new HTTP client
/// for the run and sends what the queue holds; `addPosition` puts each position the filter accepts
/// into the queue (committed to its file before it returns) and returns at once; `stop` lets the
/// post under way finish and sends nothing more. Queued positions keep their form (track id and
/// user included) across runs and program starts.
///
/// Posts go one at a time, oldest first. A post leaves the queue when the server acknowledges it
/// (2xx), or when the server refuses the request itself: a 4xx other than those about the
/// configuration or the moment (401, 403, 404, 405, 407, 408, 429), reported as dropped. Any other
/// failure (no connection, a time-out, 5xx, those 4xx) keeps it first in the queue and waits before
/// the next try, twice as long after each failure in a row (from firstRetryDelay up to
/// maxRetryDelay), or as long as the server's Retry-After asks. Every failure resets the filter and
/// emits errorOccurred. Main thread only.
class HttpLogger : public QObject, public TrackLogger {
  Q_OBJECT

 public:
  explicit HttpLogger(QObject* parent = nullptr);
  ~HttpLogger() override;

  /// "Mozilla/3.0 (compatible; Geomuxer/<version>; <operating system>)", built once per process.
  [[nodiscard]] static const std::string& defaultAgent();

  [[nodiscard]] HttpProtocol protocol() const { return m_protocol; }
  void setProtocol(HttpProtocol protocol) { m_protocol = protocol; }
  [[nodiscard]] const std::string& host() const { return m_host; }
  void setHost(std::string host) { m_host = std::move(host); }
  [[nodiscard]] quint16 port() const { return m_port; }
  void setPort(quint16 port) { m_port = port; }
  /// Path on the server, without the leading "/".
  [[nodiscard]] const std::string& postFile() const { return m_postFile; }
  void setPostFile(std::string postFile) { m_postFile = std::move(postFile); }
  /// Send Basic credentials with every post.
  [[nodiscard]] bool httpAuth() const { return m_httpAuth; }
  void setHttpAuth(bool httpAuth) { m_httpAuth = httpAuth; }
  /// Also posted as the field "user", whether or not credentials are sent.
  [[nodiscard]] const std::string& authUser() const { return m_authUser; }
  void setAuthUser(std::string user) { m_authUser = std::move(user); }
  [[nodiscard]] const std::string& authPass() const { return m_authPass; }
  void setAuthPass(std::string pass) { m_authPass = std::move(pass); }
  /// Shared proxy settings, loaded at start; null means: connect directly.
  [[nodiscard]] const std::shared_ptr<ProxySettings>& proxySettings() const { return m_proxy; }
  void setProxySettings(std::shared_ptr<ProxySettings> proxy) { m_proxy = std::move(proxy); }
  /// Milliseconds without progress after which a post fails; 0 (or less) means the default,
  /// kDefaultTimeout. Read at start.
  [[nodiscard]] int timeout() const { return m_timeout; }
  void setTimeout(int milliseconds) { m_timeout = milliseconds; }
  /// User-Agent header. Read at start.
  [[nodiscard]] const std::string& agent() const { return m_agent; }
  void setAgent(std::string agent) { m_agent = std::move(agent); }
  /// TLS settings for "https" (trusted certificates, protocol versions); the system defaults
  /// unless set. Read at start.
  void setSslConfiguration(const QSslConfiguration& configuration) { m_ssl = configuration; }
  void resetSslConfiguration() { m_ssl.reset(); }
  /// A PEM file of certificates trusted for "https" beside the system's, such as a self-signed
  /// server's own certificate; empty for none. Read at start; an unreadable file is reported
  /// through errorOccurred and the run uses the system's certificates alone.
  [[nodiscard]] const std::string& caFile() const { return m_caFile; }
  void setCaFile(std::string file) { m_caFile = std::move(file); }

  static constexpr int kDefaultTimeout = 30000;

  /// Where the positions wait; in memory (lost at exit) until a file is opened. Throws
  /// UploadQueueError and keeps the current queue when the file cannot be opened.
  void openQueue(const std::filesystem::path& file);
  [[nodiscard]] const UploadQueue& queue() const { return *m_queue; }
  /// At most this many positions wait; when full, the oldest are dropped (and reported).
  void setQueueCapacity(std::int64_t capacity) { m_queue->setCapacity(capacity); }
  /// Positions waiting for the server's acknowledgement, the one being posted included.
  [[nodiscard]] std::int64_t queueLength() const { return m_queue->size(); }
  /// True while a failed post waits for its next try.
  [[nodiscard]] bool retryPending() const { return m_retryTimer.isActive(); }
  /// The pause after the last failure in a row, in milliseconds; 0 after a success.
  [[nodiscard]] int retryDelay() const { return m_retryDelay; }
  /// The pause after the first failure in a row and the longest pause, in milliseconds.
  void setRetryDelays(int firstMs, int maxMs);
  static constexpr int kFirstRetryDelay = 1000;
  static constexpr int kMaxRetryDelay = 60000;

  /// Where the next post goes: "<scheme>://<host>:<port>/<postFile>".
  [[nodiscard]] QUrl url() const;
  /// The track id of this run (32 upper-case hexadecimal digits); empty when stopped.
  [[nodiscard]] const std::string& trackId() const { return m_trackId; }
  /// True between a start that set up a client and the next stop.
  [[nodiscard]] bool isRunning() const { return m_manager != nullptr; }
  /// Posts whose answer has not arrived yet: 0 or 1.
  [[nodiscard]] int pendingPosts() const { return m_inFlight != nullptr ? 1 : 0; }
  /// Runs the event loop until the post under way is answered, at most `milliseconds`; true when
  /// none is left. For the program's end: a post the server has stored but whose answer is never
  /// read would stay queued and be posted again at the next start.
  bool waitForPending(int milliseconds);

  void addPosition(const PositionInfo& position) override;
  void start() override;
  void stop() override;

 signals:
  /// A post failed, or the full queue dropped its oldest positions; the message says why and what
  /// became of the position (written as "HTTP ERROR: %s").
  void errorOccurred(const QString& message);
  /// The queue grew or shrank, or a retry began to wait.
  void queueLengthChanged(qint64 length);

 private:
  // Posts the oldest queued position unless a post is under way or a retry waits.
  void sendNext();
  void post(const QueuedPost& queued);
  void finished(QNetworkReply* reply);

  HttpProtocol m_protocol = hpHttp;
  std::string m_host;
  quint16 m_port = 0;
  std::string m_postFile;
  bool m_httpAuth = false;
  std::string m_authUser;
  std::string m_authPass;
  std::shared_ptr<ProxySettings> m_proxy;
  int m_timeout = 1000;
  std::string m_agent = defaultAgent();
  std::optional<QSslConfiguration> m_ssl;  // the system defaults when empty
  std::string m_caFile;

  // What the run was started with.
  QNetworkAccessManager* m_manager = nullptr;  // child; exists while running
  std::string m_trackId;
  QByteArray m_runAgent;
  int m_runTimeout = 0;
  std::optional<QSslConfiguration> m_runSsl;
  std::unique_ptr<UploadQueue> m_queue;
  QNetworkReply* m_inFlight = nullptr;  // child of its run's manager, which may have stopped
  std::int64_t m_inFlightId = 0;
  QTimer m_retryTimer;
  int m_firstRetryDelay = kFirstRetryDelay;
  int m_maxRetryDelay = kMaxRetryDelay;
  int m_retryDelay = 0;        // the last pause; 0 after a success
  std::int64_t m_dropped = 0;  // oldest positions dropped since the queue was last not full
};

}  // namespace geomuxer
