#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <string>
#include <vector>

#include "loggers/http_logger.h"
#include "loggers/proxy_settings.h"
#include "support/qt_event_loop.h"
#include "support/temp_dir.h"
#include "tiny_proxy.h"
#include "upload_test_server.h"

namespace geomuxer {
namespace {

using test::ReceivedPost;
using test::UploadTestServer;
using test::waitUntil;
using Names = std::vector<std::string>;

const Names kBasicNames{"user", "trackid", "datetime", "lat", "lon"};

PositionInfo at(int second) {
  PositionInfo p;
  p.time = *makeDateTime({.year = 2024, .month = 5, .day = 1, .hour = 10, .minute = 20, .second = second});
  p.y = 47.26962f;
  p.x = 0.0f;
  p.fields = {defTime, defXY};
  return p;
}

// Posts go to a local server; the filter would let only one position in ten seconds through.
class HttpUpload : public ::testing::Test {
 protected:
  void SetUp() override {
    test::qtApp();
    ASSERT_TRUE(server.valid()) << "no local HTTP server";
    configure(logger, server.port());
    filter.setRecordMode(rmTime);
    logger.setFilter(&filter);
  }

  static void configure(HttpLogger& l, int port) {
    l.setHost("127.0.0.1");
    l.setPort(static_cast<quint16>(port));
    l.setPostFile("onclientpos");
    l.setActive(true);
  }

  // Every post of the run has been answered (or has failed).
  [[nodiscard]] bool settled() { return waitUntil([this] { return logger.pendingPosts() == 0; }); }

