// The socket layer against real loopback peers: plain QTcpSocket clients and servers on 127.0.0.1.

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "support/qt_event_loop.h"
#include "net/socket_error.h"
#include "net/tcp_client.h"
#include "net/tcp_server.h"

namespace geomuxer {
namespace {

using test::qtApp;
using test::spin;
using test::waitUntil;
using namespace std::chrono_literals;

const QHostAddress kLoopback(QHostAddress::LocalHost);

// A port nobody listens on: bound once, then released.
quint16 closedPort() {
  QTcpServer probe;
  EXPECT_TRUE(probe.listen(kLoopback, 0));
  return probe.serverPort();
}

std::unique_ptr<QTcpSocket> connectTo(quint16 port) {
  auto socket = std::make_unique<QTcpSocket>();
  socket->connectToHost(kLoopback, port);
  EXPECT_TRUE(waitUntil([&] { return socket->state() == QAbstractSocket::ConnectedState; }));
  return socket;
}

// Sends RST instead of FIN when the socket is closed.
void resetOnClose(QTcpSocket& socket) {
  linger option{1, 0};
  ASSERT_EQ(::setsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &option,
                         sizeof option),
            0);
}

class SocketLayerTest : public ::testing::Test {
 protected:
  void SetUp() override { qtApp(); }

