#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include "app_test_support.h"
#include "loggers/gpx_logger.h"
#include "loggers/http_logger.h"
#include "loggers/nmea_file_logger.h"
#include "loggers/nmea_tcp_logger.h"
#include "loggers/proxy_settings.h"
#include "loggers/track_logger_list.h"
#include "server/database.h"
#include "server/position_server.h"
#include "sources/trackers/gps_tracker.h"
#include "sources/trackers/gps_tracker_simu.h"
#include "support/pg_cluster.h"

namespace geomuxer {
namespace {

using test::ControllerFixture;
using test::kQuietPorts;

std::string body(std::string_view extra) { return std::string(kQuietPorts) + std::string(extra); }

int indexOf(const AppController& c, const std::string& name) {
  for (int i = 0; i < c.sourceCount(); ++i)
    if (c.sourceName(i).toStdString() == name) return i;
  return -1;
}

TEST(AppController, SourcesAndLoggersComeInTheirFixedOrder) {
  ControllerFixture f(body(""));
  const std::vector<std::string> names = f.controller->sourceNames();
  ASSERT_GE(names.size(), 6u);
  const std::vector<std::string> first(names.begin(), names.begin() + 6);
  EXPECT_EQ(first, (std::vector<std::string>{"Simulator", "Garmin via USB", "Garmin via COM", "NMEA via COM",
                                             "NMEA via TCP/IP", "NMEA via File"}));
  EXPECT_EQ(f.controller->currentSource(), -1);

  TrackLoggerList* list = f.controller->loggerList();
  ASSERT_EQ(list->count(), 5);
  EXPECT_EQ(list->item(0), f.controller->logger(LoggerKind::nmeaTcp));
  EXPECT_EQ(list->item(1), f.controller->logger(LoggerKind::nmeaFile));
  EXPECT_EQ(list->item(2), f.controller->logger(LoggerKind::gpxFile));
  EXPECT_EQ(list->item(3), f.controller->logger(LoggerKind::http));
  EXPECT_EQ(list->item(4), f.controller->logger(LoggerKind::nmeaUdp));
  EXPECT_FALSE(f.controller->loggerActive(LoggerKind::nmeaUdp));
  for (int i = 0; i < f.controller->sourceCount(); ++i)
    EXPECT_EQ(f.controller->source(i)->logger(), list) << f.controller->sourceName(i).toStdString();
  // Each logger asks a filter of its own, so one logger's record does not hide the position from the next.
  EXPECT_NE(f.controller->logger(LoggerKind::nmeaTcp)->filter(), f.controller->logger(LoggerKind::nmeaFile)->filter());
  EXPECT_TRUE(f.controller->loggerActive(LoggerKind::nmeaTcp));
  EXPECT_FALSE(f.controller->loggerActive(LoggerKind::http));
}

TEST(AppController, SelectingAndTogglingSources) {
  ControllerFixture f(body("<general><tracker>0</tracker></general>"));
  ASSERT_FALSE(f.controller->startUp({}));
  AppController& c = *f.controller;
  ASSERT_EQ(c.currentSource(), 0);
  QSignalSpy hints(&c, &AppController::trayHintChanged);
  QSignalSpy simuShown(&c, &AppController::simulatorStarted);
  QSignalSpy simuHidden(&c, &AppController::simulatorStopped);

  c.toggleActive();
  ASSERT_TRUE(c.isActive());
  EXPECT_EQ(c.trayHint(), "Geomuxer - Simulator active");
  EXPECT_EQ(simuShown.count(), 1);
  EXPECT_TRUE(f.logHas("TRACKER: Simulator started"));

  // The selected source again: nothing happens.
  c.selectSource(0);
  EXPECT_TRUE(c.isActive());

  // Another source: the running one stops, the new one waits.
  const int file = indexOf(c, "NMEA via File");
  c.selectSource(file);
  EXPECT_EQ(c.currentSource(), file);
  EXPECT_FALSE(c.isActive());
  EXPECT_FALSE(c.simulator()->isActive());
  EXPECT_EQ(c.trayHint(), "Geomuxer - inactive");
  EXPECT_EQ(simuHidden.count(), 1);
  EXPECT_TRUE(f.logHas("TRACKER: Simulator stopped"));
  EXPECT_GE(hints.count(), 2);
}

TEST(AppController, ActivationFailureIsLoggedWhateverTheCategoriesAndTheSourceWaits) {
  ControllerFixture f(body(
      "<general><tracker>3</tracker></general><nmeacom><port>/nonexistent/tty</port></nmeacom>"
      "<log><tracker>false</tracker><tcp>false</tcp><logfile>false</logfile></log>"));
  ASSERT_FALSE(f.controller->startUp({}));
  AppController& c = *f.controller;
  ASSERT_EQ(c.sourceName(c.currentSource()), "NMEA via COM");
  EXPECT_EQ(c.logCategories(), 0u);
  c.toggleActive();
  EXPECT_TRUE(c.isActive()) << "the receiver may be plugged in later";
  EXPECT_EQ(c.sourceStatus().state, SourceState::Reconnecting);
  ASSERT_EQ(c.log().count(), 1);
  EXPECT_TRUE(c.log().line(0).startsWith("ERROR: Error opening COM port")) << c.log().line(0).toStdString();
  c.toggleActive();
  EXPECT_FALSE(c.isActive());
  EXPECT_EQ(c.trayHint(), "Geomuxer - inactive");
}

// Faults of a running source: a connection that fails is a socket error in the log, whatever the
// categories; the source keeps running and tries again, and only the user's switch stops it.
TEST(AppController, SourceFaultsReachTheLogOnceAndTheSourceRunsOn) {
  QTcpServer server;
  ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
  const quint16 port = server.serverPort();
  ControllerFixture f(body("<nmeatcpip><host>127.0.0.1</host><port>" + std::to_string(port) +
                           "</port></nmeatcpip><log><tcp>false</tcp><logfile>false</logfile></log>"));
  ASSERT_FALSE(f.controller->startUp({}));
  AppController& c = *f.controller;
  c.selectSource(indexOf(c, "NMEA via TCP/IP"));

  c.toggleActive();
  ASSERT_TRUE(server.waitForNewConnection(5000));
  std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
  server.close();
  peer->disconnectFromHost();
  ASSERT_TRUE(test::waitUntil([&] { return f.logHas("TCP/IP ERROR: Connection closed by the server"); }));
  EXPECT_TRUE(f.logHas("TRACKER: NMEA via TCP/IP: reconnecting in 1 s"));
  test::spin(std::chrono::milliseconds(2000));  // refused twice or more meanwhile
  EXPECT_TRUE(c.isActive());
  EXPECT_EQ(c.log().lines().filter("ERROR").count(), 1) << "the refusals are held back";
  EXPECT_EQ(c.log().lines().filter("stopped").count(), 0);
  EXPECT_EQ(c.sourceStatus().lastError, "Connection refused");
  const ProgramStatus shown = c.statusBoard().snapshot();  // what GET /status.json shows
  EXPECT_EQ(shown.source, "NMEA via TCP/IP");
  EXPECT_EQ(shown.state.rfind("reconnecting in ", 0), 0u) << shown.state;
  EXPECT_EQ(shown.lastError, "Connection refused");

  c.toggleActive();
  EXPECT_TRUE(f.logHas("TRACKER: NMEA via TCP/IP stopped"));
  EXPECT_EQ(c.log().lines().filter("more fault").count(), 1) << "the held-back faults are summed up";
  EXPECT_EQ(c.trayHint(), "Geomuxer - inactive");
}

TEST(AppController, StoredIndexOutOfRangeLeavesNoUsableSelection) {
  ControllerFixture f(body("<general><tracker>42</tracker></general>"));
  ASSERT_FALSE(f.controller->startUp(parseCommandLine({"-a", "yes"}, {})));
  AppController& c = *f.controller;
  EXPECT_EQ(c.currentSource(), 42);
  EXPECT_EQ(c.currentTracker(), nullptr);
  c.toggleActive();
  EXPECT_FALSE(c.isActive());
  for (int i = 0; i < c.sourceCount(); ++i) EXPECT_FALSE(c.source(i)->isActive());
  c.close();
  EXPECT_EQ(f.settings->readInteger(keys::generalTracker), 42);
}

TEST(AppController, StoredIndexTwoSelectsTheThirdSourceWithoutStartingIt) {
  ControllerFixture f(body("<general><tracker>2</tracker></general>"));
  ASSERT_FALSE(f.controller->startUp({}));
  EXPECT_EQ(f.controller->currentTracker(), f.controller->source(2));
  EXPECT_FALSE(f.controller->isActive());
}

TEST(AppController, AppliesEverySettingFromTheFile) {
  ControllerFixture f(
      "<general><distunit>2</distunit><posunit>0</posunit><recordmode>1</recordmode>"
      "<recordinterval>4</recordinterval><tracker>1</tracker><closetotray>true</closetotray>"
      "<iconanim>0</iconanim></general>"
      "<log><tracker>false</tracker><trackerpos>true</trackerpos><tcp>false</tcp><http>true</http>"
      "<logfile>false</logfile><maxlines>10</maxlines></log>"
      "<tcpiplog><port>0</port><active>false</active></tcpiplog>"
      "<filelog><append>true</append><file>/tmp/x.nmea</file><active>true</active></filelog>"
      "<gpxlog><filedir>/tmp/gpx</filedir><active>true</active></gpxlog>"
      "<simu><long>11.5</long><lat>47.25</lat><alt>512.5</alt></simu>"
      "<nmeatcpip><host>gps.example</host><port>10110</port><checksum>false</checksum></nmeatcpip>"
      "<http><port>0</port><auth>true</auth><username>admin</username>"
      "<password>5a22</password><wroot>/srv/www/</wroot></http>"
      "<httplog><protocol>HTTPS</protocol><host>up.example</host><port>8443</port><file>in</file>"
      "<timeout>750</timeout><auth>true</auth><username>me</username><active>true</active></httplog>"
      "<proxy><host>proxy.example</host><port>3128</port><username>pu</username></proxy>");
  ASSERT_FALSE(f.controller->startUp({}));
  AppController& c = *f.controller;

  EXPECT_EQ(c.displayFormat().distUnit, DistUnit::nautic);
  EXPECT_EQ(c.displayFormat().posUnit, PosUnit::decimalDegree);
  for (LoggerKind kind : kLoggerKinds) {
    EXPECT_EQ(c.filter(kind).recordMode(), rmTime);
    EXPECT_EQ(c.filter(kind).recordInterval(), riMin);
  }
  EXPECT_EQ(c.currentSource(), 1);
  EXPECT_TRUE(c.closeToTray());
  EXPECT_EQ(c.iconAnimInterval(), 0);
  EXPECT_EQ(c.logCategories(), unsigned(lcTrackerPos | lcHttp));
  EXPECT_EQ(c.log().maxLines(), 10);

  EXPECT_FALSE(c.loggerActive(LoggerKind::nmeaTcp));
  EXPECT_TRUE(c.nmeaFileLogger()->append());
  EXPECT_EQ(c.nmeaFileLogger()->filename(), "/tmp/x.nmea");
  EXPECT_TRUE(c.loggerActive(LoggerKind::nmeaFile));
  EXPECT_EQ(c.gpxLogger()->fileDir(), "/tmp/gpx");
  EXPECT_TRUE(c.loggerActive(LoggerKind::gpxFile));

  EXPECT_EQ(c.simulator()->startPoint(), (Point{11.5f, 47.25f}));
  EXPECT_FLOAT_EQ(c.simulator()->altitude(), 512.5f);

  EXPECT_TRUE(c.serverAuth());
  EXPECT_EQ(c.serverUser(), "admin");
  EXPECT_EQ(c.serverPassword(), decodePassword(kPasswordKey, "5a22"));
  EXPECT_EQ(c.webRoot(), "/srv/www/");
  EXPECT_FALSE(c.serverRunning());

  // "HTTPS" is not "https": case counts.
  HttpLogger* http = c.httpLogger();
  EXPECT_EQ(http->protocol(), hpHttp);
  EXPECT_EQ(http->host(), "up.example");
  EXPECT_EQ(http->port(), 8443);
  EXPECT_EQ(http->postFile(), "in");
  EXPECT_EQ(http->timeout(), 750);
  EXPECT_TRUE(http->httpAuth());
  EXPECT_EQ(http->authUser(), "me");
  EXPECT_TRUE(c.loggerActive(LoggerKind::http));

  ASSERT_TRUE(http->proxySettings());
  http->proxySettings()->load();
  EXPECT_EQ(http->proxySettings()->host(), "proxy.example");
  EXPECT_EQ(http->proxySettings()->port(), 3128);
  EXPECT_TRUE(http->proxySettings()->useProxy());
  EXPECT_TRUE(http->proxySettings()->useAuth());
  EXPECT_TRUE(http->proxySettings()->enabled());
}

// Every key with a usable value; a few differ from their defaults, so that a default taken in their
// place would show.
std::map<const SettingKey*, std::string> usableTexts() {
  return {{&keys::tcpipLogPort, "0"}, {&keys::generalIconAnim, "250"}, {&keys::logMaxLines, "40"}};
}

// A bad number in each key in turn: the program still starts, the message names key, value and
// default, the default is used, and closing leaves every other key as it was.
TEST(AppController, BadNumberInAnyKeyGivesItsDefaultAndKeepsEveryOtherKey) {
  for (const SettingKey* key : kSettingKeys) {
    if (key->type != SettingType::integer && key->type != SettingType::floating) continue;
    SCOPED_TRACE(std::string(key->path));
    auto texts = usableTexts();
    texts[key] = "x1";
    ControllerFixture f(test::everyKeyBody(texts));
    const std::optional<std::string> error =
        f.controller->startUp(parseCommandLine({"-t", "Simulator"}, f.controller->sourceNames()));
    // The proxy is read when an upload starts, the speed range by the simulator window.
    const bool readAtStart = key != &keys::proxyPort && key != &keys::simuMaxSpeed && key != &keys::simuMaxVSpeed;
    const std::string expected = "Setting " + std::string(key->path) + ": 'x1' is not a valid " +
                                 (key->type == SettingType::integer ? "integer" : "floating point") +
                                 " value; the default " + std::string(key->defaultText) + " is used";
    if (readAtStart) {
      ASSERT_TRUE(error);
      EXPECT_EQ(*error, expected);
      EXPECT_TRUE(f.logHas(QString::fromStdString("ERROR: " + expected)));
    } else {
      EXPECT_FALSE(error) << *error;
    }
    // Applying went on past the bad value, and so did the command line.
    EXPECT_EQ(f.controller->currentSource(), 0);
    EXPECT_FALSE(f.controller->loggerActive(LoggerKind::http));
    EXPECT_EQ(f.controller->httpLogger()->postFile(), "onclientpos");
    if (key != &keys::logMaxLines) {
      EXPECT_EQ(f.controller->log().maxLines(), 40);
    }
    if (key == &keys::proxyPort) {
      // Read only with a host to go with it.
      f.settings->writeString(keys::proxyHost, "proxy.example");
      f.controller->httpLogger()->proxySettings()->load();
      EXPECT_FALSE(f.controller->httpLogger()->proxySettings()->useProxy());
      EXPECT_TRUE(f.logHas(QString::fromStdString("ERROR: " + expected)));
      f.settings->writeString(keys::proxyHost, "");
    }

    f.controller->close();
    const auto usable = usableTexts();
    for (const SettingKey* other : kSettingKeys) {
      if (other == key) continue;
      const SmlNode* node = f.settings->root().findNode(other->path);
      ASSERT_NE(node, nullptr) << other->path;
      const auto given = usable.find(other);
      EXPECT_EQ(node->value(), given != usable.end() ? given->second : std::string(other->defaultText)) << other->path;
    }
  }
}

TEST(AppController, ValuesOutsideTheirRangeAreBadValuesToo) {
  ControllerFixture f("<tcpiplog><port>70000</port></tcpiplog><general><distunit>7</distunit></general>"
                      "<nmeacom><bytesize>300</bytesize></nmeacom>");
  const std::optional<std::string> error = f.controller->startUp({});
  ASSERT_TRUE(error);
  EXPECT_EQ(*error,
            "Setting general\\distunit: '7' is outside 0 to 2; the default 0 is used\n"
            "Setting tcpiplog\\port: '70000' is not a valid port number; the default 2222 is used\n"
            "Setting nmeacom\\bytesize: '300' is outside 0 to 255; the default 8 is used");
  EXPECT_EQ(f.controller->nmeaTcpLogger()->port(), 2222);
  EXPECT_EQ(f.controller->displayFormat().distUnit, DistUnit::metric);
}

// A server that cannot start is an error of its own: the loggers, the sources and the command line
// are applied all the same, and the loggers' flags are stored as they were.
TEST(AppController, ServerThatCannotStartStopsNothingElse) {
  QTcpServer taken;
  ASSERT_TRUE(taken.listen(QHostAddress::Any));
  ControllerFixture f("<http><active>true</active><port>" + std::to_string(taken.serverPort()) +
                      "</port></http><filelog><active>true</active></filelog>"
                      "<gpxlog><active>true</active></gpxlog><httplog><active>true</active>"
                      "<host>up.example</host></httplog><tcpiplog><port>0</port><active>false</active></tcpiplog>");
  const std::optional<std::string> error =
      f.controller->startUp(parseCommandLine({"-t", "NMEA via File"}, f.controller->sourceNames()));
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("The position server cannot start"), std::string::npos) << *error;
  AppController& c = *f.controller;
  EXPECT_FALSE(c.serverRunning());
  EXPECT_TRUE(c.loggerActive(LoggerKind::nmeaFile));
  EXPECT_TRUE(c.loggerActive(LoggerKind::gpxFile));
  EXPECT_TRUE(c.loggerActive(LoggerKind::http));
  EXPECT_FALSE(c.loggerActive(LoggerKind::nmeaTcp));
  EXPECT_EQ(c.httpLogger()->host(), "up.example");
  EXPECT_EQ(c.sourceName(c.currentSource()), "NMEA via File");
  c.close();
  EXPECT_TRUE(f.settings->readBool(keys::fileLogActive));
  EXPECT_TRUE(f.settings->readBool(keys::httpLogActive));
  EXPECT_FALSE(f.settings->readBool(keys::tcpipLogActive));
  EXPECT_TRUE(f.settings->readBool(keys::httpActive));
}

// A controller that never applied the settings has no state of its own to write back.
TEST(AppController, NothingUnappliedIsWrittenBack) {
  ControllerFixture f("<general><tracker>3</tracker></general><tcpiplog><active>false</active></tcpiplog>");
  f.controller->close();
  EXPECT_EQ(f.settings->readInteger(keys::generalTracker), 3);
  EXPECT_FALSE(f.settings->readBool(keys::tcpipLogActive));
  EXPECT_EQ(f.settings->root().findNode("filelog"), nullptr);
}

// Clearing the proxy port (or host) is how a user switches the proxy off.
TEST(AppController, EmptyProxyHostOrPortMeansNoProxy) {
  for (const char* proxy : {"<proxy><host>proxy.example</host><port></port></proxy>",
                            "<proxy><host></host><port>3128</port></proxy>"}) {
    ControllerFixture f(body(proxy));
    ASSERT_FALSE(f.controller->startUp({}));
    ProxySettings& settings = *f.controller->httpLogger()->proxySettings();
    settings.load();
    EXPECT_FALSE(settings.useProxy()) << proxy;
    EXPECT_TRUE(settings.enabled());
    EXPECT_FALSE(f.logHas("ERROR")) << proxy;
  }
}

TEST(AppController, ClosingStopsEverythingAndStoresTheState) {
  ControllerFixture f(body("<http><active>true</active><port>0</port></http><general><tracker>0</tracker></general>"));
  ASSERT_FALSE(f.controller->startUp(parseCommandLine({"-a", "true"}, {})));
  AppController& c = *f.controller;
  ASSERT_TRUE(c.isActive());
  ASSERT_TRUE(c.serverRunning());
  EXPECT_NE(c.database(), nullptr);
  c.toggleLogger(LoggerKind::gpxFile);
  c.toggleLogger(LoggerKind::nmeaTcp);
  c.setIconAnimInterval(250);

  c.close();
  EXPECT_TRUE(c.isClosed());
  EXPECT_FALSE(c.isActive());
  EXPECT_FALSE(c.serverRunning());
  EXPECT_EQ(c.database(), nullptr);
  const Settings& s = *f.settings;
  EXPECT_EQ(s.readInteger(keys::generalTracker), 0);
  EXPECT_EQ(s.readInteger(keys::generalIconAnim), 250);
  EXPECT_FALSE(s.readBool(keys::tcpipLogActive));
  EXPECT_TRUE(s.readBool(keys::gpxLogActive));
  EXPECT_FALSE(s.readBool(keys::fileLogActive));
  EXPECT_FALSE(s.readBool(keys::httpLogActive));
  c.close();  // a second close changes nothing
}

// Switched on while a source runs, a logger opens its file at once and records the next position;
// switched off, it closes the file at once.
TEST(AppController, LoggerSwitchedWhileASourceRunsFollowsAtOnce) {
  test::TempDir out;
  ControllerFixture f(body("<general><tracker>0</tracker></general><gpxlog><filedir>" + out.path().string() +
                           "</filedir></gpxlog><filelog><file>" + (out / "track.nmea").string() + "</file></filelog>"));
  ASSERT_FALSE(f.controller->startUp(parseCommandLine({"-a", "yes"}, {})));
  AppController& c = *f.controller;
  ASSERT_TRUE(c.isActive());
  c.setLoggerActive(LoggerKind::gpxFile, true);
  c.setLoggerActive(LoggerKind::nmeaFile, true);
  EXPECT_TRUE(c.gpxLogger()->isOpen());
  EXPECT_TRUE(c.nmeaFileLogger()->isOpen());
  const std::string gpx = c.gpxLogger()->openFilename();
  ASSERT_TRUE(test::waitUntil([&] { return test::readFile(out / "track.nmea").find("$GPRMC") != std::string::npos; }));
  ASSERT_TRUE(test::waitUntil([&] { return test::readFile(gpx).find("<trkpt") != std::string::npos; }));

  c.setLoggerActive(LoggerKind::gpxFile, false);
  c.setLoggerActive(LoggerKind::nmeaFile, false);
  EXPECT_FALSE(c.gpxLogger()->isOpen());
  EXPECT_FALSE(c.nmeaFileLogger()->isOpen());
  EXPECT_NE(test::readFile(gpx).find("</gpx>"), std::string::npos);
  EXPECT_TRUE(c.isActive());
}

// A raw HTTP/1.1 GET on loopback; returns the whole answer.
QByteArray httpGet(quint16 port, const QByteArray& path) {
  QTcpSocket socket;
  socket.connectToHost(QHostAddress::LocalHost, port);
  if (!socket.waitForConnected(5000)) return {};
  socket.write("GET " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
  QByteArray answer;
  while (socket.waitForReadyRead(5000)) answer += socket.readAll();
  return answer;
}

TEST(AppController, ServerRequestsAreLoggedOnlyWithTheHttpCategory) {
  ControllerFixture f(body("<http><active>true</active><port>0</port></http><log><http>false</http></log>"));
  ASSERT_FALSE(f.controller->startUp({}));
  AppController& c = *f.controller;
  ASSERT_TRUE(c.serverRunning());
  const auto port = static_cast<quint16>(c.server()->port());
  const int before = c.log().count();
  EXPECT_TRUE(httpGet(port, "/pos.xml").startsWith("HTTP/1.1 "));
  test::spin(std::chrono::milliseconds(100));
  EXPECT_EQ(c.log().count(), before);

  c.setLogCategories(c.logCategories() | lcHttp);
  EXPECT_TRUE(httpGet(port, "/pos.xml").startsWith("HTTP/1.1 "));
  // The line comes from a server thread and reaches the log through the event loop.
  EXPECT_TRUE(test::waitUntil([&] { return f.logHas("/pos.xml"); }));
}

// A position posted as a form by the client "ann" (password "pw").
QByteArray postPosition(quint16 port) {
  const QByteArray form = "--b\r\nContent-Disposition: form-data; name=\"lat\"\r\n\r\n47.5\r\n"
                          "--b\r\nContent-Disposition: form-data; name=\"lon\"\r\n\r\n8.25\r\n--b--\r\n";
  QTcpSocket socket;
  socket.connectToHost(QHostAddress::LocalHost, port);
  if (!socket.waitForConnected(5000)) return {};
  socket.write("POST /onclientpos HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\nAuthorization: Basic " +
               QByteArray("ann:pw").toBase64() + "\r\nContent-Type: multipart/form-data; boundary=b\r\n" +
               "Content-Length: " + QByteArray::number(form.size()) + "\r\n\r\n" + form);
  QByteArray answer;
  while (socket.waitForReadyRead(5000)) answer += socket.readAll();
  return answer;
}

TEST(AppController, DatabaseServerDownAtStartIsTriedAgainUntilItAnswers) {
  test::PgCluster& cluster = test::PgCluster::instance();
  if (!cluster.available()) GTEST_SKIP() << "No PostgreSQL server for the tests: " << cluster.reason();
  const std::string location = cluster.createDatabase();
  ASSERT_TRUE(cluster.stopServer());
  ControllerFixture f(body("<http><active>true</active><port>0</port><database>" + location + "</database></http>"));
  ASSERT_FALSE(f.controller->startUp({}));
  AppController& c = *f.controller;
  ASSERT_TRUE(c.serverRunning());
  EXPECT_EQ(c.database(), nullptr);
  EXPECT_TRUE(postPosition(static_cast<quint16>(c.server()->port())).startsWith("HTTP/1.1 503 "));
  test::spin(std::chrono::milliseconds(1500));  // a silent retry meanwhile
  ASSERT_TRUE(cluster.startServer());
  ASSERT_TRUE(test::waitUntil([&] { return c.database() != nullptr; }, std::chrono::seconds(20)));
  QStringList errors;
  for (const QString& line : c.log().lines())
    if (line.startsWith(QStringLiteral("SQL ERROR: "))) errors << line;
  ASSERT_EQ(errors.size(), 1) << errors.join(QLatin1Char('\n')).toStdString();
  EXPECT_TRUE(errors[0].endsWith(QStringLiteral("; trying again in the background, posted positions are answered "
                                                "503 meanwhile")))
      << errors[0].toStdString();
  EXPECT_TRUE(f.logHas(QStringLiteral(" answers; the position server stores positions again")));

  const std::int64_t ann = c.database()->addUser({"ann", hashPassword("pw"), "", "", "", "", "", ""});
  ASSERT_TRUE(c.serverRunning());
  EXPECT_TRUE(postPosition(static_cast<quint16>(c.server()->port())).startsWith("HTTP/1.1 200 "));
  EXPECT_EQ(c.database()->positionsOfUser(ann).size(), 1u);
}

TEST(AppController, PositionsReachTheSnapshotAndUploadErrorsAreAlwaysLogged) {
  // A port that refuses connections: bind one, note it, close it.
  quint16 closedPort = 0;
  {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    closedPort = probe.serverPort();
  }
  ControllerFixture f(body(
      "<general><tracker>0</tracker></general>"
      "<log><tracker>false</tracker><tcp>false</tcp><logfile>false</logfile><trackerpos>false</trackerpos></log>"
      "<simu><long>8.25</long><lat>47.5</lat></simu>"
      "<httplog><protocol>http</protocol><host>127.0.0.1</host><port>" +
      std::to_string(closedPort) + "</port><active>true</active></httplog>"));
  QSignalSpy lengths(f.controller.get(), &AppController::uploadQueueLengthChanged);
  ASSERT_FALSE(f.controller->startUp(parseCommandLine({"-a", "yes"}, {})));
  AppController& c = *f.controller;
  ASSERT_TRUE(c.isActive());
  ASSERT_TRUE(test::waitUntil([&] { return c.lastPosition().has(defXY); }));
  EXPECT_NEAR(c.lastPosition().y, 47.5, 0.01);
  EXPECT_EQ(c.currentPosition().snapshot().format.distUnit, c.displayFormat().distUnit);
  EXPECT_TRUE(test::waitUntil([&] { return f.logHas("HTTP ERROR: "); }));
  EXPECT_FALSE(f.logHas("TRACKER: "));
  // What the server has not taken waits in the queue file, and the tray says so.
  ASSERT_TRUE(test::waitUntil([&] { return c.trayHint().contains(" positions waiting for upload"); }))
      << c.trayHint().toStdString();
  EXPECT_TRUE(c.trayHint().startsWith("Geomuxer - Simulator active, "));
  EXPECT_GE(c.uploadQueueLength(), 1);
  EXPECT_FALSE(c.httpLogger()->queue().inMemory());
  EXPECT_GE(lengths.count(), 1);

  // With the position category on, each position is one line in the chosen formats.
  c.setLogCategories(lcTrackerPos);
  c.simulator()->setSpeed(36.0f);
  ASSERT_TRUE(test::waitUntil([&] { return f.logHas("TRACKER: N47"); }));
}

}  // namespace
}  // namespace geomuxer
