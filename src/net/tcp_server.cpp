#include "net/tcp_server.h"

#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

#include "net/socket_error.h"

namespace geomuxer {
namespace {

QString peerText(const QHostAddress& address) {
  bool isV4 = false;
  const quint32 v4 = address.toIPv4Address(&isV4);
  return isV4 ? QHostAddress(v4).toString() : address.toString();
}

}  // namespace

TcpServerClient::TcpServerClient(QTcpSocket* socket, quint16 port, QObject* parent)
    : QObject(parent), m_socket(socket), m_host(peerText(socket->peerAddress())), m_port(port) {
  socket->setParent(this);
  // Positions are small and should leave at once, not wait for the previous segment's ACK.
  socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}

quint32 TcpServerClient::ip() const {
  bool ok = false;
  const quint32 address = QHostAddress(m_host).toIPv4Address(&ok);
  return ok ? address : 0;
}

qint64 TcpServerClient::pendingBytes() const { return m_socket->bytesToWrite(); }

TcpServer::TcpServer(QObject* parent) : QObject(parent), m_server(new QTcpServer(this)) {
  connect(m_server, &QTcpServer::newConnection, this, &TcpServer::onNewConnection);
  connect(m_server, &QTcpServer::acceptError, this, &TcpServer::onAcceptError);
}

void TcpServer::onAcceptError(QAbstractSocket::SocketError error) {
  // Qt stops accepting for good after such an error while the port still looks open. Say so
  // once, and accept again after a rest; the system may have descriptors again by then.
  if (!m_acceptFailing) {
    m_acceptFailing = true;
    emit errorOccurred(tr("Cannot accept a connection: %1").arg(socketErrorMessage(error, m_server->errorString())));
  }
  QTimer::singleShot(kAcceptRetryMs, this, [this] {
    if (m_server->isListening()) m_server->resumeAccepting();
  });
}

TcpServer::~TcpServer() {
  closeAllClients();
  m_server->close();
}

quint16 TcpServer::listeningPort() const { return m_server->isListening() ? m_server->serverPort() : 0; }

bool TcpServer::isActive() const { return m_server->isListening(); }

void TcpServer::setPort(quint16 port) {
  if (port == m_port) return;
  if (!isActive()) {
    m_port = port;
    return;
  }
  setActive(false);
  m_port = port;
  setActive(true);
}

void TcpServer::setActive(bool active) {
  if (active == isActive()) return;
  if (!active) {
    closeAllClients();
    m_server->close();
    return;
  }
  if (!m_server->listen(m_listenAddress, m_port)) {
    emit errorOccurred(socketErrorMessage(m_server->serverError(), m_server->errorString()));
  }
}

void TcpServer::onNewConnection() {
  m_acceptFailing = false;
  while (QTcpSocket* socket = m_server->nextPendingConnection()) {
    if (std::ssize(m_clients) >= m_maxClients) {
      socket->abort();  // past the cap: closed at once
      delete socket;
      continue;
    }
    auto* client = new TcpServerClient(socket, listeningPort(), this);
    if (m_acceptFilter && !m_acceptFilter(*client)) {
      socket->abort();
      delete client;
      continue;
    }
    connect(socket, &QTcpSocket::readyRead, client, [this, client] {
      QByteArray data = client->m_socket->readAll();
      if (!data.isEmpty()) emit clientDataReceived(client, data);
    });
    connect(socket, &QTcpSocket::disconnected, client,
            [this, client] { onClientDisconnected(client); });
    connect(socket, &QTcpSocket::errorOccurred, client,
            [this, client](QAbstractSocket::SocketError error) {
              // A peer that goes away is a disconnect, reported by the disconnected signal.
              if (error == QAbstractSocket::RemoteHostClosedError) return;
              dropClient(client, socketErrorMessage(error, client->m_socket->errorString()));
            });
    m_clients.push_back(client);
    client->m_listed = true;
    emit clientConnected(client);
  }
}

bool TcpServer::removeClient(TcpServerClient* client) {
  if (!client->m_listed) return false;
  client->m_listed = false;
  m_clients.erase(std::find(m_clients.begin(), m_clients.end(), client));
  client->m_socket->disconnect(client);
  return true;
}

void TcpServer::onClientDisconnected(TcpServerClient* client) {
  if (!removeClient(client)) return;
  emit clientDisconnected(client);
  client->deleteLater();
}

void TcpServer::dropClient(TcpServerClient* client, const QString& message) {
  if (!removeClient(client)) return;
  client->m_socket->abort();
  emit errorOccurred(message);
  emit clientDisconnected(client);
  client->deleteLater();
}

void TcpServer::closeAllClients() {
  while (!m_clients.empty()) {
    TcpServerClient* client = m_clients.back();
    m_clients.pop_back();
    client->m_listed = false;
    client->m_socket->disconnect(client);
    client->m_socket->abort();
    client->deleteLater();
  }
}

int TcpServer::sendToAll(const QByteArray& data) {
  if (data.isEmpty() || m_clients.empty()) return 0;
  // Dropping a client changes the list, so walk a copy; dropped clients are deleted only later.
  const std::vector<TcpServerClient*> targets = m_clients;
  int sent = 0;
  for (auto it = targets.rbegin(); it != targets.rend(); ++it) {
    TcpServerClient* client = *it;
    if (!client->m_listed) continue;
    QTcpSocket* socket = client->m_socket;
    if (socket->bytesToWrite() + data.size() > m_sendBufferLimit) {
      dropClient(client, socketErrorMessage(sockNoBufferSpace));
      continue;
    }
    if (socket->write(data) != data.size()) {
      dropClient(client, socketErrorMessage(socket->error(), socket->errorString()));
      continue;
    }
    // Hand the bytes to the system now rather than at the next pass of the event loop; a failure
    // here ends the connection through the socket's own signals.
    socket->flush();
    ++sent;
  }
  return sent;
}

QString TcpServer::localAddress() const {
  if (m_listenAddress != QHostAddress::AnyIPv4 && m_listenAddress != QHostAddress::Any &&
      !m_listenAddress.isNull()) {
    return m_listenAddress.toString();
  }
  const auto interfaces = QNetworkInterface::allInterfaces();
  for (const QNetworkInterface& iface : interfaces) {
    const auto flags = iface.flags();
    if (!flags.testFlag(QNetworkInterface::IsUp) || !flags.testFlag(QNetworkInterface::IsRunning) ||
        flags.testFlag(QNetworkInterface::IsLoopBack)) {
      continue;
    }
    const auto entries = iface.addressEntries();
    for (const QNetworkAddressEntry& entry : entries) {
      if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol) return entry.ip().toString();
    }
  }
  return QHostAddress(QHostAddress::LocalHost).toString();
}

}  // namespace geomuxer
