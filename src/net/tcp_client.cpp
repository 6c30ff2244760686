#include "net/tcp_client.h"

#include <QHostAddress>
#include <QTcpSocket>

#include "net/socket_error.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace geomuxer {

TcpClient::TcpClient(QObject* parent) : QObject(parent), m_socket(new QTcpSocket(this)) {
  // Qt's notifications are taken directly (the socket's state is current then) and passed on
  // through the event loop, so that a handler may delete this client without pulling the socket
  // out from under Qt's own code.
  connect(m_socket, &QTcpSocket::connected, this, &TcpClient::onSocketConnected);
  connect(m_socket, &QTcpSocket::disconnected, this, &TcpClient::onSocketDisconnected);
  connect(m_socket, &QTcpSocket::readyRead, this, &TcpClient::onSocketReadyRead);
  connect(m_socket, &QTcpSocket::errorOccurred, this,
          [this](QAbstractSocket::SocketError error) { onSocketError(static_cast<int>(error)); });
  connect(m_socket, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
    if (state == QAbstractSocket::HostLookupState) m_lookingUp = true;
    if (state == QAbstractSocket::ConnectingState) m_lookingUp = false;
  });
}

TcpClient::~TcpClient() {
  m_socket->disconnect(this);
  m_socket->abort();
}

void TcpClient::setHost(const QString& host) {
  if (host == m_host) return;
  m_host = host;
  if (isConnected()) reconnect();
}

void TcpClient::setPort(quint16 port) {
  if (port == m_port) return;
  m_port = port;
  if (isConnected()) reconnect();
}

void TcpClient::reconnect() {
  setActive(false);
  setActive(true);
}

bool TcpClient::isConnected() const {
  return m_socket->state() == QAbstractSocket::ConnectedState;
}

quint32 TcpClient::ip() const {
  bool ok = false;
  const quint32 address = QHostAddress(m_host).toIPv4Address(&ok);
  return ok ? address : 0;
}

void TcpClient::setActive(bool active) {
  if (active == m_active) return;
  m_active = active;
  if (active) {
    m_lookingUp = false;
    m_established = false;
    m_socket->connectToHost(m_host, m_port);
    return;
  }
  m_socket->abort();
  QMetaObject::invokeMethod(this, &TcpClient::disconnected, Qt::QueuedConnection);
}

qint64 TcpClient::send(const QByteArray& data) {
  if (!isConnected() || data.isEmpty()) return 0;
  const qint64 queued = m_socket->write(data);
  m_socket->flush();
  return queued < 0 ? 0 : queued;
}

void TcpClient::onSocketConnected() {
  m_established = true;
  if (m_keepAlive) {
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef TCP_KEEPIDLE
    const auto fd = static_cast<int>(m_socket->socketDescriptor());
    const int idle = 10, interval = 5, count = 3;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
  }
  QMetaObject::invokeMethod(this, &TcpClient::connected, Qt::QueuedConnection);
}

void TcpClient::onSocketDisconnected() {
  // Closed by us: setActive(false) has already reported it.
  if (!m_active) return;
  m_active = false;
  QMetaObject::invokeMethod(this, &TcpClient::disconnected, Qt::QueuedConnection);
}

void TcpClient::onSocketReadyRead() {
  QByteArray data = m_socket->readAll();
  if (data.isEmpty()) return;
  QMetaObject::invokeMethod(
      this, [this, chunk = std::move(data)] { emit dataReceived(chunk); }, Qt::QueuedConnection);
}

void TcpClient::onSocketError(int error) {
  const auto qtError = static_cast<QAbstractSocket::SocketError>(error);
  // A peer that closes (or resets) an established connection is a disconnect, reported by
  // onSocketDisconnected.
  if (qtError == QAbstractSocket::RemoteHostClosedError && m_established) return;
  if (!m_active) return;
  // A name that does not resolve is a bad address for the caller that gave it.
  const int code = (qtError == QAbstractSocket::HostNotFoundError && m_lookingUp)
                       ? sockBadAddress
                       : socketErrorCode(qtError, m_socket->errorString());
  // A failed attempt clears the request, so that the next setActive(true) tries again.
  m_active = false;
  m_socket->abort();
  QMetaObject::invokeMethod(
      this, [this, message = socketErrorMessage(code)] { emit errorOccurred(message); },
      Qt::QueuedConnection);
}

}  // namespace geomuxer
