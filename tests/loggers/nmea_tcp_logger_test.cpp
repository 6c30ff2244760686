// The NMEA broadcast with real TCP clients on loopback.

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/nmea.h"
#include "core/tracklog_filter.h"
#include "loggers/nmea_tcp_logger.h"
#include "support/qt_event_loop.h"
#include "support/pty_pair.h"
#include "support/qt_process.h"
#include "sources/trackers/gps_tracker_nmea_com.h"
#include "loggers/track_logger_list.h"

namespace geomuxer {
namespace {

using test::freePort;

using test::qtApp;
using test::spin;
using test::waitUntil;
using namespace std::chrono_literals;

const QHostAddress kLoopback(QHostAddress::LocalHost);

PositionInfo position(float lon, float lat) {
  PositionInfo p;
  p.time = 39585.0 + 0.5;  // 2008-05-17 12:00:00
  p.x = lon;
  p.y = lat;
  p.fix = fix3D;
  p.fields = {defTime, defXY, defFix};
  return p;
}

std::string broadcastBlock(const PositionInfo& p) {
  std::string out;
  appendNmeaBroadcastBlock(out, p, "GP");
  return out;
}

QByteArray block(const PositionInfo& p) { return QByteArray::fromStdString(broadcastBlock(p)); }

std::unique_ptr<QTcpSocket> connectTo(quint16 port) {
  auto socket = std::make_unique<QTcpSocket>();
  socket->connectToHost(kLoopback, port);
  EXPECT_TRUE(waitUntil([&] { return socket->state() == QAbstractSocket::ConnectedState; }));
  return socket;
}

// Reads from `socket` until `expected` bytes have arrived.
QByteArray readExactly(QTcpSocket& socket, qsizetype expected) {
  QByteArray got;
  EXPECT_TRUE(waitUntil([&] {
    got += socket.readAll();
    return got.size() >= expected;
  })) << "got " << got.size() << " of " << expected << " bytes";
  return got;
}

class NmeaTcpLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qtApp();
    logger.setListenAddress(kLoopback);
    logger.setPort(freePort());
  }

  NmeaTcpLogger logger;
};

TEST_F(NmeaTcpLoggerTest, ServerComesWithTheFirstActiveStart) {
  QSignalSpy listening(&logger, &NmeaTcpLogger::listening);
  logger.start();
  EXPECT_EQ(logger.server(), nullptr);
  logger.addPosition(position(8.25f, 47.5f));  // no server: nothing happens
  EXPECT_EQ(listening.count(), 0);

  logger.setActive(true);
  logger.start();
  ASSERT_NE(logger.server(), nullptr);
  EXPECT_EQ(logger.listeningPort(), logger.port());
  EXPECT_EQ(listening.count(), 1);

  // A later run finds the server listening and says nothing more.
  logger.stop();
  logger.start();
  EXPECT_EQ(listening.count(), 1);
  EXPECT_TRUE(logger.server()->isActive());
}