  UploadTestServer server;
  TracklogFilter filter;
  HttpLogger logger;
  QSignalSpy errors{&logger, &HttpLogger::errorOccurred};
};

TEST_F(HttpUpload, PostsTheFormWithAgentTypeAndCredentials) {
  logger.setHttpAuth(true);
  logger.setAuthUser("alice");
  logger.setAuthPass("s3cret");
  logger.start();
  PositionInfo full = at(30);
  full.speed = 12.5f;
  full.satellites = 9;
  full.fields = {defTime, defXY, defSpeed, defSatellites, defHDOP};
  logger.addPosition(full);
  ASSERT_TRUE(waitUntil([&] { return server.count() == 1; }));
  ASSERT_TRUE(settled());
  EXPECT_EQ(errors.count(), 0);

  const ReceivedPost post = server.posts().at(0);
  EXPECT_EQ(post.path, "/onclientpos");
  EXPECT_EQ(post.header("User-Agent"), HttpLogger::defaultAgent());
  EXPECT_EQ(post.header("Authorization"), "Basic YWxpY2U6czNjcmV0");
  EXPECT_EQ(post.header("Content-Type").rfind("multipart/form-data; boundary=", 0), 0u) << post.header("Content-Type");
  EXPECT_EQ(post.names(), (Names{"user", "trackid", "datetime", "lat", "lon", "speed", "satellites"}));
  EXPECT_EQ(post.field("user"), "alice");
  EXPECT_EQ(post.field("trackid"), logger.trackId());
  EXPECT_EQ(post.field("datetime"), "2024-05-01T10:20:30Z");
  EXPECT_EQ(post.field("lat"), "47.2696189880371");
  EXPECT_EQ(post.field("lon"), "0");
  EXPECT_EQ(post.field("speed"), "12.5");
  EXPECT_EQ(post.field("satellites"), "9");

  // Credentials and user are read at each post.
  logger.setHttpAuth(false);
  logger.setAuthUser("");
  filter.reset();
  logger.addPosition(at(31));
  ASSERT_TRUE(waitUntil([&] { return server.count() == 2; }));
  const ReceivedPost second = server.posts().at(1);
  EXPECT_FALSE(second.hasHeader("Authorization"));
  EXPECT_EQ(second.names(), kBasicNames);
  EXPECT_EQ(second.field("user"), "") << "the field is sent even when empty";
  logger.stop();
}

TEST_F(HttpUpload, OneTrackIdPerRunAndOnlyWhatTheFilterPasses) {
  logger.start();
  logger.addPosition(at(0));
  logger.addPosition(at(1));   // within ten seconds: filtered out
  logger.addPosition(at(11));
  ASSERT_TRUE(waitUntil([&] { return server.count() == 2; }));
  ASSERT_TRUE(settled());
  logger.stop();
  logger.start();
  logger.addPosition(at(12));  // the filter was reset by the start
  ASSERT_TRUE(waitUntil([&] { return server.count() == 3; }));
  ASSERT_TRUE(settled());
  logger.stop();

  const auto posts = server.posts();
  EXPECT_EQ(posts[0].field("datetime"), "2024-05-01T10:20:00Z");
  EXPECT_EQ(posts[1].field("datetime"), "2024-05-01T10:20:11Z");
  EXPECT_EQ(posts[0].field("trackid"), posts[1].field("trackid"));
  EXPECT_NE(posts[1].field("trackid"), posts[2].field("trackid"));
  EXPECT_EQ(posts[2].field("trackid").size(), 32u);
  EXPECT_EQ(errors.count(), 0);
}

TEST_F(HttpUpload, FollowsRedirectsAndKeepsCookiesWithinARun) {
  server.setResponder([](const ReceivedPost& post, httplib::Response& response) {
    if (post.path == "/onclientpos") {
      response.status = 307;
      response.set_header("Location", "/moved");
    }
    response.set_header("Set-Cookie", "session=run1; Path=/");
  });
  logger.start();
  logger.addPosition(at(0));
  ASSERT_TRUE(waitUntil([&] { return server.count() == 2; }));
  ASSERT_TRUE(settled());
  EXPECT_EQ(errors.count(), 0);
  logger.addPosition(at(20));
  ASSERT_TRUE(waitUntil([&] { return server.count() == 4; }));
  ASSERT_TRUE(settled());
  logger.stop();

  const auto posts = server.posts();
  EXPECT_EQ(posts[1].path, "/moved");
  EXPECT_EQ(posts[1].names(), kBasicNames) << "the form is sent again to the new place";
  EXPECT_FALSE(posts[0].hasHeader("Cookie"));
  EXPECT_EQ(posts[2].header("Cookie"), "session=run1");
}

// Each failure is reported once and resets the filter, so the next position is posted although
// it lies within the filter's interval; a position the server may take later is posted again
// after a pause, before any newer one; one it refused for good is dropped.
struct FailureCase {
  const char* name;
  int status;        // answer of the server; 0: the post times out
  const char* text;  // part of the message
  bool kept;
};

class HttpUploadFailure : public HttpUpload, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(HttpUploadFailure, ReportsOnceResetsTheFilterAndKeepsWhatMayPassLater) {
  const FailureCase& c = GetParam();
  logger.setRetryDelays(300, 300);
  if (c.status == 0) {
    server.hold();
    logger.setTimeout(300);
  } else {
    server.setResponder([&](const ReceivedPost&, httplib::Response& r) { r.status = c.status; });
  }
  logger.start();
  logger.addPosition(at(0));
  ASSERT_TRUE(waitUntil([&] { return errors.count() >= 1; }));
  ASSERT_TRUE(settled());
  EXPECT_EQ(errors.count(), 1);
  const QString message = errors.at(0).at(0).toString();
  EXPECT_TRUE(message.contains(QString::fromUtf8(c.text), Qt::CaseInsensitive)) << message.toStdString();
  EXPECT_TRUE(message.contains(c.kept ? "kept for the next try in 1 s (1 waiting)" : "; the position is dropped"))
      << message.toStdString();
  EXPECT_EQ(logger.queueLength(), c.kept ? 1 : 0);
  EXPECT_EQ(logger.retryPending(), c.kept);
  EXPECT_TRUE(filter.lastPosition().fields.empty());

