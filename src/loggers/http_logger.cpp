#include "loggers/http_logger.h"

#include <QHttpMultiPart>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSysInfo>
#include <QUuid>

#include <algorithm>

#include "core/date_time.h"
#include "core/number_text.h"
#include "core/position_fields.h"

namespace geomuxer {

namespace {

Q_LOGGING_CATEGORY(lcHttp, "geomuxer.http")

// A server that asks for a longer pause than this is asked again after this long.
constexpr int kMaxRetryAfter = 3600;

// The operating system as a user agent comment: its name and version, then the kernel's.
std::string osText() {
  const QString product = QSysInfo::prettyProductName();
  const QString kernel = QSysInfo::kernelType();
  if (product.isEmpty() && kernel.isEmpty()) return "Unknown";
  QString text = product.isEmpty() ? QStringLiteral("Unknown") : product;
  if (!kernel.isEmpty()) text += QStringLiteral(", ") + kernel + QLatin1Char(' ') + QSysInfo::kernelVersion();
  return text.trimmed().toStdString();
}

void addNumber(std::vector<FormField>& fields, std::string_view name, float value) {
  fields.emplace_back(std::string(name), formatGeneral(static_cast<double>(value)));
}

// Letters and digits only, so the boundary needs no quoting in the content type; a fresh one per
// post, so that no value can contain it by chance.
QByteArray newBoundary() {
  return QByteArrayLiteral("----GeomuxerFormBoundary") + QUuid::createUuid().toByteArray(QUuid::Id128);
}

}  // namespace

std::vector<FormField> uploadFields(const PositionInfo& p, const std::string& user, const std::string& trackId) {
  std::vector<FormField> fields;
  fields.reserve(15);
  fields.emplace_back("user", user);
  fields.emplace_back("trackid", trackId);
  fields.emplace_back("datetime", formatIsoTime(p.time));
  addNumber(fields, "lat", p.y);
  addNumber(fields, "lon", p.x);
  for (const auto& m : kMeasurementFields)
    if (p.has(m.field)) addNumber(fields, m.name, p.*m.member);
  if (p.has(defSatellites)) fields.emplace_back("satellites", std::to_string(p.satellites));
  return fields;
}

const std::string& HttpLogger::defaultAgent() {
  static const std::string agent =
      "Mozilla/3.0 (compatible; Geomuxer/" GEOMUXER_VERSION "; " + osText() + ")";
  return agent;
}

HttpLogger::HttpLogger(QObject* parent) : QObject(parent) {}

// The manager is a child: destroying it abandons any post under way without reporting it.
HttpLogger::~HttpLogger() = default;

QUrl HttpLogger::url() const {
  const QString text = QStringLiteral("%1://%2:%3/%4")
                           .arg(m_protocol == hpHttps ? QStringLiteral("https") : QStringLiteral("http"),
                                QString::fromStdString(m_host))
                           .arg(m_port)
                           .arg(QString::fromStdString(m_postFile));
  return QUrl(text);
}

void HttpLogger::start() {
  if (!active()) return;
  m_trackId = QUuid::createUuid().toString(QUuid::Id128).toUpper().toStdString();
  if (filter() != nullptr) filter()->reset();
  if (m_manager != nullptr) return;

  QNetworkProxy proxy(QNetworkProxy::NoProxy);
  if (m_proxy) {
    m_proxy->load();
    // Settings that were never loaded must not send positions past a proxy the user configured.
    if (!m_proxy->enabled()) {
      qCDebug(lcHttp) << "proxy settings not enabled; not uploading in this run";
      return;
    }
    if (m_proxy->useProxy()) {
      proxy = QNetworkProxy(QNetworkProxy::HttpProxy, QString::fromStdString(m_proxy->host()), m_proxy->port());
      if (m_proxy->useAuth()) {
        proxy.setUser(QString::fromStdString(m_proxy->username()));
        proxy.setPassword(QString::fromStdString(m_proxy->password()));
      }
    }
  }

  m_manager = new QNetworkAccessManager(this);
  m_manager->setProxy(proxy);
  m_manager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
  m_manager->setCookieJar(new QNetworkCookieJar(m_manager));
  m_runAgent = QByteArray::fromStdString(m_agent);
  m_runTimeout = m_timeout > 0 ? m_timeout : kDefaultTimeout;
  // Taken here rather than in the constructor: the TLS backend loads only once the application exists.
  QSslConfiguration ssl = m_ssl ? *m_ssl : QSslConfiguration::defaultConfiguration();
  if (!m_caFile.empty()) {
    const QString file = QString::fromStdString(m_caFile);
    const QList<QSslCertificate> certificates =
        QSslCertificate::fromPath(file, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
    if (certificates.isEmpty()) {
      emit errorOccurred(QStringLiteral("No certificate could be read from the CA file \"%1\"").arg(file));
    } else {
      ssl.addCaCertificates(certificates);
    }
  }
  m_runSsl = ssl;
  m_retry.reset();
  m_waiting.reset();
  m_retryNotBefore = QDeadlineTimer(0);
}

void HttpLogger::addPosition(const PositionInfo& position) {
  if (m_manager == nullptr || !active()) return;
  if (filter() != nullptr && !filter()->accept(position)) return;
  if (m_inFlight != nullptr || m_retry) {
    m_waiting = position;  // the newest replaces one that was waiting
    if (m_inFlight == nullptr && m_retryNotBefore.hasExpired()) post(*m_retry, true);
    return;
  }
  post(position, false);
}

void HttpLogger::post(const PositionInfo& position, bool isRetry) {
  QNetworkRequest request(url());
  request.setRawHeader("User-Agent", m_runAgent);
  request.setTransferTimeout(m_runTimeout);
  if (m_protocol == hpHttps) request.setSslConfiguration(*m_runSsl);
  // Sent with the first request rather than after a challenge: the position server refuses a
  // post without credentials instead of asking for them.
  if (m_httpAuth) {
    const QByteArray credentials = QByteArray::fromStdString(m_authUser + ':' + m_authPass);
    request.setRawHeader("Authorization", "Basic " + credentials.toBase64());
  }

  auto* form = new QHttpMultiPart(QHttpMultiPart::FormDataType);
  const QByteArray boundary = newBoundary();
  form->setBoundary(boundary);
  for (const auto& [name, value] : uploadFields(position, m_authUser, m_trackId)) {
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentDispositionHeader,
                   QByteArray("form-data; name=\"" + QByteArray::fromStdString(name) + '"'));
    part.setBody(QByteArray::fromStdString(value));
    form->append(part);
  }
  request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("multipart/form-data; boundary=" + boundary));

