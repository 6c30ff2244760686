// Long (about 45 s): two real headless programs. One takes positions at 10 a second from an NMEA
// feed over TCP and uploads them; the other is its position server. The server is stopped for
// 30 s, and the uploader is killed (SIGKILL) during the outage and started again. Afterwards the
// server holds every position the uploader had taken, in order, each once.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <vector>

#include "app_test_support.h"
#include "loggers/upload_queue.h"
#include "server/sqlite_store.h"
#include "server/password_hash.h"
#include "support/qt_process.h"

namespace geomuxer {
namespace {

const QString kProgram = QStringLiteral(GEOMUXER_BINARY_DIR "/src/app/geomuxer");
constexpr int kOutageMs = 30000;
constexpr int kKillAfterMs = 20000;  // into the outage
constexpr double kStep = 1e-4;       // degrees of latitude between positions, about 11 m

std::string checksummed(const std::string& body) {
  unsigned sum = 0;
  for (char c : body) sum ^= static_cast<unsigned char>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  return "$" + body + tail;
}

// Position `i`: north of 47 N by i steps, a tenth of a second after the one before.
std::string rmc(int i) {
  const int tenths = i % 36000;
  char body[128];
  const double minutes = i * kStep * 60.0;
  std::snprintf(body, sizeof body, "GPRMC,%02d%02d%02d.%d,A,47%07.4f,N,01130.0000,E,0.0,0.0,010524,,", 10 + tenths / 36000,
                tenths / 600 % 60, tenths / 10 % 60, tenths % 10, minutes);
  return checksummed(body);
}

int indexOf(double lat) { return static_cast<int>(std::lround((lat - 47.0) / kStep)); }

// The position indexes in the server's database, in storage order; read-only, beside the running
// server.
std::vector<int> storedRows(const std::filesystem::path& file) {
  std::vector<int> indexes;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* rows = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT lat FROM positions ORDER BY id", -1, &rows, nullptr) == SQLITE_OK) {
      while (sqlite3_step(rows) == SQLITE_ROW) indexes.push_back(indexOf(sqlite3_column_double(rows, 0)));
    }
    sqlite3_finalize(rows);
  }
  sqlite3_close(db);
  return indexes;
}

class Instance {
 public:
  explicit Instance(const test::TempDir& dir, std::string_view name) : m_home(dir / std::string(name)) {
    std::filesystem::create_directories(m_home / "Geomuxer");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString(m_home.string()));
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
  }
  ~Instance() {
    if (m_process.state() != QProcess::NotRunning) {
      m_process.kill();
      m_process.waitForFinished(5000);
    }
  }
  [[nodiscard]] std::filesystem::path folder() const { return m_home / "Geomuxer"; }
  void start(const QStringList& args) {
    if (m_process.isOpen()) m_output += m_process.readAll();
    m_process.start(kProgram, QStringList{"--headless"} + args);
    ASSERT_TRUE(m_process.waitForStarted(10000));
  }
  void stop() {
    m_process.terminate();
    ASSERT_TRUE(m_process.waitForFinished(20000));
    m_output += m_process.readAll();
  }
  void kill() {
    m_process.kill();  // SIGKILL
    ASSERT_TRUE(m_process.waitForFinished(5000));
    m_output += m_process.readAll();
  }
  [[nodiscard]] std::string output() {
    if (m_process.isOpen()) m_output += m_process.readAll();
    return m_output.toStdString();
  }

 private:
  std::filesystem::path m_home;
  QProcess m_process;
  QByteArray m_output;
};