  // A loopback server on a free port.
  std::unique_ptr<TcpServer> listeningServer() {
    auto server = std::make_unique<TcpServer>();
    server->setListenAddress(kLoopback);
    server->setActive(true);
    EXPECT_TRUE(server->isActive());
    return server;
  }
};

TEST(SocketErrorText, NumberedTextsAndQtErrors) {
  struct Row {
    const char* name;
    int code;
    const char* text;
  };
  const Row rows[] = {
      {"first", 10004, "Interrupted system call"},
      {"refused", 10061, "Connection refused"},
      {"reset", 10054, "Connection reset by peer"},
      {"in use", 10048, "Address already in use"},
      {"host", 11001, "Host not found"},
      {"last", 11004, "No Data"},
      {"gap in the table", 10072, "Not a WinSock error"},
      {"zero", 0, "Not a WinSock error"},
      {"negative", -1, "Not a WinSock error"},
  };
  for (const Row& row : rows) EXPECT_EQ(socketErrorText(row.code), row.text) << row.name;

  EXPECT_EQ(socketErrorMessage(QAbstractSocket::ConnectionRefusedError), "Connection refused");
  EXPECT_EQ(socketErrorMessage(QAbstractSocket::AddressInUseError), "Address already in use");
  EXPECT_EQ(socketErrorMessage(QAbstractSocket::HostNotFoundError), "Host not found");
  EXPECT_EQ(socketErrorMessage(QAbstractSocket::SocketAccessError), "Permission denied");
  // Qt reports several system errors as NetworkError and names them only in its message.
  EXPECT_EQ(socketErrorMessage(QAbstractSocket::NetworkError, "Connection timed out"), "Connection timed out");
  EXPECT_EQ(socketErrorMessage(QAbstractSocket::NetworkError, "Network unreachable"), "Network is unreachable");
  EXPECT_EQ(socketErrorMessage(QAbstractSocket::NetworkError, "Host unreachable"), "No route to host");
  EXPECT_EQ(socketErrorMessage(QAbstractSocket::NetworkError, "something new"), "Network is down");
  EXPECT_EQ(socketErrorMessage(QAbstractSocket::ProxyAuthenticationRequiredError), "Not a WinSock error");
  EXPECT_EQ(socketErrorMessage(QAbstractSocket::UnknownSocketError), "Not a WinSock error");
}

TEST_F(SocketLayerTest, ServerListsClientsSendsToAllAndReportsDepartures) {
  auto server = listeningServer();
  QSignalSpy connected(server.get(), &TcpServer::clientConnected);
  QSignalSpy disconnected(server.get(), &TcpServer::clientDisconnected);
  QSignalSpy received(server.get(), &TcpServer::clientDataReceived);

  auto first = connectTo(server->listeningPort());
  auto second = connectTo(server->listeningPort());
  ASSERT_TRUE(waitUntil([&] { return server->clients().size() == 2; }));
  EXPECT_EQ(connected.count(), 2);
  EXPECT_EQ(server->clients().front()->host(), "127.0.0.1");
  EXPECT_EQ(server->clients().front()->ip(), 0x7F000001u);
  EXPECT_EQ(server->clients().front()->port(), server->listeningPort());

  // What clients send is read and dropped; the server goes on broadcasting.
  first->write("hello\r\n");
  ASSERT_TRUE(waitUntil([&] { return received.count() == 1; }));

  EXPECT_EQ(server->sendToAll("$GPGLL*00\r\n"), 2);
  EXPECT_EQ(server->sendToAll(QByteArray()), 0);
  ASSERT_TRUE(waitUntil([&] { return first->bytesAvailable() == 11 && second->bytesAvailable() == 11; }));
  EXPECT_EQ(first->readAll(), "$GPGLL*00\r\n");

  first->disconnectFromHost();
  ASSERT_TRUE(waitUntil([&] { return server->clients().size() == 1; }));
  spin(50ms);
  EXPECT_EQ(disconnected.count(), 1);
  EXPECT_TRUE(server->isActive());
  EXPECT_EQ(server->sendToAll("x"), 1);
}

TEST_F(SocketLayerTest, RefusedConnectionNeverReachesTheList) {
  auto server = listeningServer();
  int asked = 0;
  server->setAcceptFilter([&](const TcpServerClient& client) {
    ++asked;
    EXPECT_EQ(client.host(), "127.0.0.1");
    return false;
  });
  QSignalSpy connected(server.get(), &TcpServer::clientConnected);

  auto peer = connectTo(server->listeningPort());
  ASSERT_TRUE(waitUntil([&] { return peer->state() == QAbstractSocket::UnconnectedState; }));
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(connected.count(), 0);
  EXPECT_TRUE(server->clients().empty());
}

TEST_F(SocketLayerTest, ClientsPastTheCapAreClosedAtOnce) {
  auto server = listeningServer();
  server->setMaxClients(2);
  auto first = connectTo(server->listeningPort());
  auto second = connectTo(server->listeningPort());
  ASSERT_TRUE(waitUntil([&] { return server->clients().size() == 2; }));
  auto third = connectTo(server->listeningPort());
  ASSERT_TRUE(waitUntil([&] { return third->state() == QAbstractSocket::UnconnectedState; }));
  EXPECT_EQ(server->clients().size(), 2u);
  first->abort();
  ASSERT_TRUE(waitUntil([&] { return server->clients().size() == 1; }));
  auto fourth = connectTo(server->listeningPort());
  ASSERT_TRUE(waitUntil([&] { return server->clients().size() == 2; }));
}

// Runs out of descriptors while a client connects and frees them again; 0 when the failure was
// reported once and the waiting client and a new one were accepted afterwards, else the failed step.
int acceptAcrossTheDescriptorLimit(TcpServer& server) {
  QStringList errors;
  int connected = 0;
  QObject::connect(&server, &TcpServer::errorOccurred, [&](const QString& message) { errors << message; });
  QObject::connect(&server, &TcpServer::clientConnected, [&] { ++connected; });
  int highest = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    highest = std::max(highest, std::atoi(entry.path().filename().c_str()));
  }
  rlimit original{};
  if (::getrlimit(RLIMIT_NOFILE, &original) != 0) return 10;
  rlimit low = original;
  low.rlim_cur = std::min<rlim_t>(original.rlim_cur, static_cast<rlim_t>(highest) + 64);
  if (::setrlimit(RLIMIT_NOFILE, &low) != 0) return 11;
  std::vector<int> filler;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
  if (filler.empty()) return 12;
  ::close(filler.back());  // room for the client's socket, none for the server's accept
  filler.pop_back();
  const int waiting = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (waiting < 0) return 13;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(server.listeningPort());
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(waiting, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 14;  // the backlog takes it
  const bool refused = waitUntil([&] { return !errors.isEmpty(); }, 5s);
  spin(2500ms);  // accepting is retried and fails again meanwhile
  const auto reports = errors.size();
  const int acceptedMeanwhile = connected;
  for (const int fd : filler) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &original);
  if (!refused) return 20;
  if (reports != 1) return 21;
  if (!errors.front().startsWith(QStringLiteral("Cannot accept a connection: "))) return 22;
  if (acceptedMeanwhile != 0) return 23;
  if (!waitUntil([&] { return connected == 1; }, 5s)) return 30;
  auto later = connectTo(server.listeningPort());
  if (!waitUntil([&] { return connected == 2; }, 5s)) return 31;
  if (!server.isActive()) return 32;
  ::close(waiting);
  return 0;
}