  server.setResponder({});
  server.release();
  const std::size_t before = server.count();
  logger.addPosition(at(1));
  const std::size_t expected = before + (c.kept ? 2 : 1);
  ASSERT_TRUE(waitUntil([&] { return server.count() == expected; }));
  ASSERT_TRUE(settled());
  EXPECT_EQ(errors.count(), 1);
  EXPECT_EQ(logger.queueLength(), 0);
  const auto posts = server.posts();
  if (c.kept) {
    EXPECT_EQ(posts.at(before).field("datetime"), "2024-05-01T10:20:00Z");
  }
  EXPECT_EQ(posts.back().field("datetime"), "2024-05-01T10:20:01Z");
  logger.stop();
}

INSTANTIATE_TEST_SUITE_P(Answers, HttpUploadFailure,
                         ::testing::Values(FailureCase{"Unauthorized", 401, "401", true},
                                           FailureCase{"NotStored", 503, "503 Service Unavailable", true},
                                           FailureCase{"ServerError", 500, "500", true},
                                           FailureCase{"TimedOut", 0, "timed out", true},
                                           FailureCase{"WrongPath", 404, "404", true},
                                           FailureCase{"RefusedRequest", 413, "413", false},
                                           FailureCase{"BadRequest", 400, "400", false}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(HttpUpload, OnePostAtATimeAndEveryPositionWaitsItsTurn) {
  logger.setFilter(nullptr);  // every position counts
  QSignalSpy lengths(&logger, &HttpLogger::queueLengthChanged);
  server.hold();
  logger.start();
  logger.addPosition(at(0));
  ASSERT_TRUE(waitUntil([&] { return server.count() == 1; }));
  for (int second = 11; second <= 51; second += 10) logger.addPosition(at(second));
  test::spin(std::chrono::milliseconds(100));
  EXPECT_EQ(server.count(), 1u);
  EXPECT_EQ(logger.pendingPosts(), 1);
  EXPECT_EQ(logger.queueLength(), 6);
  EXPECT_EQ(lengths.count(), 6);
  server.release();
  ASSERT_TRUE(waitUntil([&] { return server.count() == 6 && logger.queueLength() == 0; }));
  std::vector<std::string> times;
  for (const ReceivedPost& post : server.posts()) times.push_back(post.field("datetime").substr(17, 2));
  EXPECT_EQ(times, (Names{"00", "11", "21", "31", "41", "51"}));
  EXPECT_EQ(errors.count(), 0);
  EXPECT_EQ(lengths.last().at(0).toLongLong(), 0);
  logger.stop();
}

TEST_F(HttpUpload, RetryAfterHoldsTheNextTryBackAndStopKeepsTheQueue) {
  logger.setFilter(nullptr);  // every position counts
  server.setResponder([](const ReceivedPost&, httplib::Response& r) {
    r.status = 503;
    r.set_header("Retry-After", "3600");
  });
  logger.start();
  logger.addPosition(at(0));
  ASSERT_TRUE(waitUntil([&] { return errors.count() == 1; }));
  server.setResponder({});
  logger.addPosition(at(1));
  logger.addPosition(at(2));
  test::spin(std::chrono::milliseconds(100));
  EXPECT_EQ(server.count(), 1u);
  EXPECT_TRUE(logger.retryPending());
  EXPECT_EQ(logger.queueLength(), 3);
  logger.stop();
  EXPECT_EQ(logger.queueLength(), 3);
  // The next run sends what waited first, at once.
  logger.start();
  logger.addPosition(at(3));
  ASSERT_TRUE(waitUntil([&] { return server.count() == 5 && logger.queueLength() == 0; }));
  const auto posts = server.posts();
  for (int i = 1; i < 5; ++i) EXPECT_EQ(posts[static_cast<std::size_t>(i)].field("datetime").substr(17, 2), "0" + std::to_string(i - 1));
  logger.stop();
}

// Failures in a row double the pause up to its bound; a success starts again from the first.
TEST_F(HttpUpload, PausesGrowWhileTheServerFails) {
  logger.setRetryDelays(20, 80);
  server.setResponder([](const ReceivedPost&, httplib::Response& r) { r.status = 500; });
  logger.start();
  logger.addPosition(at(0));
  std::vector<int> delays;
  for (int failures = 1; failures <= 4; ++failures) {
    ASSERT_TRUE(waitUntil([&] { return errors.count() == failures; }));
    delays.push_back(logger.retryDelay());
  }
  EXPECT_EQ(delays, (std::vector<int>{20, 40, 80, 80}));
  server.setResponder({});
  ASSERT_TRUE(waitUntil([&] { return logger.queueLength() == 0; }));
  EXPECT_EQ(logger.retryDelay(), 0);
  logger.stop();
}

// The server goes away and comes back on the same port; every position accepted meanwhile
// arrives, in order, once.
TEST_F(HttpUpload, OutageLosesNothingAndRepeatsNothing) {
  logger.setFilter(nullptr);  // every position counts
  logger.setRetryDelays(20, 100);
  auto second = std::make_unique<UploadTestServer>();
  configure(logger, second->port());
  logger.start();
  logger.addPosition(at(0));
  ASSERT_TRUE(waitUntil([&] { return second->count() == 1 && logger.queueLength() == 0; }));
  const int downPort = second->port();
  second.reset();  // the outage
  for (int s = 11; s <= 51; s += 10) logger.addPosition(at(s));
  ASSERT_TRUE(waitUntil([&] { return errors.count() >= 2; }));
  EXPECT_EQ(logger.queueLength(), 5);
  second = std::make_unique<UploadTestServer>(std::string(), std::string(), downPort);
  ASSERT_TRUE(second->valid());
  ASSERT_TRUE(waitUntil([&] { return logger.queueLength() == 0; }, std::chrono::seconds(10)));
  std::vector<std::string> times;
  for (const ReceivedPost& post : second->posts()) times.push_back(post.field("datetime").substr(17, 2));
  EXPECT_EQ(times, (Names{"11", "21", "31", "41", "51"}));
  logger.stop();
}

// A queue file keeps what waits across loggers (program runs); a full queue drops its oldest and
// says so once.
TEST_F(HttpUpload, QueueFileOutlivesTheLoggerAndIsBounded) {
  logger.setFilter(nullptr);  // every position counts
  test::TempDir dir;
  const quint16 down = test::freeLoopbackPort();
  {
    HttpLogger first;
    configure(first, down);
    first.openQueue(dir / "queue.db");
    first.setQueueCapacity(3);
    QSignalSpy firstErrors(&first, &HttpLogger::errorOccurred);
    first.start();
    for (int s = 0; s < 5; ++s) first.addPosition(at(s));
    EXPECT_EQ(first.queueLength(), 3);
    ASSERT_GE(firstErrors.count(), 1);
    EXPECT_TRUE(firstErrors.at(0).at(0).toString().startsWith("The upload queue is full (3 positions); 1 of the oldest"))
        << firstErrors.at(0).at(0).toString().toStdString();
    int fullMessages = 0;
    for (const auto& e : firstErrors) fullMessages += e.at(0).toString().startsWith("The upload queue is full") ? 1 : 0;
    EXPECT_EQ(fullMessages, 1);
    first.stop();
  }
  logger.openQueue(dir / "queue.db");
  EXPECT_EQ(logger.queueLength(), 3);
  logger.start();
  logger.addPosition(at(30));
  ASSERT_TRUE(waitUntil([&] { return server.count() == 4 && logger.queueLength() == 0; }));
  std::vector<std::string> times;
  for (const ReceivedPost& post : server.posts()) times.push_back(post.field("datetime").substr(17, 2));
  EXPECT_EQ(times, (Names{"02", "03", "04", "30"}));
  logger.stop();
}

TEST(HttpUploadRefused, ReportsOnceAndResetsTheFilter) {
  test::qtApp();
  const quint16 port = test::freeLoopbackPort();
  ASSERT_NE(port, 0);
  TracklogFilter filter;
  HttpLogger logger;
  logger.setHost("127.0.0.1");
  logger.setPort(port);
  logger.setPostFile("onclientpos");
  logger.setFilter(&filter);
  logger.setActive(true);
  QSignalSpy errors(&logger, &HttpLogger::errorOccurred);
  logger.start();
  logger.addPosition(at(0));
  ASSERT_TRUE(waitUntil([&] { return logger.pendingPosts() == 0; }));
  ASSERT_EQ(errors.count(), 1);
  EXPECT_TRUE(errors.at(0).at(0).toString().contains("refused", Qt::CaseInsensitive))
      << errors.at(0).at(0).toString().toStdString();
  EXPECT_TRUE(filter.lastPosition().fields.empty());
  logger.stop();
}

// Stopping lets the post under way be answered: it is not posted again at the next start.
TEST_F(HttpUpload, StopLetsThePostUnderWayFinish) {
  server.hold();
  logger.start();
  logger.addPosition(at(0));
  ASSERT_TRUE(waitUntil([&] { return server.count() == 1; }));
  logger.stop();
  server.release();
  ASSERT_TRUE(logger.waitForPending(5000));  // as the program's end does
  EXPECT_EQ(logger.queueLength(), 0);
  EXPECT_EQ(errors.count(), 0);

  logger.start();
  logger.addPosition(at(1));
  ASSERT_TRUE(waitUntil([&] { return server.count() == 2; }));
  ASSERT_TRUE(settled());
  test::spin(std::chrono::milliseconds(100));
  logger.stop();
  EXPECT_EQ(server.count(), 2u);
  EXPECT_EQ(server.posts().at(1).field("datetime"), "2024-05-01T10:20:01Z");
  EXPECT_EQ(errors.count(), 0);
}

// ---- TLS -------------------------------------------------------------------------------------

// A self-signed certificate for 127.0.0.1, made with the openssl program.
class HttpsUpload : public ::testing::Test {
 protected:
  void SetUp() override {
    test::qtApp();
    if (!QSslSocket::supportsSsl()) GTEST_SKIP() << "Qt has no TLS backend";
    const QString openssl = QStandardPaths::findExecutable("openssl");
    if (openssl.isEmpty()) GTEST_SKIP() << "the openssl program is not installed";
    ASSERT_TRUE(dir.isValid());
    cert = dir.filePath("cert.pem").toStdString();
    key = dir.filePath("key.pem").toStdString();
    QProcess p;
    p.start(openssl, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                      "-keyout", QString::fromStdString(key), "-out", QString::fromStdString(cert), "-days", "2",
                      "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    ASSERT_TRUE(p.waitForFinished(30000));
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    server = std::make_unique<UploadTestServer>(cert, key);
    ASSERT_TRUE(server->valid());
    logger.setHost("127.0.0.1");
    logger.setPort(static_cast<quint16>(server->port()));
    logger.setPostFile("onclientpos");
    logger.setProtocol(hpHttps);
    logger.setActive(true);
  }

  QTemporaryDir dir;
  std::string cert, key;
  std::unique_ptr<UploadTestServer> server;
  HttpLogger logger;
  QSignalSpy errors{&logger, &HttpLogger::errorOccurred};
};

TEST_F(HttpsUpload, PostsOverTlsToATrustedServerAndRefusesAnUntrustedOne) {
  logger.start();
  logger.addPosition(at(0));
  ASSERT_TRUE(waitUntil([&] { return logger.pendingPosts() == 0; }));
  ASSERT_EQ(errors.count(), 1) << "a self-signed certificate is not trusted by default";
  EXPECT_EQ(server->count(), 0u);
  logger.stop();

  QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
  tls.setCaCertificates(QSslCertificate::fromPath(QString::fromStdString(cert)));
  logger.setSslConfiguration(tls);
  logger.start();
  logger.addPosition(at(1));
  // The position the untrusted server never got goes first.
  ASSERT_TRUE(waitUntil([&] { return server->count() == 2; }));
  ASSERT_TRUE(waitUntil([&] { return logger.queueLength() == 0; }));
  logger.stop();
  EXPECT_EQ(errors.count(), 1);
  EXPECT_EQ(server->posts().at(0).field("datetime"), "2024-05-01T10:20:00Z");
  EXPECT_EQ(server->posts().at(1).field("datetime"), "2024-05-01T10:20:01Z");
}

TEST_F(HttpsUpload, TrustsTheCertificateNamedAsCaFile) {
  logger.setCaFile(dir.filePath("missing.pem").toStdString());
  logger.start();
  ASSERT_EQ(errors.count(), 1);
  EXPECT_TRUE(errors.at(0).at(0).toString().contains("missing.pem")) << errors.at(0).at(0).toString().toStdString();
  logger.stop();

  logger.setCaFile(cert);
  logger.start();
  logger.addPosition(at(2));
  ASSERT_TRUE(waitUntil([&] { return server->count() == 1; }));
  ASSERT_TRUE(waitUntil([&] { return logger.pendingPosts() == 0; }));
  logger.stop();
  EXPECT_EQ(errors.count(), 1);
}

// ---- Proxy -----------------------------------------------------------------------------------

class ProxiedUpload : public HttpUpload {
 protected:
  // Proxy settings as the controller's loader would fill them.
  std::shared_ptr<ProxySettings> proxyAt(quint16 port, std::string user, std::string pass) {
    return std::make_shared<ProxySettings>([=](ProxySettings& p) {
      p.setEnabled(true);
      p.setHost("127.0.0.1");
      p.setPort(port);
      p.setUsername(user);
      p.setPassword(pass);
    });
  }
  test::TinyProxy proxy;
};

TEST_F(ProxiedUpload, GoesThroughAProxyWithAHost) {
  if (const std::string why = proxy.start(); !why.empty()) GTEST_SKIP() << why;
  logger.setProxySettings(proxyAt(proxy.port(), "", ""));
  logger.start();
  logger.addPosition(at(0));
  ASSERT_TRUE(waitUntil([&] { return server.count() == 1; }));
  ASSERT_TRUE(settled());
  logger.stop();
  EXPECT_EQ(errors.count(), 0);
  const ReceivedPost post = server.posts().at(0);
  EXPECT_NE(post.header("Via").find("tinyproxy"), std::string::npos) << "Via: " << post.header("Via");
  EXPECT_EQ(post.names(), kBasicNames);
}

TEST_F(ProxiedUpload, SendsProxyCredentialsWhenAUserIsSet) {
  if (const std::string why = proxy.start("carol", "pr0xy"); !why.empty()) GTEST_SKIP() << why;
  logger.setProxySettings(proxyAt(proxy.port(), "carol", "pr0xy"));
  logger.start();
  logger.addPosition(at(0));
  ASSERT_TRUE(waitUntil([&] { return server.count() == 1; }));
  ASSERT_TRUE(settled());
  logger.stop();
  EXPECT_EQ(errors.count(), 0);
  EXPECT_NE(server.posts().at(0).header("Via").find("tinyproxy"), std::string::npos);

  // Without a user name no credentials go to the proxy, which refuses the post.
  logger.setProxySettings(proxyAt(proxy.port(), "", ""));
  logger.start();
  logger.addPosition(at(1));
  ASSERT_TRUE(waitUntil([&] { return errors.count() >= 1; }));
  ASSERT_TRUE(settled());
  logger.stop();
  EXPECT_EQ(errors.count(), 1);
  EXPECT_EQ(server.count(), 1u);
}

}  // namespace
}  // namespace geomuxer
