// The NMEA UDP logger with real UDP sockets on this machine: unicast on loopback and a multicast group.

#include <gtest/gtest.h>

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QSignalSpy>
#include <QUdpSocket>

#include <string>
#include <vector>

#include "core/nmea.h"
#include "loggers/nmea_udp_logger.h"
#include "sources/decoders/gps_protocol_nmea.h"
#include "support/qt_event_loop.h"

namespace geomuxer {
namespace {

using test::qtApp;
using test::waitUntil;

PositionInfo position(double lat) {
  PositionInfo p;
  p.time = 39585.0 + 0.5;
  p.x = 8.25;
  p.y = lat;
  p.hdop = 0.9f;
  p.fix = fix3D;
  p.fields = {defTime, defXY, defHDOP, defFix};
  return p;
}

std::vector<std::string> receive(QUdpSocket& socket, std::size_t count) {
  std::vector<std::string> got;
  (void)waitUntil([&] {
    while (socket.hasPendingDatagrams()) got.push_back(socket.receiveDatagram().data().toStdString());
    return got.size() >= count;
  });
  return got;
}

TEST(NmeaUdpLoggerTest, EachBlockIsOneDatagramOfValidSentences) {
  qtApp();
  QUdpSocket receiver;
  ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, 0));
  NmeaUdpLogger logger;
  QSignalSpy sending(&logger, &NmeaUdpLogger::sending);
  logger.setPort(receiver.localPort());
  ASSERT_TRUE(logger.setTalker("GN"));
  logger.addPosition(position(47.5));  // not started: nothing
  logger.setActive(true);
  logger.start();
  ASSERT_EQ(sending.count(), 1);
  EXPECT_EQ(sending.at(0).at(0).toString(), QStringLiteral("127.0.0.1:%1").arg(receiver.localPort()));
  logger.addPosition(position(47.5));
  logger.addPosition(position(-33.5));
  const std::vector<std::string> got = receive(receiver, 2);
  ASSERT_EQ(got.size(), 2u);
  std::string expected;
  appendNmeaBroadcastBlock(expected, position(-33.5), "GN");
  EXPECT_EQ(got[1], expected);
  for (std::size_t at = 0, end; (end = got[0].find("\r\n", at)) != std::string::npos; at = end + 2) {
    const std::string line = got[0].substr(at, end - at);
    EXPECT_TRUE(GpsProtocolNmea::checksumValid(line)) << line;
    EXPECT_EQ(line.substr(0, 3), "$GN") << line;
  }

  // Passed-through sentences: cut at line ends into datagrams that stay below the bound.
  logger.setPassThrough(true);
  logger.addPosition(position(10.0));  // no block of ours now
  std::string lines;
  while (lines.size() < 3 * NmeaUdpLogger::kMaxDatagram)
    lines += nmeaFrame("GPGSV,3,1,12,01,40,083,46,02,17,308,41,12,07,344,39,14,22,228,45") + "\r\n";
  logger.addSentences(lines);
  const std::vector<std::string> parts = receive(receiver, 3);
  std::string joined;
  for (const std::string& part : parts) {
    EXPECT_LE(part.size(), NmeaUdpLogger::kMaxDatagram);
    EXPECT_EQ(part.substr(part.size() - 2), "\r\n");
    joined += part;
  }
  EXPECT_EQ(joined, lines);
}

TEST(NmeaUdpLoggerTest, DatagramsReachAMulticastGroup) {
  qtApp();
  const QHostAddress group(QStringLiteral("239.255.42.110"));
  QUdpSocket receiver;
  ASSERT_TRUE(receiver.bind(QHostAddress::AnyIPv4, 0, QUdpSocket::ShareAddress));
  if (!receiver.joinMulticastGroup(group)) GTEST_SKIP() << "no multicast here: " << receiver.errorString().toStdString();
  NmeaUdpLogger logger;
  logger.setAddress(group);
  logger.setPort(receiver.localPort());
  logger.setTtl(1);
  logger.setActive(true);
  logger.start();
  logger.addPosition(position(47.5));
  const std::vector<std::string> got = receive(receiver, 1);
  ASSERT_EQ(got.size(), 1u) << "nothing arrived at the group";
  std::string expected;
  appendNmeaBroadcastBlock(expected, position(47.5), "GP");
  EXPECT_EQ(got[0], expected);
}