// In a process of its own, so that the descriptor limit reaches no other test. While no
// descriptor is left the sanitizer cannot check an object type it has not checked before (it
// probes memory through a pipe), so the counting above uses plain lambdas, not signal spies.
TEST_F(SocketLayerTest, AcceptingResumesAfterTheDescriptorLimit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto server = listeningServer();
        std::fflush(nullptr);
        std::_Exit(acceptAcrossTheDescriptorLimit(*server));
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(SocketLayerTest, PortChangeWhileListeningDropsClientsAndMoves) {
  auto server = listeningServer();
  const quint16 oldPort = server->listeningPort();
  auto peer = connectTo(oldPort);
  ASSERT_TRUE(waitUntil([&] { return server->clients().size() == 1; }));
  QSignalSpy disconnected(server.get(), &TcpServer::clientDisconnected);

  const quint16 newPort = closedPort();
  server->setPort(newPort);
  EXPECT_TRUE(server->isActive());
  EXPECT_EQ(server->listeningPort(), newPort);
  EXPECT_TRUE(server->clients().empty());
  ASSERT_TRUE(waitUntil([&] { return peer->state() == QAbstractSocket::UnconnectedState; }));
  // Clients closed by the server itself are not reported as departures.
  EXPECT_EQ(disconnected.count(), 0);
  auto late = connectTo(newPort);
  EXPECT_TRUE(waitUntil([&] { return server->clients().size() == 1; }));

  // While inactive a port change only stores the port.
  server->setActive(false);
  server->setPort(oldPort);
  EXPECT_FALSE(server->isActive());
  EXPECT_EQ(server->listeningPort(), 0);
}

TEST_F(SocketLayerTest, PortInUseIsReportedAndLeavesServerInactive) {
  auto first = listeningServer();
  TcpServer second;
  second.setListenAddress(kLoopback);
  second.setPort(first->listeningPort());
  QSignalSpy errors(&second, &TcpServer::errorOccurred);
  second.setActive(true);
  EXPECT_FALSE(second.isActive());
  ASSERT_EQ(errors.count(), 1);
  EXPECT_EQ(errors.at(0).at(0).toString(), "Address already in use");
}

// Batched (where the system has io_uring) and plain sends meet full buffers, partial sends and
// resets alike.
class SendModeTest : public SocketLayerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SendModeTest, ServerSurvivesResettingAndStalledClients) {
  auto server = listeningServer();
  server->setBatchedSends(GetParam());
  server->setSendBufferLimit(64 * 1024);
  QSignalSpy errors(server.get(), &TcpServer::errorOccurred);
  QSignalSpy disconnected(server.get(), &TcpServer::clientDisconnected);

  auto resetting = connectTo(server->listeningPort());
  auto stalled = connectTo(server->listeningPort());
  stalled->setReadBufferSize(1);  // takes one byte into Qt and then leaves the kernel buffer full
  auto reader = connectTo(server->listeningPort());
  ASSERT_TRUE(waitUntil([&] { return server->clients().size() == 3; }));

  resetOnClose(*resetting);
  resetting->abort();
  ASSERT_TRUE(waitUntil([&] { return server->clients().size() == 2; }));
  EXPECT_TRUE(server->isActive());

  // Far more than the kernel buffers and the bound together; the reader keeps reading throughout.
  const QByteArray chunk(16 * 1024, 'n');
  qint64 readTotal = 0;
  int sends = 0;
  for (; sends < 4000 && server->clients().size() == 2; ++sends) {
    server->sendToAll(chunk);
    spin(0ms);
    readTotal += reader->readAll().size();
  }
  ASSERT_EQ(server->clients().size(), 1u) << "the stalled client was never dropped";
  EXPECT_TRUE(errors.contains(QVariantList{QStringLiteral("No buffer space available")}));
  EXPECT_EQ(disconnected.count(), 2);

  EXPECT_EQ(server->sendToAll("end"), 1);
  const qint64 expected = qint64(sends) * chunk.size() + 3;
  ASSERT_TRUE(waitUntil([&] {
    readTotal += reader->readAll().size();
    return readTotal == expected;
  }));
  EXPECT_TRUE(server->isActive());
}

INSTANTIATE_TEST_SUITE_P(Sends, SendModeTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& mode) { return mode.param ? "Batched" : "Plain"; });

