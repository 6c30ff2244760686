// Form bodies written by real HTTP clients (curl and Qt's QHttpMultiPart, which the upload logger
// uses), caught on a loopback socket and read back with MultipartForm.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>
#include <optional>

#include "server/multipart_form.h"
#include "support/temp_dir.h"

namespace geomuxer {
namespace {

QCoreApplication& app() {
  static int argc = 1;
  static char name[] = "geomuxer_server_interop_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication instance(argc, argv);
  return instance;
}

struct CapturedRequest {
  std::string contentType;
  std::string body;
};

// Takes one HTTP request with a Content-Length body on 127.0.0.1 and answers 200.
class RequestCatcher {
 public:
  RequestCatcher() {
    QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
      QTcpSocket* socket = m_server.nextPendingConnection();
      QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { read(socket); });
      QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    });
    m_listening = m_server.listen(QHostAddress::LocalHost, 0);
  }

  [[nodiscard]] bool listening() const { return m_listening; }
  [[nodiscard]] QString url() const { return QStringLiteral("http://127.0.0.1:%1/onclientpos").arg(m_server.serverPort()); }
  [[nodiscard]] const std::optional<CapturedRequest>& request() const { return m_request; }

 private:
  void read(QTcpSocket* socket) {
    m_buffer += socket->readAll();
    const auto headerEnd = m_buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0) return;
    CapturedRequest request;
    qsizetype length = 0;
    for (const QByteArray& line : m_buffer.left(headerEnd).split('\n')) {
      const QByteArray trimmed = line.trimmed();
      const auto colon = trimmed.indexOf(':');
      if (colon < 0) continue;
      const QByteArray name = trimmed.left(colon).toLower();
      const QByteArray value = trimmed.mid(colon + 1).trimmed();
      if (name == "content-type") request.contentType = value.toStdString();
      if (name == "content-length") length = value.toLongLong();
    }
    if (m_buffer.size() < headerEnd + 4 + length) return;
    request.body = m_buffer.mid(headerEnd + 4, length).toStdString();
    m_request = std::move(request);
    socket->write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    socket->disconnectFromHost();
  }

  QTcpServer m_server;
  QByteArray m_buffer;
  std::optional<CapturedRequest> m_request;
  bool m_listening = false;
};

// Runs the event loop until `done` or a generous deadline.
template <typename Done>
bool waitFor(Done done) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < 20000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  return done();
}

TEST(MultipartInterop, CurlFormBody) {
  app();
  const QString curl = QStandardPaths::findExecutable("curl");
  if (curl.isEmpty()) GTEST_SKIP() << "curl is not installed";
  test::TempDir dir;
  test::writeFile(dir / "note.txt", "  from a file\r\nsecond line\n");
  test::writeFile(dir / "blob.bin", std::string("\0\x01\x02binary", 9));

  RequestCatcher catcher;
  ASSERT_TRUE(catcher.listening());
  QProcess process;
  process.start(curl, {"-s", "-o", "/dev/null", "-H", "Expect:",
                       "-F", "lat=47.5",
                       "-F", "comment=two words",
                       "-F", "empty=",
                       "-F", QString::fromStdString("note=<" + (dir / "note.txt").string()),
                       "-F", QString::fromStdString("blob=@" + (dir / "blob.bin").string() + ";type=application/octet-stream"),
                       "-F", QString::fromStdString("text=@" + (dir / "note.txt").string() + ";type=text/plain"),
                       "-F", "Lat=ignored duplicate",
                       catcher.url()});
  ASSERT_TRUE(waitFor([&] { return catcher.request().has_value() && process.state() == QProcess::NotRunning; }))
      << process.readAllStandardError().toStdString();

  const CapturedRequest& request = *catcher.request();
  const MultipartForm form = MultipartForm::parse(request.contentType, request.body);
  ASSERT_EQ(form.size(), 6u) << request.body;
  EXPECT_EQ(form.value("lat"), "47.5");
  EXPECT_EQ(form.value("comment"), "two words");
  EXPECT_TRUE(form.contains("empty"));
  EXPECT_EQ(form.value("empty"), "");
  EXPECT_EQ(form.value("note"), "from a file\r\nsecond line");
  EXPECT_FALSE(form.contains("blob"));
  EXPECT_EQ(form.value("text"), "from a file\r\nsecond line");
  EXPECT_EQ(form.fields().back().value, "ignored duplicate");
}

TEST(MultipartInterop, QtMultipartBody) {
  app();
  RequestCatcher catcher;
  ASSERT_TRUE(catcher.listening());

  // The parts the upload logger writes: one Content-Disposition header per field, nothing else.
  const std::vector<std::pair<QString, QByteArray>> fields = {
      {"datetime", "2024-05-01T10:20:30Z"}, {"lat", "47.123"},       {"lon", "-8.5"},
      {"comment", "Gr\xc3\xbc" "ezi\r\nline two"}, {"trackid", "{6F9619FF-8B86-D011-B42D-00C04FC964FF}"},
      {"user", ""}};
  auto* multi = new QHttpMultiPart(QHttpMultiPart::FormDataType);
  for (const auto& [name, value] : fields) {
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentDispositionHeader, QStringLiteral("form-data; name=\"%1\"").arg(name));
    part.setBody(value);
    multi->append(part);
  }
  QNetworkAccessManager manager;
  QNetworkReply* reply = manager.post(QNetworkRequest(QUrl(catcher.url())), multi);
  multi->setParent(reply);
  ASSERT_TRUE(waitFor([&] { return catcher.request().has_value() && reply->isFinished(); }));
  reply->deleteLater();

  const CapturedRequest& request = *catcher.request();
  EXPECT_NE(request.contentType.find("boundary=\""), std::string::npos) << "Qt quotes its boundary";
  const MultipartForm form = MultipartForm::parse(request.contentType, request.body);
  ASSERT_EQ(form.size(), fields.size()) << request.body;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    EXPECT_EQ(form.fields()[i].name, fields[i].first.toStdString());
    EXPECT_EQ(form.fields()[i].value, fields[i].second.toStdString());
  }
}

}  // namespace
}  // namespace geomuxer
