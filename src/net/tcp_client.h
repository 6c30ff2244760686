#pragma once
// An outgoing TCP connection with the reporting the sources expect: connect on request, report
// data, a peer close and failures (as the socket layer's error texts), never throw.

#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpSocket;

namespace geomuxer {

/// A TCP client over QTcpSocket. Main thread only. Every signal is emitted from the event loop and
/// nothing of the client is touched after an emission, so a handler may delete the client.
class TcpClient : public QObject {
  Q_OBJECT

 public:
  explicit TcpClient(QObject* parent = nullptr);
  ~TcpClient() override;

  [[nodiscard]] QString host() const { return m_host; }
  /// Host name or dotted address. A change while connected reconnects to the new host.
  void setHost(const QString& host);
  [[nodiscard]] quint16 port() const { return m_port; }
  /// A change while connected reconnects to the new port.
  void setPort(quint16 port);

  /// True from the connect request until the connection is closed or has failed.
  [[nodiscard]] bool isActive() const { return m_active; }
  /// Connects asynchronously (true) or closes the connection (false); repeating the current state
  /// does nothing.
  void setActive(bool active);
  /// The connection is established.
  [[nodiscard]] bool isConnected() const;

  /// TCP keep-alive on the connection (probes after 10 s idle, every 5 s, 3 unanswered end it), so
  /// that a peer that vanished without a word is noticed; takes effect at the next connect.
  void setKeepAlive(bool on) { m_keepAlive = on; }

  /// Host as an IPv4 address in host byte order, 0 when it is not a dotted address.
  [[nodiscard]] quint32 ip() const;

  /// Queues bytes for the peer; the count queued, 0 when not connected.
  qint64 send(const QByteArray& data);

 signals:
  void connected();
  /// The connection ended: closed here, or by the peer (also when the peer reset it).
  void disconnected();
  void dataReceived(const QByteArray& data);
  /// A failed connect or a broken connection; the client is then inactive.
  void errorOccurred(const QString& message);

 private:
  void onSocketConnected();
  void onSocketDisconnected();
  void onSocketReadyRead();
  void onSocketError(int error);
  void reconnect();

  QTcpSocket* m_socket;  // child
  QString m_host = QStringLiteral("127.0.0.1");
  quint16 m_port = 0;
  bool m_active = false;
  bool m_lookingUp = false;
  bool m_established = false;  // the current attempt got connected
  bool m_keepAlive = false;
};

}  // namespace geomuxer
