#pragma once
// An NMEA server reached over TCP as the transport of a source.

#include <QString>

#include <memory>
#include <string>

#include "net/tcp_client.h"
#include "sources/transports/gps_interface.h"

namespace geomuxer {

/// TCP client transport. `open` connects asynchronously (the host name is looked up at every
/// open); every chunk received goes to the decoder as it is. A connection that cannot be made is
/// a `refused` fault, one that breaks a `reset` fault (both with the socket layer's text), one that
/// is not made within the connect timeout a `timeout` fault; a close by the server is
/// `endOfStream`. The connection has TCP keep-alive on. Main thread only.
class GpsInterfaceTcpip : public GpsInterface {
  Q_OBJECT

 public:
  explicit GpsInterfaceTcpip(std::unique_ptr<GpsProtocol> protocol, QObject* parent = nullptr);
  ~GpsInterfaceTcpip() override;

  [[nodiscard]] std::string name() const override { return "TCP/IP"; }
  /// Connecting or connected.
  [[nodiscard]] bool isActive() const override { return m_client->isActive(); }
  void open() override;
  void close() override;
  [[nodiscard]] bool isConnecting() const override { return m_open && !m_connected; }

  /// Where to connect; a change takes effect at the next `open`.
  [[nodiscard]] QString host() const { return m_host; }
  void setHost(const QString& host) { m_host = host; }
  [[nodiscard]] quint16 port() const { return m_port; }
  void setPort(quint16 port) { m_port = port; }

  [[nodiscard]] TcpClient* client() const { return m_client; }

  /// How long a connect may take (a host that drops the packets would leave it waiting minutes).
  static constexpr Clock::Duration kConnectTimeout{10'000};
  void setConnectTimeout(Clock::Duration time) { m_connectTimeout = time; }

 private:
  void onData(const QByteArray& data);
  void onDisconnected();
  void onError(const QString& message);
  void onConnectTimeout();

  TcpClient* m_client;  // child
  QString m_host = QStringLiteral("127.0.0.1");
  quint16 m_port = 2222;
  bool m_open = false;
  bool m_connected = false;  // since the last open
  Clock::Duration m_connectTimeout = kConnectTimeout;
  Timer m_connectTimer;
};

}  // namespace geomuxer