TEST_F(NmeaTcpLoggerTest, EveryClientGetsEachBlockFromItsArrivalOn) {
  logger.setActive(true);
  logger.start();
  QSignalSpy connected(&logger, &NmeaTcpLogger::clientConnected);
  QSignalSpy disconnected(&logger, &NmeaTcpLogger::clientDisconnected);

  auto first = connectTo(logger.port());
  auto second = connectTo(logger.port());
  ASSERT_TRUE(waitUntil([&] { return connected.count() == 2; }));
  auto* reported = connected.at(0).at(0).value<TcpServerClient*>();
  ASSERT_NE(reported, nullptr);
  EXPECT_EQ(reported->host(), "127.0.0.1");

  const PositionInfo one = position(8.25f, 47.5f);
  logger.addPosition(one);
  EXPECT_EQ(readExactly(*first, block(one).size()), block(one));
  EXPECT_EQ(readExactly(*second, block(one).size()), block(one));

  // Clients talk back; that is read and ignored.
  first->write("$PGRMO,,2*75\r\n");

  // A client that connects mid-stream gets the latest block at once, then the stream.
  auto third = connectTo(logger.port());
  ASSERT_TRUE(waitUntil([&] { return connected.count() == 3; }));
  EXPECT_EQ(readExactly(*third, block(one).size()), block(one));
  const PositionInfo two = position(-0.5f, -33.5f);
  logger.addPosition(two);
  EXPECT_EQ(readExactly(*first, block(two).size()), block(two));
  EXPECT_EQ(readExactly(*second, block(two).size()), block(two));
  EXPECT_EQ(readExactly(*third, block(two).size()), block(two));

  // The source stops: clients stay connected, and the next run reaches them again.
  logger.stop();
  spin(50ms);
  EXPECT_EQ(first->state(), QAbstractSocket::ConnectedState);
  EXPECT_EQ(logger.server()->clients().size(), 3u);
  logger.start();
  logger.addPosition(one);
  EXPECT_EQ(readExactly(*third, block(one).size()), block(one));

  second->disconnectFromHost();
  ASSERT_TRUE(waitUntil([&] { return disconnected.count() == 1; }));
  EXPECT_EQ(logger.server()->clients().size(), 2u);
}

TEST_F(NmeaTcpLoggerTest, InactiveLoggerOrRejectingFilterSendsNothing) {
  TracklogFilter filter;
  filter.setActive(true);
  filter.setRecordMode(rmTime);
  filter.setRecordInterval(riNormal);
  logger.setFilter(&filter);
  logger.setActive(true);
  logger.start();
  auto client = connectTo(logger.port());
  ASSERT_TRUE(waitUntil([&] { return logger.server()->clients().size() == 1; }));

  PositionInfo p = position(8.25f, 47.5f);
  logger.addPosition(p);  // first position: recorded
  logger.addPosition(p);  // same time again: filtered out
  logger.setActive(false);
  logger.addPosition(position(9.0f, 47.5f));
  logger.setActive(true);
  QByteArray got = readExactly(*client, block(p).size());
  spin(50ms);
  got += client->readAll();
  EXPECT_EQ(got, block(p));
}

TEST_F(NmeaTcpLoggerTest, PortChangeMovesTheListenerAndDropsClients) {
  logger.setActive(true);
  logger.start();
  auto client = connectTo(logger.port());
  ASSERT_TRUE(waitUntil([&] { return logger.server()->clients().size() == 1; }));
  QSignalSpy listening(&logger, &NmeaTcpLogger::listening);

  const quint16 newPort = freePort();
  logger.setPort(newPort);
  logger.setPort(newPort);
  EXPECT_EQ(listening.count(), 1);
  EXPECT_EQ(logger.listeningPort(), newPort);
  ASSERT_TRUE(waitUntil([&] { return client->state() == QAbstractSocket::UnconnectedState; }));
  auto moved = connectTo(newPort);
  EXPECT_TRUE(waitUntil([&] { return logger.server()->clients().size() == 1; }));
}

