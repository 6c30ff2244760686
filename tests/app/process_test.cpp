// The real program, started headless with a configuration folder of its own.

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTcpSocket>

#include <fstream>
#include <sstream>

#include "app_test_support.h"
#include "support/qt_process.h"

namespace geomuxer {
namespace {

using test::freePort;

const QString kProgram = QStringLiteral(GEOMUXER_BINARY_DIR "/src/app/geomuxer");

std::string readText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ProgramProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    test::qtApp();
    if (!QFile::exists(kProgram)) GTEST_SKIP() << "the program is not built: " << kProgram.toStdString();
    std::filesystem::create_directories(m_dir / "Geomuxer");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QString::fromStdString(m_dir.path().string()));
    m_process.setProcessEnvironment(env);
  }
  void TearDown() override {
    if (m_process.state() != QProcess::NotRunning) {
      m_process.kill();
      m_process.waitForFinished(5000);
    }
  }

  [[nodiscard]] std::filesystem::path settingsFile() const { return m_dir / "Geomuxer" / "geomuxer.sml"; }

  test::TempDir m_dir;
  QProcess m_process;
};

TEST_F(ProgramProcess, HeadlessRunBroadcastsServesAndStoresItsStateOnSigterm) {
  const quint16 nmeaPort = freePort();
  const quint16 httpPort = freePort();
  ASSERT_NE(nmeaPort, 0);
  ASSERT_NE(httpPort, 0);
  test::writeFile(settingsFile(),
                  test::settingsText("<tcpiplog><port>" + std::to_string(nmeaPort) +
                                     "</port></tcpiplog><http><active>true</active><port>" +
                                     std::to_string(httpPort) + "</port></http><gpxlog><active>false</active></gpxlog>"));
  m_process.start(kProgram, {"--headless", "-t", "Simulator", "-a", "yes"});
  ASSERT_TRUE(m_process.waitForStarted(10000));

  // The broadcast listens once the source runs; the simulator sends one position a second.
  QTcpSocket nmea;
  QByteArray received;
  const bool gotSentence = test::waitUntil(
      [&] {
        if (nmea.state() == QAbstractSocket::UnconnectedState) nmea.connectToHost(QHostAddress::LocalHost, nmeaPort);
        received += nmea.readAll();
        return received.contains("$GPRMC");
      },
      std::chrono::seconds(30));
  ASSERT_TRUE(gotSentence) << "stdout: " << m_process.readAllStandardOutput().toStdString()
                           << "\nstderr: " << m_process.readAllStandardError().toStdString();
  EXPECT_TRUE(received.contains("$GPGGA"));

  QTcpSocket http;
  http.connectToHost(QHostAddress::LocalHost, httpPort);
  ASSERT_TRUE(http.waitForConnected(5000));
  http.write("GET /pos.xml HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
  QByteArray answer;
  while (http.waitForReadyRead(5000)) answer += http.readAll();
  EXPECT_TRUE(answer.startsWith("HTTP/1.1 200")) << answer.left(200).toStdString();
  EXPECT_TRUE(answer.contains("<position")) << answer.toStdString();

  m_process.terminate();  // SIGTERM
  ASSERT_TRUE(m_process.waitForFinished(20000));
  EXPECT_EQ(m_process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(m_process.exitCode(), 0);
  const std::string out = m_process.readAllStandardOutput().toStdString();
  EXPECT_NE(out.find("Z TRACKER: Simulator started"), std::string::npos) << out;
  EXPECT_NE(out.find("Z TRACKER: Simulator stopped"), std::string::npos) << out;

  const std::string stored = readText(settingsFile());
  EXPECT_NE(stored.find("<tracker>0</tracker>"), std::string::npos) << stored;
  for (const char* logger : {"tcpiplog", "filelog", "httplog", "gpxlog"})
    EXPECT_NE(stored.find(std::string("<") + logger + ">"), std::string::npos) << logger << "\n" << stored;
  EXPECT_NE(stored.find("<active>true</active>"), std::string::npos);
}

TEST_F(ProgramProcess, WithoutADisplayItSaysSoAndRunsHeadless) {
  test::writeFile(settingsFile(), test::settingsText("<tcpiplog><active>false</active></tcpiplog>"));
  QProcessEnvironment env = m_process.processEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(QString::fromLatin1(name));
  m_process.setProcessEnvironment(env);
  m_process.start(kProgram, {"-x", "--bogus"});
  ASSERT_TRUE(m_process.waitForStarted(10000));
  QByteArray out;
  ASSERT_TRUE(test::waitUntil([&] {
    out += m_process.readAllStandardOutput();
    return out.contains("running headless");
  }, std::chrono::seconds(20)));
  EXPECT_TRUE(m_process.readAllStandardError().contains("no display"));
  m_process.terminate();
  ASSERT_TRUE(m_process.waitForFinished(20000));
  EXPECT_EQ(m_process.exitCode(), 0);
  EXPECT_NE(readText(settingsFile()).find("<tracker>0</tracker>"), std::string::npos);
}

TEST_F(ProgramProcess, HelpAndVersion) {
  m_process.start(kProgram, {"--help"});
  ASSERT_TRUE(m_process.waitForFinished(20000));
  EXPECT_EQ(m_process.exitCode(), 0);
  const QByteArray help = m_process.readAllStandardOutput();
  for (const char* sw : {"-t ", "-a ", "-m ", "-wroot", "--headless", "--server", "--version"})
    EXPECT_TRUE(help.contains(sw)) << sw;

  m_process.start(kProgram, {"--version"});
  ASSERT_TRUE(m_process.waitForFinished(20000));
  EXPECT_TRUE(m_process.readAllStandardOutput().startsWith("Geomuxer " GEOMUXER_VERSION));
  // Neither touches the settings.
  EXPECT_FALSE(std::filesystem::exists(settingsFile()));
}

}  // namespace
}  // namespace geomuxer
