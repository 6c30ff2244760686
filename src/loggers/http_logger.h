#pragma once
// Posts every recorded position as a multipart form to a web server, typically the position
// server of another instance of the program.

#include <QDeadlineTimer>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/track_logger.h"
#include "loggers/proxy_settings.h"

class QNetworkAccessManager;
class QNetworkReply;

namespace geomuxer {

enum HttpProtocol : int { hpHttp = 0, hpHttps = 1 };

/// One form field: name and text value.
using FormField = std::pair<std::string, std::string>;

/// The form posted for one position, in the order it is sent: "user", "trackid", "datetime",
/// "lat" and "lon" always, then each optional member whose flag is set. Fix and dilutions are
/// never sent.
[[nodiscard]] std::vector<FormField> uploadFields(const PositionInfo& position, const std::string& user,
                                                  const std::string& trackId);

/// The HTTP upload logger. `start` makes a fresh track id and a new HTTP client for the run;
/// `addPosition` posts asynchronously and returns at once; `stop` drops the client and abandons
/// the post under way and any position kept for later.
///
/// One post at a time: a position that arrives while a post is under way waits, and a newer one
/// replaces it. A post that fails resets the filter (so the next position is offered again) and
/// emits errorOccurred; unless the server refused the request itself (a 4xx other than 401, 403,
/// 407, 408 and 429), the position is kept and posted again before any newer one at the next
/// try, which is the next position handed to the logger, but not before the server's Retry-After.
/// Main thread only.
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

  /// Where the next post goes: "<scheme>://<host>:<port>/<postFile>".
  [[nodiscard]] QUrl url() const;
  /// The track id of this run (32 upper-case hexadecimal digits); empty when stopped.
  [[nodiscard]] const std::string& trackId() const { return m_trackId; }
  /// True between a start that set up a client and the next stop.
  [[nodiscard]] bool isRunning() const { return m_manager != nullptr; }
  /// Posts sent in this run whose answer has not arrived yet: 0 or 1.
  [[nodiscard]] int pendingPosts() const { return m_inFlight != nullptr ? 1 : 0; }
  /// Positions held for a later post: one that failed, and the newest that arrived meanwhile.
  [[nodiscard]] int keptPositions() const { return (m_retry ? 1 : 0) + (m_waiting ? 1 : 0); }

  void addPosition(const PositionInfo& position) override;
  void start() override;
  void stop() override;

 signals:
  /// A post failed; the message says why and whether the position was kept (written as
  /// "HTTP ERROR: %s").
  void errorOccurred(const QString& message);

 private:
  void post(const PositionInfo& position, bool isRetry);
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
  QNetworkReply* m_inFlight = nullptr;  // child of the manager
  PositionInfo m_inFlightPosition;
  bool m_inFlightIsRetry = false;
  std::optional<PositionInfo> m_retry;    // failed, posted again first
  std::optional<PositionInfo> m_waiting;  // arrived while a post was under way
  QDeadlineTimer m_retryNotBefore;         // the server's Retry-After
};

}  // namespace geomuxer
