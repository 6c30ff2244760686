#pragma once
// Sends every recorded position as one NMEA datagram to a configured address: a host (by address
// or by name), a broadcast address or a multicast group. Marine programs listen on port 10110.

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <string>
#include <string_view>

#include "core/track_logger.h"

class QHostInfo;
class QUdpSocket;

namespace geomuxer {

/// The NMEA UDP logger. `start` opens the socket (once) and announces the target through
/// `sending`; `stop` keeps it. A host name is looked up anew at each start, without blocking;
/// positions that come before the answer are not sent. A failed send is reported once until a
/// send works again, so a network that is down does not flood the log. Main thread only.
class NmeaUdpLogger : public QObject, public TrackLogger {
  Q_OBJECT

 public:
  static constexpr quint16 kDefaultPort = 10110;
  /// Datagrams of passed-through sentences stay below this, cut at line ends, so that they are
  /// not fragmented on an Ethernet link.
  static constexpr std::size_t kMaxDatagram = 1400;

  explicit NmeaUdpLogger(QObject* parent = nullptr);
  ~NmeaUdpLogger() override;

  /// Where datagrams go: an IPv4 or IPv6 address (unicast, broadcast such as 255.255.255.255 or
  /// a subnet's, or multicast) or a host name, looked up at the next start. Text that is neither
  /// is refused (false) and the host stays.
  bool setHost(const QString& host);
  [[nodiscard]] QString host() const { return m_host; }
  void setAddress(const QHostAddress& address) { (void)setHost(address.toString()); }
  /// The address datagrams go to: the host's own address, or what its name was found to be;
  /// null while a name is not looked up yet.
  [[nodiscard]] QHostAddress address() const { return m_address; }
  /// An IP address, or a host name made of letters, digits, hyphens and dots.
  [[nodiscard]] static bool validHost(const QString& host);
  /// Network interface (by name, as the system lists it) that multicast datagrams leave by;
  /// empty (the default) lets the system choose. Takes effect at the next start.
  void setMulticastInterface(const QString& name) { m_multicastInterface = name; }
  [[nodiscard]] QString multicastInterface() const { return m_multicastInterface; }
  void setPort(quint16 port) { m_port = port; }
  [[nodiscard]] quint16 port() const { return m_port; }
  /// Hops of multicast datagrams (1: this network only); takes effect at the next start.
  void setTtl(int ttl) { m_ttl = ttl; }
  [[nodiscard]] int ttl() const { return m_ttl; }
  /// As for the TCP broadcast: the source's own sentences instead of blocks of our own.
  void setPassThrough(bool on) { m_passThrough = on; }
  [[nodiscard]] bool passThrough() const { return m_passThrough; }
  /// Two upper-case letters; anything else is refused (false) and the talker stays.
  bool setTalker(const std::string& talker);
  [[nodiscard]] const std::string& talker() const { return m_talker; }

  void addPosition(const PositionInfo& position) override;
  void addSentences(std::string_view lines) override;
  void start() override;
  void stop() override {}

 signals:
  /// "address:port" the datagrams go to, at each start; "name:port (address)" once a host name
  /// was looked up.
  void sending(const QString& target);
  void errorOccurred(const QString& message);

 private:
  void send(std::string_view datagram);
  void onHostFound(const QHostInfo& info);
  // Binds the socket for the address's protocol and sets its options, then announces the target.
  void openFor(const QHostAddress& address);

  QUdpSocket* m_socket = nullptr;  // child, from the first start
  QString m_host = QStringLiteral("127.0.0.1");
  QHostAddress m_address{QHostAddress::LocalHost};
  QString m_multicastInterface;
  int m_lookup = -1;  // the host name lookup in flight
  quint16 m_port = kDefaultPort;
  int m_ttl = 1;
  bool m_passThrough = false;
  std::string m_talker = "GP";
  std::string m_block;  // reused between positions
  bool m_failing = false;
};

}  // namespace geomuxer