  QNetworkReply* reply = m_manager->post(request, form);
  form->setParent(reply);
  m_inFlight = reply;
  m_inFlightPosition = position;
  m_inFlightIsRetry = isRetry;
  // The manager as context: once stop has let go of it, its replies report nothing.
  connect(reply, &QNetworkReply::finished, m_manager, [this, reply] { finished(reply); });
}

void HttpLogger::finished(QNetworkReply* reply) {
  reply->deleteLater();
  if (reply != m_inFlight) return;
  m_inFlight = nullptr;
  const bool wasRetry = m_inFlightIsRetry;
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

  if (reply->error() == QNetworkReply::NoError) {
    if (wasRetry) m_retry.reset();
  } else {
    QString message;
    if (status > 0) {
      message = QStringLiteral("The server answered %1 %2")
                    .arg(status)
                    .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    } else if (reply->error() == QNetworkReply::OperationCanceledError) {
      // Only the transfer time-out cancels a post while the run goes on.
      message = QStringLiteral("Connection timed out");
    } else {
      message = reply->errorString();
    }
    // Anything but a refusal of the request itself may pass at a later try.
    const bool keep = status < 400 || status >= 500 || status == 401 || status == 403 || status == 407 ||
                      status == 408 || status == 429;
    if (keep) {
      m_retry = m_inFlightPosition;
      bool ok = false;
      const int seconds = reply->rawHeader("Retry-After").trimmed().toInt(&ok);
      m_retryNotBefore = QDeadlineTimer(ok && seconds > 0 ? std::min(seconds, kMaxRetryAfter) * 1000LL : 0);
      message += QStringLiteral("; the position is kept for the next try");
    } else {
      if (wasRetry) m_retry.reset();
      message += QStringLiteral("; the position is dropped");
    }
    qCDebug(lcHttp) << "post failed:" << message;
    if (filter() != nullptr) filter()->reset();
    emit errorOccurred(message);
    if (m_manager == nullptr || m_retry) return;  // stopped meanwhile, or the next try waits
  }
  if (m_retry) {
    if (m_retryNotBefore.hasExpired()) post(*m_retry, true);
  } else if (m_waiting) {
    const PositionInfo next = *m_waiting;
    m_waiting.reset();
    post(next, false);
  }
}

void HttpLogger::stop() {
  m_trackId.clear();
  m_inFlight = nullptr;
  m_retry.reset();
  m_waiting.reset();
  if (m_manager == nullptr) return;
  QNetworkAccessManager* manager = std::exchange(m_manager, nullptr);
  // Later, not now: stop may be reached from a handler of one of its replies.
  const auto replies = manager->findChildren<QNetworkReply*>();
  for (QNetworkReply* reply : replies) {
    QObject::disconnect(reply, nullptr, manager, nullptr);
    reply->abort();
  }
  manager->deleteLater();
}

}  // namespace geomuxer