TEST(UploadOutage, Long_ServerAwayAndUploaderKilledLosesNothingAndRepeatsNothing) {
  test::qtApp();
  if (!QFile::exists(kProgram)) GTEST_SKIP() << "the program is not built";
  test::TempDir dir;
  Instance server(dir, "server");
  Instance uploader(dir, "uploader");
  const quint16 httpPort = test::freePort();
  const std::filesystem::path data = std::filesystem::path(GEOMUXER_SOURCE_DIR) / "data";
  {
    SqliteStore db(server.folder() / "geomuxer.db", data);
    (void)db.addUser({.name = "walker", .passwordHash = hashPassword("secret"), .color = {}, .firstName = {},
                      .sureName = {}, .email = {}, .phone = {}, .description = {}});
  }
  test::writeFile(server.folder() / "geomuxer.sml",
                  test::settingsText("<tcpiplog><port>0</port><active>false</active></tcpiplog><http><active>true"
                                     "</active><port>" + std::to_string(httpPort) + "</port></http>"));

  // The feed: one RMC sentence every 100 ms to whichever uploader is connected.
  QTcpServer feed;
  ASSERT_TRUE(feed.listen(QHostAddress::LocalHost));
  QTcpSocket* client = nullptr;
  QObject::connect(&feed, &QTcpServer::newConnection, [&] { client = feed.nextPendingConnection(); });
  QElapsedTimer clock;
  clock.start();
  std::map<int, qint64> sentAt;  // index -> ms
  int next = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    if (client == nullptr || client->state() != QAbstractSocket::ConnectedState) return;
    client->write(QByteArray::fromStdString(rmc(next)));
    client->flush();
    sentAt[next++] = clock.elapsed();
  });
  ticker.start(100);

  test::writeFile(uploader.folder() / "geomuxer.sml",
                  test::settingsText("<tcpiplog><port>0</port><active>false</active></tcpiplog>"
                                     "<nmeatcpip><host>127.0.0.1</host><port>" + std::to_string(feed.serverPort()) +
                                     "</port></nmeatcpip><httplog><protocol>http</protocol><host>127.0.0.1</host>"
                                     "<port>" + std::to_string(httpPort) + "</port><timeout>5000</timeout>"
                                     "<auth>true</auth><username>walker</username><password>" +
                                     encodePassword(kPasswordKey, "secret") + "</password><active>true</active>"
                                     "</httplog>"));
  const QStringList uploaderArgs{"-t", "NMEA via TCP/IP", "-a", "yes"};
  server.start({});
  ASSERT_TRUE(test::waitUntil([&] {
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, httpPort);
    return probe.waitForConnected(200);
  }, std::chrono::seconds(30))) << server.output();
  uploader.start(uploaderArgs);
  ASSERT_TRUE(test::waitUntil([&] { return next >= 30; }, std::chrono::seconds(30))) << uploader.output();

  // The outage, with the uploader killed and started again two thirds in.
  server.stop();
  const qint64 outageStart = clock.elapsed();
  test::spin(std::chrono::milliseconds(kKillAfterMs));
  const qint64 killedAt = clock.elapsed();
  uploader.kill();
  client = nullptr;
  uploader.start(uploaderArgs);
  ASSERT_TRUE(test::waitUntil([&] { return client != nullptr; }, std::chrono::seconds(20))) << uploader.output();
  const qint64 reconnectedAt = clock.elapsed();
  test::spin(std::chrono::milliseconds(std::max<qint64>(0, kOutageMs - (clock.elapsed() - outageStart))));
  server.start({});
  test::spin(std::chrono::seconds(2));
  ticker.stop();
  const int last = next - 1;

  // Everything the uploader still holds reaches the server; then both end.
  auto storedIndexes = [&] { return storedRows(server.folder() / "geomuxer.db"); };
  ASSERT_TRUE(test::waitUntil([&] {
    const std::vector<int> stored = storedIndexes();
    return !stored.empty() && stored.back() == last;
  }, std::chrono::seconds(60))) << uploader.output();
  uploader.stop();
  server.stop();

  const std::vector<int> stored = storedIndexes();
  // In order, each once.
  for (std::size_t i = 1; i < stored.size(); ++i) ASSERT_LT(stored[i - 1], stored[i]) << "at row " << i;
  // Every position sent to a running uploader is there, except those it may not have read yet
  // when it was killed (the last second before the kill up to its reconnection).
  std::vector<int> missing;
  for (const auto& [index, at] : sentAt) {
    const bool mayBeUnread = at >= killedAt - 1000 && at <= reconnectedAt;
    if (!mayBeUnread && !std::binary_search(stored.begin(), stored.end(), index)) missing.push_back(index);
  }
  EXPECT_TRUE(missing.empty()) << missing.size() << " missing, first " << missing.front();
  const auto duringOutage = std::count_if(sentAt.begin(), sentAt.end(), [&](const auto& entry) {
    return entry.second > outageStart && entry.second < outageStart + kOutageMs;
  });
  EXPECT_GE(duringOutage, 200) << "positions sent while the server was away";
  EXPECT_EQ(UploadQueue(uploader.folder() / "upload-queue.db").size(), 0);
  std::printf("positions sent %d, stored %zu, during the outage %ld\n", last + 1, stored.size(),
              static_cast<long>(duringOutage));
}

}  // namespace
}  // namespace geomuxer