TEST_F(SocketLayerTest, ClientConnectsReceivesAndSeesThePeerClose) {
  QTcpServer peerServer;
  ASSERT_TRUE(peerServer.listen(kLoopback, 0));
  TcpClient client;
  client.setPort(peerServer.serverPort());
  QSignalSpy connected(&client, &TcpClient::connected);
  QSignalSpy disconnected(&client, &TcpClient::disconnected);
  QSignalSpy errors(&client, &TcpClient::errorOccurred);
  QByteArray received;
  QObject::connect(&client, &TcpClient::dataReceived, [&](const QByteArray& data) { received += data; });

  client.setActive(true);
  EXPECT_TRUE(client.isActive());
  ASSERT_TRUE(waitUntil([&] { return peerServer.hasPendingConnections(); }));
  std::unique_ptr<QTcpSocket> peer(peerServer.nextPendingConnection());
  ASSERT_TRUE(waitUntil([&] { return connected.count() == 1; }));
  EXPECT_TRUE(client.isConnected());

  peer->write("$GPRMC,1\r\n$GPGGA,2\r\n");
  ASSERT_TRUE(waitUntil([&] { return received.size() == 20; }));
  EXPECT_EQ(received, "$GPRMC,1\r\n$GPGGA,2\r\n");

  EXPECT_EQ(client.send("ping"), 4);
  ASSERT_TRUE(waitUntil([&] { return peer->bytesAvailable() == 4; }));

  peer->disconnectFromHost();
  ASSERT_TRUE(waitUntil([&] { return disconnected.count() >= 1; }));
  spin(50ms);
  EXPECT_EQ(disconnected.count(), 1);
  EXPECT_EQ(errors.count(), 0);
  EXPECT_FALSE(client.isActive());
  EXPECT_FALSE(client.isConnected());
}

TEST_F(SocketLayerTest, ClientCloseReportsOnceAndHostChangeReconnects) {
  QTcpServer one;
  QTcpServer two;
  ASSERT_TRUE(one.listen(kLoopback, 0));
  ASSERT_TRUE(two.listen(QHostAddress("127.0.0.2"), one.serverPort()) ||
              two.listen(kLoopback, 0));
  TcpClient client;
  client.setPort(one.serverPort());
  QSignalSpy disconnected(&client, &TcpClient::disconnected);

  client.setActive(true);
  client.setActive(true);  // repeated request: nothing
  ASSERT_TRUE(waitUntil([&] { return client.isConnected() && one.hasPendingConnections(); }));
  std::unique_ptr<QTcpSocket> first(one.nextPendingConnection());
  EXPECT_FALSE(one.hasPendingConnections());

  // A new address while connected: closes, then connects to the new one.
  if (two.serverAddress() == kLoopback) {
    client.setPort(two.serverPort());
  } else {
    client.setHost("127.0.0.2");
  }
  ASSERT_TRUE(waitUntil([&] { return two.hasPendingConnections(); }));
  ASSERT_TRUE(waitUntil([&] { return first->state() == QAbstractSocket::UnconnectedState; }));
  EXPECT_EQ(disconnected.count(), 1);

  client.setActive(false);
  client.setActive(false);
  spin(50ms);
  EXPECT_EQ(disconnected.count(), 2);
  EXPECT_FALSE(client.isActive());
}

TEST_F(SocketLayerTest, ClientFailuresUseTheClassicTexts) {
  struct Row {
    const char* name;
    QString host;
    quint16 port;
    const char* text;
  };
  const Row rows[] = {
      {"nobody listening", QStringLiteral("127.0.0.1"), closedPort(), "Connection refused"},
      {"name that does not resolve", QStringLiteral("no-such-host.invalid"), 2222, "Bad address"},
  };
  for (const Row& row : rows) {
    TcpClient client;
    client.setHost(row.host);
    client.setPort(row.port);
    QSignalSpy errors(&client, &TcpClient::errorOccurred);
    QSignalSpy disconnected(&client, &TcpClient::disconnected);
    client.setActive(true);
    ASSERT_TRUE(waitUntil([&] { return errors.count() == 1; }, 20s)) << row.name;
    EXPECT_EQ(errors.at(0).at(0).toString(), row.text) << row.name;
    EXPECT_FALSE(client.isActive()) << row.name;
    EXPECT_FALSE(client.isConnected()) << row.name;
    EXPECT_EQ(disconnected.count(), 0) << row.name;
  }
}

TEST_F(SocketLayerTest, ClientMayBeDeletedFromItsOwnSignals) {
  QTcpServer peerServer;
  ASSERT_TRUE(peerServer.listen(kLoopback, 0));
  auto* client = new TcpClient;
  client->setPort(peerServer.serverPort());
  bool gone = false;
  QObject::connect(client, &TcpClient::dataReceived, [&](const QByteArray&) {
    delete client;
    gone = true;
  });
  client->setActive(true);
  ASSERT_TRUE(waitUntil([&] { return peerServer.hasPendingConnections(); }));
  std::unique_ptr<QTcpSocket> peer(peerServer.nextPendingConnection());
  peer->write("$GP");
  peer->disconnectFromHost();
  ASSERT_TRUE(waitUntil([&] { return gone; }));
  spin(50ms);
}

}  // namespace
}  // namespace geomuxer
