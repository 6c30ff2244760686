// The real program, started headless with a configuration folder of its own.

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <fstream>
#include <string_view>
#include <vector>
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

// Bad numbers in several keys: the program starts all the same, names each key with its value and
// default, and at exit the file holds every key as it was (the bad ones too: only the user mends them).
TEST_F(ProgramProcess, BadNumbersAreNamedAndEveryKeyIsKept) {
  const std::map<const SettingKey*, std::string> texts{
      {&keys::tcpipLogPort, "0"},     {&keys::logMaxLines, "lots"}, {&keys::httpPort, "-"},
      {&keys::httpLogPort, "99999"},  {&keys::simuLat, "47,5"},     {&keys::generalTracker, "3"},
      {&keys::fileLogActive, "true"}, {&keys::fileLogFile, (m_dir / "track.nmea").string()},
      {&keys::tcpipLogBindAddress, "nowhere"}, {&keys::tcpipLogTalker, "gps"},
  };
  test::writeFile(settingsFile(), test::settingsText(test::everyKeyBody(texts)));
  Settings before(settingsFile());
  ASSERT_TRUE(before.load().ok());
  m_process.start(kProgram, {"--headless"});
  ASSERT_TRUE(m_process.waitForStarted(10000));
  QByteArray out;
  ASSERT_TRUE(test::waitUntil([&] {
    out += m_process.readAllStandardOutput();
    return out.contains("simu\\lat");
  }, std::chrono::seconds(30))) << out.toStdString();
  m_process.terminate();
  ASSERT_TRUE(m_process.waitForFinished(20000));
  EXPECT_EQ(m_process.exitCode(), 0);
  out += m_process.readAllStandardOutput();
  const QByteArray err = m_process.readAllStandardError();
  for (const char* line : {"ERROR: Setting log\\maxlines: 'lots' is not a valid integer value; the default 100 is used",
                           "ERROR: Setting http\\port: '-' is not a valid integer value; the default 8087 is used",
                           "ERROR: Setting httplog\\port: '99999' is not a valid port number; the default 8087 is used",
                           "ERROR: Setting simu\\lat: '47,5' is not a valid floating point value; the default 0 is used",
                           "ERROR: Setting tcpiplog\\bindaddress: 'nowhere' is not an IP address; the default 0.0.0.0 is used",
                           "ERROR: Setting tcpiplog\\talker: 'gps' is not a talker (two capital letters); the default GP is used"}) {
    EXPECT_TRUE(out.contains(line)) << line << "\n" << out.toStdString();
    EXPECT_TRUE(err.contains(QByteArray(line).mid(7))) << line << "\n" << err.toStdString();
  }

  Settings after(settingsFile());
  ASSERT_TRUE(after.load().ok());
  for (const SettingKey* key : kSettingKeys)
    EXPECT_EQ(after.readString(key->path, "(missing)"), before.readString(key->path, "(missing)")) << key->path;
}