TEST_F(NmeaTcpLoggerTest, ListenAddressIsParsedAndAChangeMovesTheListener) {
  EXPECT_EQ(NmeaTcpLogger::parseListenAddress(""), QHostAddress(QHostAddress::AnyIPv4));
  EXPECT_EQ(NmeaTcpLogger::parseListenAddress(" 0.0.0.0 "), QHostAddress(QHostAddress::AnyIPv4));
  EXPECT_EQ(NmeaTcpLogger::parseListenAddress("::1"), QHostAddress(QHostAddress::LocalHostIPv6));
  EXPECT_FALSE(NmeaTcpLogger::parseListenAddress("localhost"));
  EXPECT_FALSE(NmeaTcpLogger::parseListenAddress("127.0.0.300"));

  logger.setActive(true);
  logger.start();
  auto v4 = connectTo(logger.port());
  ASSERT_TRUE(waitUntil([&] { return logger.server()->clients().size() == 1; }));
  QSignalSpy listening(&logger, &NmeaTcpLogger::listening);
  logger.setListenAddress(QHostAddress(QHostAddress::LocalHostIPv6));
  EXPECT_EQ(listening.count(), 1);
  ASSERT_TRUE(waitUntil([&] { return v4->state() == QAbstractSocket::UnconnectedState; }));
  QTcpSocket v6;
  v6.connectToHost(QHostAddress(QHostAddress::LocalHostIPv6), logger.port());
  if (!waitUntil([&] { return v6.state() == QAbstractSocket::ConnectedState; })) GTEST_SKIP() << "no IPv6 loopback";
  ASSERT_TRUE(waitUntil([&] { return logger.server()->clients().size() == 1; }));
  EXPECT_EQ(logger.server()->clients().front()->host(), "::1");
  EXPECT_EQ(logger.server()->localAddress(), "::1");
}

TEST_F(NmeaTcpLoggerTest, TakenPortIsReportedAndStillAnnouncesListening) {
  QTcpServer squatter;
  ASSERT_TRUE(squatter.listen(kLoopback, logger.port()));
  QSignalSpy errors(&logger, &NmeaTcpLogger::errorOccurred);
  QSignalSpy listening(&logger, &NmeaTcpLogger::listening);
  logger.setActive(true);
  logger.start();
  ASSERT_EQ(errors.count(), 1);
  EXPECT_EQ(errors.at(0).at(0).toString(), "Address already in use");
  EXPECT_EQ(listening.count(), 1);
  EXPECT_FALSE(logger.server()->isActive());
  logger.addPosition(position(1.0f, 2.0f));  // nobody to send to: harmless

  // The next run tries again and succeeds once the port is free.
  squatter.close();
  logger.start();
  EXPECT_TRUE(logger.server()->isActive());
  EXPECT_EQ(listening.count(), 2);
}

TEST_F(NmeaTcpLoggerTest, ResettingAndNonReadingClientsCostOnlyThemselves) {
  logger.setActive(true);
  logger.start();
  logger.server()->setSendBufferLimit(8 * 1024);
  QSignalSpy disconnected(&logger, &NmeaTcpLogger::clientDisconnected);
  auto resetting = connectTo(logger.port());
  auto silent = connectTo(logger.port());
  silent->setReadBufferSize(1);
  auto reader = connectTo(logger.port());
  ASSERT_TRUE(waitUntil([&] { return logger.server()->clients().size() == 3; }));

  resetting->abort();
  ASSERT_TRUE(waitUntil([&] { return disconnected.count() == 1; }));

  const PositionInfo p = position(8.25f, 47.5f);
  const qsizetype blockSize = block(p).size();
  qint64 readTotal = 0;
  int sent = 0;
  // Blocks are small: it takes the kernel's buffers plus the bound to give the silent one away.
  for (; sent < 200000 && logger.server()->clients().size() == 2; ++sent) {
    logger.addPosition(p);
    if (sent % 64 == 0) spin(0ms);
    readTotal += reader->readAll().size();
  }
  ASSERT_EQ(logger.server()->clients().size(), 1u);
  EXPECT_EQ(disconnected.count(), 2);
  ASSERT_TRUE(waitUntil([&] {
    readTotal += reader->readAll().size();
    return readTotal == qint64(sent) * blockSize;
  }));
  EXPECT_TRUE(logger.server()->isActive());
}

// A plain loopback client on its own descriptor, for swarms too big for QTcpSocket.
int rawClient(quint16 port, int receiveBuffer = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Takes what has arrived on `fd` without waiting; false once the connection has ended.
bool drain(int fd, std::string& into) {
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) {
      into.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
  }
}

