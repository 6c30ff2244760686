#include "loggers/http_logger.h"

#include <QEventLoop>
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
  fields.reserve(16);
  fields.emplace_back("user", user);
  fields.emplace_back("trackid", trackId);
  fields.emplace_back("datetime", formatIsoTime(p.time));
  addNumber(fields, "lat", p.y);
  addNumber(fields, "lon", p.x);
  for (const auto& m : kMeasurementFields)
    if (p.has(m.field)) addNumber(fields, m.name, p.*m.member);
  if (p.has(defSatellites)) fields.emplace_back("satellites", std::to_string(p.satellites));
  // "datetime" stays in whole seconds, the form receivers read; the milliseconds follow on their
  // own, only for a time that has them.
  if (const int ms = splitDateTime(p.time).millisecond; ms != 0) fields.emplace_back("msec", std::to_string(ms));
  return fields;
}

const std::string& HttpLogger::defaultAgent() {
  static const std::string agent =
      "Mozilla/3.0 (compatible; Geomuxer/" GEOMUXER_VERSION "; " + osText() + ")";
  return agent;
}

HttpLogger::HttpLogger(QObject* parent) : QObject(parent), m_queue(std::make_unique<UploadQueue>()) {
  m_retryTimer.setSingleShot(true);
  connect(&m_retryTimer, &QTimer::timeout, this, &HttpLogger::sendNext);
}

// The managers are children: destroying them abandons any post under way without reporting it;
// the position stays in the queue.
HttpLogger::~HttpLogger() = default;

void HttpLogger::openQueue(const std::filesystem::path& file) {
  auto queue = std::make_unique<UploadQueue>(file, m_queue->capacity());
  if (m_inFlight != nullptr) {
    QObject::disconnect(m_inFlight, nullptr, nullptr, nullptr);
    m_inFlight->abort();
    m_inFlight->deleteLater();
    m_inFlight = nullptr;
  }
  m_queue = std::move(queue);
  emit queueLengthChanged(m_queue->size());
  sendNext();
}

bool HttpLogger::waitForPending(int milliseconds) {
  if (m_inFlight == nullptr) return true;
  QEventLoop loop;
  QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
  // Queued, so that finished() has taken the answer before the loop ends.
  connect(m_inFlight, &QNetworkReply::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
  loop.exec();
  return m_inFlight == nullptr;
}

void HttpLogger::setRetryDelays(int firstMs, int maxMs) {
  m_firstRetryDelay = std::max(firstMs, 1);
  m_maxRetryDelay = std::max(maxMs, m_firstRetryDelay);
}

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
  // What earlier runs (or an earlier program) left goes first.
  sendNext();
}

void HttpLogger::addPosition(const PositionInfo& position) {
  if (m_manager == nullptr || !active()) return;
  if (filter() != nullptr && !filter()->accept(position)) return;
  const std::int64_t dropped = m_queue->push(uploadFields(position, m_authUser, m_trackId));
  if (dropped > 0) {
    // One line when dropping begins and one per thousand after, not one per position.
    const std::int64_t before = m_dropped;
    m_dropped += dropped;
    if (before == 0 || before / 1000 != m_dropped / 1000)
      emit errorOccurred(QStringLiteral("The upload queue is full (%1 positions); %2 of the oldest dropped so far")
                             .arg(m_queue->capacity())
                             .arg(m_dropped));
  } else {
    m_dropped = 0;
  }
  emit queueLengthChanged(m_queue->size());
  sendNext();
}

void HttpLogger::sendNext() {
  if (m_manager == nullptr || m_inFlight != nullptr || m_retryTimer.isActive()) return;
  if (std::optional<QueuedPost> next = m_queue->front()) post(*next);
}

void HttpLogger::post(const QueuedPost& queued) {
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
  for (const auto& [name, value] : queued.fields) {
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
  m_inFlightId = queued.id;
  connect(reply, &QNetworkReply::finished, this, [this, reply] { finished(reply); });
}

void HttpLogger::finished(QNetworkReply* reply) {
  reply->deleteLater();
  // A run that has stopped keeps its manager only until its last post is answered.
  if (QNetworkAccessManager* manager = reply->manager(); manager != m_manager) manager->deleteLater();
  if (reply != m_inFlight) return;
  m_inFlight = nullptr;
  const std::int64_t id = std::exchange(m_inFlightId, 0);
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

  if (reply->error() == QNetworkReply::NoError) {
    m_queue->remove(id);
    m_retryDelay = 0;
    emit queueLengthChanged(m_queue->size());
    sendNext();
    return;
  }

  QString message;
  if (status > 0) {
    message = QStringLiteral("The server answered %1 %2")
                  .arg(status)
                  .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
  } else if (reply->error() == QNetworkReply::OperationCanceledError) {
    // Only the transfer time-out cancels a post while the logger lives.
    message = QStringLiteral("Connection timed out");
  } else {
    message = reply->errorString();
  }
  // A refusal of the request itself will never pass; an answer about the account, the address or
  // the moment may pass once the user or the server has mended it.
  constexpr int kMayPassLater[] = {401, 403, 404, 405, 407, 408, 429};
  const bool keep = status < 400 || status >= 500 || std::find(std::begin(kMayPassLater), std::end(kMayPassLater),
                                                               status) != std::end(kMayPassLater);
  if (keep) {
    m_retryDelay = m_retryDelay == 0 ? m_firstRetryDelay : std::min(m_retryDelay * 2, m_maxRetryDelay);
    int delay = m_retryDelay;
    bool ok = false;
    const int seconds = reply->rawHeader("Retry-After").trimmed().toInt(&ok);
    if (ok && seconds > 0) delay = std::max(delay, std::min(seconds, kMaxRetryAfter) * 1000);
    m_retryTimer.start(delay);
    message += QStringLiteral("; the position is kept for the next try in %1 s (%2 waiting)")
                   .arg(QString::number((delay + 999) / 1000))
                   .arg(m_queue->size());
  } else {
    m_queue->remove(id);
    message += QStringLiteral("; the position is dropped");
  }
  qCDebug(lcHttp) << "post failed:" << message;
  if (filter() != nullptr) filter()->reset();
  emit errorOccurred(message);
  emit queueLengthChanged(m_queue->size());
  sendNext();
}

void HttpLogger::stop() {
  m_trackId.clear();
  m_retryTimer.stop();
  m_retryDelay = 0;
  if (m_manager == nullptr) return;
  QNetworkAccessManager* manager = std::exchange(m_manager, nullptr);
  // A post under way is answered before its manager goes: aborting it could leave the server with
  // a position that is posted again at the next start. Later, not now: stop may be reached from a
  // handler of one of its replies.
  if (m_inFlight == nullptr || m_inFlight->manager() != manager) manager->deleteLater();
}

}  // namespace geomuxer