// Clients that trickle their requests hold no worker and do not delay the program's end.
TEST_F(ProgramProcess, TricklingClientsNeitherStallThePositionServerNorItsEnd) {
  const quint16 httpPort = freePort();
  ASSERT_NE(httpPort, 0);
  test::writeFile(settingsFile(),
                  test::settingsText("<tcpiplog><active>false</active></tcpiplog><http><active>true</active><port>" +
                                     std::to_string(httpPort) + "</port></http><gpxlog><active>false</active></gpxlog>"));
  m_process.start(kProgram, {"--headless"});
  ASSERT_TRUE(m_process.waitForStarted(10000));

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(httpPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto connectRaw = [&] {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  };
  // The server is up once a request is answered.
  auto getPosition = [&] {
    QTcpSocket http;
    http.connectToHost(QHostAddress::LocalHost, httpPort);
    if (!http.waitForConnected(1000)) return QByteArray();
    http.write("GET /pos.xml HTTP/1.1\r\nHost: localhost\r\n\r\n");
    QByteArray answer;
    while (http.waitForReadyRead(5000)) answer += http.readAll();
    return answer;
  };
  ASSERT_TRUE(test::waitUntil([&] { return getPosition().startsWith("HTTP/1.1 200"); }, std::chrono::seconds(20)));

  std::vector<int> tricklers;
  for (int i = 0; i < 300; ++i) {
    const int fd = connectRaw();
    ASSERT_GE(fd, 0);
    tricklers.push_back(fd);
  }
  const std::string request = "GET /pos.xml HTTP/1.1\r\nHost: localhost\r\n";
  for (std::size_t byte = 0; byte < 5; ++byte) {
    for (const int fd : tricklers) ::send(fd, &request[byte], 1, MSG_NOSIGNAL);
    EXPECT_TRUE(getPosition().startsWith("HTTP/1.1 200"));
  }

  const auto stopping = std::chrono::steady_clock::now();
  m_process.terminate();  // SIGTERM, while 300 requests are half sent
  ASSERT_TRUE(m_process.waitForFinished(10000));
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(2));
  EXPECT_EQ(m_process.exitCode(), 0);
  for (const int fd : tricklers) ::close(fd);
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

// The service manager's end of the notification socket: a datagram socket bound to a path.
class NotifySocket {
 public:
  explicit NotifySocket(const std::filesystem::path& path) : m_path(path) {
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = path.string();
    if (m_fd < 0 || name.size() >= sizeof(address.sun_path)) return;
    name.copy(address.sun_path, name.size());
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      ::close(m_fd);
      m_fd = -1;
      return;
    }
    ::chmod(name.c_str(), 0777);  // the program may run as another user
  }
  ~NotifySocket() {
    if (m_fd >= 0) ::close(m_fd);
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  [[nodiscard]] bool ok() const { return m_fd >= 0; }
  /// Every message that has arrived so far, in order.
  std::vector<std::string> receive() {
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::recv(m_fd, buffer, sizeof(buffer), 0);
      if (n < 0) break;
      m_messages.emplace_back(buffer, static_cast<std::size_t>(n));
    }
    return m_messages;
  }
  [[nodiscard]] long count(std::string_view message) {
    const std::vector<std::string> all = receive();
    return std::count_if(all.begin(), all.end(), [message](const std::string& m) { return m.find(message) != std::string::npos; });
  }

 private:
  std::filesystem::path m_path;
  int m_fd = -1;
  std::vector<std::string> m_messages;
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// As systemd runs the service: an unprivileged user (when the test runs as root), settings read
// from a folder it may not write, a state folder for the database, a notification socket with a
// watchdog, and standard output connected to "the journal" (JOURNAL_STREAM names the stream).
TEST_F(ProgramProcess, RunsAsTheServiceManagerRunsIt) {
  namespace fs = std::filesystem;
  const bool asRoot = ::geteuid() == 0;
  if (asRoot && !QFile::exists(QStringLiteral("/usr/bin/setpriv")))
    GTEST_SKIP() << "setpriv (util-linux) is needed to run the program as another user";
  fs::permissions(m_dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
  const fs::path etc = m_dir / "etc";
  const fs::path state = m_dir / "state";
  const fs::path out = m_dir / "journal.txt";
  fs::create_directories(state);
  fs::permissions(state, fs::perms::all);
  const quint16 httpPort = freePort();
  const quint16 nmeaPort = freePort();
  const std::string config = test::settingsText(
      "<http><active>true</active><port>" + std::to_string(httpPort) + "</port></http><tcpiplog><port>" +
      std::to_string(nmeaPort) + "</port></tcpiplog><nmeafile><file>" + (m_dir / "missing.nmea").string() +
      "</file></nmeafile>");
  test::writeFile(etc / "geomuxer.sml", config);
  fs::permissions(etc / "geomuxer.sml", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(etc, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                           fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);

  NotifySocket notify(m_dir / "notify");
  ASSERT_TRUE(notify.ok());
  test::writeFile(out, "");
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);

  QProcessEnvironment env = m_process.processEnvironment();
  env.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromStdString((m_dir / "notify").string()));
  env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("200000"));
  env.insert(QStringLiteral("STATE_DIRECTORY"), QString::fromStdString(state.string()));
  env.insert(QStringLiteral("JOURNAL_STREAM"), QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino));
  m_process.setProcessEnvironment(env);
  m_process.setStandardOutputFile(QString::fromStdString(out.string()), QIODevice::Append);
  // The file source with a file that is not there: an error line at start.
  QStringList args{"--headless", "--config", QString::fromStdString((etc / "geomuxer.sml").string()),
                   "-t", "NMEA via File", "-a", "yes"};
  if (asRoot) {
    args.prepend(kProgram);
    args = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", "--"} + args;
    m_process.start(QStringLiteral("/usr/bin/setpriv"), args);
  } else {
    m_process.start(kProgram, args);
  }
  ASSERT_TRUE(m_process.waitForStarted(10000));

  ASSERT_TRUE(test::waitUntil([&] { return notify.count("READY=1") > 0; }, std::chrono::seconds(30)))
      << "stderr: " << m_process.readAllStandardError().toStdString() << "\nstdout: " << test::readFile(out);
  const std::vector<std::string> early = notify.receive();
  const auto ready = std::find_if(early.begin(), early.end(), [](const std::string& m) { return m.find("READY=1") != std::string::npos; });
  EXPECT_NE(ready->find("STATUS=Running, position server http"), std::string::npos) << *ready;

  // Ready means listening: the first request is answered.
  QTcpSocket http;
  http.connectToHost(QHostAddress::LocalHost, httpPort);
  ASSERT_TRUE(http.waitForConnected(5000));
  http.write("GET /pos.xml HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
  QByteArray answer;
  while (http.waitForReadyRead(5000)) answer += http.readAll();
  EXPECT_TRUE(answer.startsWith("HTTP/1.1 200")) << answer.left(200).toStdString();

  // Pings every 100 ms while the event loop runs.
  EXPECT_TRUE(test::waitUntil([&] { return notify.count("WATCHDOG=1") >= 3; }, std::chrono::seconds(10)));

  m_process.terminate();
  ASSERT_TRUE(m_process.waitForFinished(20000));
  EXPECT_EQ(m_process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(m_process.exitCode(), 0) << m_process.readAllStandardError().toStdString();
  EXPECT_EQ(notify.count("STOPPING=1"), 1);

  // Priorities instead of time stamps; the error is an error.
  const std::vector<std::string> journal = lines(test::readFile(out));
  ASSERT_FALSE(journal.empty());
  bool sawError = false;
  for (const std::string& line : journal) {
    EXPECT_TRUE(line.starts_with("<6>") || line.starts_with("<3>") || line.starts_with("<4>")) << line;
    if (line.starts_with("<3>ERROR: ")) sawError = true;
  }
  EXPECT_TRUE(sawError) << test::readFile(out);
  EXPECT_NE(journal.front().find("running headless, settings " + (etc / "geomuxer.sml").string() + " (read-only"),
            std::string::npos) << journal.front();

  // The administrator's settings stay as written; the database went to the state folder.
  EXPECT_EQ(test::readFile(etc / "geomuxer.sml"), config);
  EXPECT_EQ(std::distance(fs::directory_iterator(etc), fs::directory_iterator()), 1);
  EXPECT_TRUE(fs::exists(state / "geomuxer.db"));
  fs::permissions(etc, fs::perms::owner_all);
}

}  // namespace
}  // namespace geomuxer
