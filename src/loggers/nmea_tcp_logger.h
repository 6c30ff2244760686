#pragma once
// Broadcasts every recorded position as an NMEA block to every client connected to a TCP port, or
// the source's own sentences as they arrive.

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <chrono>
#include <optional>
#include <string>

#include "core/track_logger.h"
#include "net/tcp_server.h"

namespace geomuxer {

/// The NMEA TCP broadcast. The server is created by the first `start` while the logger is active
/// and keeps listening, with its clients connected, between runs of the source; `stop` does
/// nothing and only destroying the logger closes the server. Main thread only.
class NmeaTcpLogger : public QObject, public TrackLogger {
  Q_OBJECT

 public:
  explicit NmeaTcpLogger(QObject* parent = nullptr);
  ~NmeaTcpLogger() override;

  [[nodiscard]] quint16 port() const { return m_port; }
  /// A change while listening moves the listener (dropping every client) and emits listening.
  void setPort(quint16 port);

  /// Address to listen on (all IPv4 addresses by default). A change while listening moves the
  /// listener (dropping every client) and emits listening.
  void setListenAddress(const QHostAddress& address);
  [[nodiscard]] QHostAddress listenAddress() const { return m_listenAddress; }

  /// Cap on connected clients; takes effect at once for new connections.
  void setMaxClients(int clients);
  [[nodiscard]] int maxClients() const { return m_maxClients; }

  /// A listen address as users write it: empty (or 0.0.0.0) for every IPv4 interface, else an
  /// IPv4 or IPv6 address; nothing when the text is none of these.
  [[nodiscard]] static std::optional<QHostAddress> parseListenAddress(const QString& text);

  /// Off (the default): a block written from each recorded position (see appendNmeaBroadcastBlock).
  /// On: the source's own sentences, verbatim, as they arrive (NMEA sources only; the record
  /// filter does not thin them), and no blocks of our own.
  void setPassThrough(bool on);
  [[nodiscard]] bool passThrough() const { return m_passThrough; }
  /// Talker of the sentences we write: two upper-case letters, "GP" by default. Anything else
  /// leaves it unchanged and returns false.
  bool setTalker(const std::string& talker);
  [[nodiscard]] const std::string& talker() const { return m_talker; }

  /// The server; null until the first start.
  [[nodiscard]] TcpServer* server() const { return m_server; }
  /// The port actually listened on, 0 when not listening.
  [[nodiscard]] quint16 listeningPort() const { return m_server ? m_server->listeningPort() : 0; }

  void addPosition(const PositionInfo& position) override;
  void addSentences(std::string_view lines) override;
  void start() override;
  /// Nothing: clients stay connected between runs.
  void stop() override {}

 signals:
  /// The server was started (also after a failed attempt, already reported) or moved to a new port.
  void listening();
  void clientConnected(geomuxer::TcpServerClient* client);
  void clientDisconnected(geomuxer::TcpServerClient* client);
  void errorOccurred(const QString& message);

 private:
  void onClientConnected(TcpServerClient* client);
  // How long the latest block is worth sending to a newcomer: until the next one is due.
  [[nodiscard]] std::chrono::milliseconds latestBlockLifetime() const;

  TcpServer* m_server = nullptr;  // child
  QHostAddress m_listenAddress{QHostAddress::AnyIPv4};
  quint16 m_port = 0;
  int m_maxClients = TcpServer::kDefaultMaxClients;
  bool m_passThrough = false;
  std::string m_talker = "GP";
  TcpBlock m_latest;  // the last block broadcast, for clients that connect after it
  std::chrono::steady_clock::time_point m_latestTime;
};

}  // namespace geomuxer