struct FdCloser {
  std::vector<int>& fds;
  ~FdCloser() {
    for (int fd : fds) ::close(fd);
  }
};

TEST_F(NmeaTcpLoggerTest, NewcomerGetsOnlyACurrentBlock) {
  TracklogFilter filter;  // riNormal: a block is current for eleven seconds
  logger.setFilter(&filter);
  logger.setActive(true);
  logger.start();
  auto early = connectTo(logger.port());
  ASSERT_TRUE(waitUntil([&] { return logger.server()->clients().size() == 1; }));
  spin(50ms);
  EXPECT_EQ(early->readAll(), "") << "nothing broadcast yet, so nothing to catch up on";

  const PositionInfo p = position(8.25f, 47.5f);
  logger.addPosition(p);
  EXPECT_EQ(readExactly(*early, block(p).size()), block(p));
  auto late = connectTo(logger.port());
  EXPECT_EQ(readExactly(*late, block(p).size()), block(p));

  // At the fastest interval a block is current for two seconds only.
  filter.setRecordInterval(riMax);
  spin(2100ms);
  auto stale = connectTo(logger.port());
  ASSERT_TRUE(waitUntil([&] { return logger.server()->clients().size() == 3; }));
  spin(50ms);
  EXPECT_EQ(stale->readAll(), "");
}

TEST_F(NmeaTcpLoggerTest, ThousandsOfClientsGetEveryBlockInOrder) {
  constexpr int kClients = 2000;
  constexpr int kBlocks = 20;
  // Each connection takes two descriptors here, ours and the server's.
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  const rlim_t wanted = 2 * kClients + 256;
  if (limit.rlim_cur < wanted) {
    if (limit.rlim_max < wanted) GTEST_SKIP() << "needs " << wanted << " descriptors, the hard limit is " << limit.rlim_max;
    limit.rlim_cur = wanted;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  }

  logger.setActive(true);
  logger.start();
  std::vector<int> fds;
  FdCloser closer{fds};
  // In batches that the listener's backlog holds, accepting between them.
  while (std::ssize(fds) < kClients) {
    for (int i = 0; i < 200 && std::ssize(fds) < kClients; ++i) {
      const int fd = rawClient(logger.port());
      ASSERT_GE(fd, 0) << "connect failed: " << std::strerror(errno);
      fds.push_back(fd);
    }
    ASSERT_TRUE(waitUntil([&] { return std::ssize(logger.server()->clients()) == std::ssize(fds); }));
  }

  std::string expected;
  for (int i = 0; i < kBlocks; ++i) {
    const PositionInfo p = position(-20.0f + 2.0f * static_cast<float>(i), 47.5f);
    expected += broadcastBlock(p);
    logger.addPosition(p);
    spin(0ms);
  }
  std::vector<std::string> got(fds.size());
  std::size_t complete = 0;
  ASSERT_TRUE(waitUntil([&] {
    complete = 0;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (got[i].size() < expected.size()) drain(fds[i], got[i]);
      if (got[i].size() >= expected.size()) ++complete;
    }
    return complete == fds.size();
  })) << complete << " of " << fds.size() << " clients got everything";
  for (std::size_t i = 0; i < fds.size(); ++i) ASSERT_EQ(got[i], expected) << "client " << i;
  EXPECT_EQ(std::ssize(logger.server()->clients()), kClients);
}