TEST(NmeaUdpLoggerTest, HostNameIsLookedUpAtStartAndAnUnknownOneReported) {
  qtApp();
  QUdpSocket receiver;
  ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, 0));
  NmeaUdpLogger logger;
  QSignalSpy sending(&logger, &NmeaUdpLogger::sending);
  QSignalSpy errors(&logger, &NmeaUdpLogger::errorOccurred);
  EXPECT_FALSE(logger.setHost(QStringLiteral("no host")));
  EXPECT_FALSE(logger.setHost(QStringLiteral("-bad.example")));
  ASSERT_TRUE(logger.setHost(QStringLiteral("localhost")));
  EXPECT_TRUE(logger.address().isNull());
  logger.setPort(receiver.localPort());
  logger.setActive(true);
  logger.start();
  logger.addPosition(position(1.0));  // before the answer: not sent
  ASSERT_TRUE(waitUntil([&] { return sending.count() == 1; }));
  EXPECT_EQ(sending.at(0).at(0).toString(), QStringLiteral("localhost:%1 (127.0.0.1)").arg(receiver.localPort()));
  logger.addPosition(position(47.5));
  const std::vector<std::string> got = receive(receiver, 1);
  ASSERT_EQ(got.size(), 1u);
  std::string expected;
  appendNmeaBroadcastBlock(expected, position(47.5), "GP");
  EXPECT_EQ(got[0], expected);

  ASSERT_TRUE(logger.setHost(QStringLiteral("no-such-host.invalid")));
  logger.start();
  ASSERT_TRUE(waitUntil([&] { return errors.count() == 1; }, std::chrono::seconds(30)));
  EXPECT_TRUE(errors.at(0).at(0).toString().startsWith("Cannot find host no-such-host.invalid: "));
  logger.addPosition(position(47.5));
  EXPECT_EQ(errors.count(), 1);  // nothing to send to, nothing more to say
}

TEST(NmeaUdpLoggerTest, MulticastLeavesByTheChosenInterface) {
  qtApp();
  const QHostAddress group(QStringLiteral("239.255.42.111"));
  const QNetworkInterface loopback = QNetworkInterface::interfaceFromName(QStringLiteral("lo"));
  if (!loopback.isValid()) GTEST_SKIP() << "no interface named lo";
  // Joined on the loopback interface only: datagrams that leave by another interface miss it.
  QUdpSocket receiver;
  ASSERT_TRUE(receiver.bind(QHostAddress::AnyIPv4, 0, QUdpSocket::ShareAddress));
  if (!receiver.joinMulticastGroup(group, loopback)) GTEST_SKIP() << receiver.errorString().toStdString();
  NmeaUdpLogger logger;
  QSignalSpy errors(&logger, &NmeaUdpLogger::errorOccurred);
  logger.setAddress(group);
  logger.setPort(receiver.localPort());
  logger.setMulticastInterface(QStringLiteral("lo"));
  logger.setActive(true);
  logger.start();
  logger.addPosition(position(47.5));
  ASSERT_EQ(receive(receiver, 1).size(), 1u) << "nothing arrived at the group on lo";
  EXPECT_EQ(errors.count(), 0);

  logger.setMulticastInterface(QStringLiteral("nosuch0"));
  logger.start();
  ASSERT_EQ(errors.count(), 1);
  EXPECT_EQ(errors.at(0).at(0).toString(), "No network interface nosuch0; multicast leaves by the system's choice");
}

}  // namespace
}  // namespace geomuxer