TEST_F(NmeaTcpLoggerTest, ClientThatFallsBehindCatchesUpInOrder) {
  logger.setActive(true);
  logger.start();
  std::vector<int> fds{rawClient(logger.port(), 4096)};
  FdCloser closer{fds};
  ASSERT_GE(fds[0], 0);
  ASSERT_TRUE(waitUntil([&] { return logger.server()->clients().size() == 1; }));

  // Until the kernel holds no more for the paused reader, then as much again from the queue.
  logger.server()->setSendBufferLimit(64 * 1024 * 1024);
  TcpServerClient* client = logger.server()->clients().front();
  std::string expected;
  int queued = 0;
  for (int i = 0; i < 200000 && queued < 500; ++i) {
    const PositionInfo p = position(static_cast<float>(i % 360) - 180.0f, static_cast<float>(i % 90));
    expected += broadcastBlock(p);
    logger.addPosition(p);
    if (client->pendingBytes() > 0) ++queued;
  }
  ASSERT_EQ(queued, 500) << "the test never filled the kernel buffer";
  ASSERT_EQ(logger.server()->clients().size(), 1u);

  std::string got;
  ASSERT_TRUE(waitUntil([&] {
    if (!drain(fds[0], got)) return true;
    return got.size() >= expected.size();
  }));
  EXPECT_EQ(got, expected);
  ASSERT_EQ(logger.server()->clients().size(), 1u);
  EXPECT_EQ(logger.server()->clients().front()->pendingBytes(), 0);
}

// The source's own sentences through a real serial source (a pty) to a client: verbatim, with
// nothing of ours and nothing that fails its checksum; a talker of our choice otherwise.
TEST_F(NmeaTcpLoggerTest, PassThroughSendsTheSourcesValidLinesVerbatim) {
  test::PtyPair receiver;
  if (!receiver.ok()) GTEST_SKIP() << "no pseudo-terminal available";
  TrackLoggerList list;
  list.setActive(true);
  list.add(&logger);
  logger.setPassThrough(true);
  logger.setActive(true);
  GpsTrackerNmeaCom tracker;
  tracker.setPort(receiver.slaveName());
  tracker.setLogger(&list);
  tracker.start();
  auto client = connectTo(logger.port());
  ASSERT_TRUE(waitUntil([&] { return logger.server()->clients().size() == 1; }));

  const std::string rmc = nmeaFrame("GNRMC,120000.20,A,4730.0000,N,00815.0000,E,0.0,0.0,091226,,,A") + "\r\n";
  const std::string gga = nmeaFrame("GNGGA,120000.20,4730.0000,N,00815.0000,E,1,08,0.9,512.0,M,47.0,M,,") + "\r\n";
  const std::string ais = "!AIVDM,1,1,,A,13u?etPv2;0n:dDPwUM1U1Cb069D,0*24\r\n";
  const std::string next = nmeaFrame("GNRMC,120000.40,A,4730.0010,N,00815.0000,E,0.0,0.0,091226,,,A") + "\r\n";
  std::string bad = nmeaFrame("GPGSV,1,1,01,05,40,083,46");
  bad.back() = bad.back() == '0' ? '1' : '0';
  const std::string input = rmc + bad + "\r\n" + "$GPGLL,4730.0000,N,00815.0000,E,120000,A\r\n" + gga +
                            ais + "garbage\r\n" + next;
  ASSERT_TRUE(receiver.write(input.substr(0, 50)));
  spin(30ms);  // a sentence split across reads goes out whole
  ASSERT_TRUE(receiver.write(input.substr(50)));
  const std::string expected = rmc + gga + ais + next;
  EXPECT_EQ(readExactly(*client, std::ssize(expected)).toStdString(), expected);
  spin(300ms);  // the epoch closed by `next`, and the quiet time after it, bring no block of ours
  EXPECT_EQ(client->readAll().toStdString(), "");

  // Back to blocks of our own, with the talker asked for.
  logger.setPassThrough(false);
  EXPECT_FALSE(logger.setTalker("gps"));
  EXPECT_TRUE(logger.setTalker("GN"));
  const PositionInfo p = position(8.25f, 47.5f);
  logger.addPosition(p);
  std::string ours;
  appendNmeaBroadcastBlock(ours, p, "GN");
  EXPECT_EQ(readExactly(*client, std::ssize(ours)).toStdString(), ours);
  tracker.stop();
}

}  // namespace
}  // namespace geomuxer
