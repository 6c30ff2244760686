#include "net/tcp_server.h"

#include <QNetworkInterface>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>

#include "net/socket_error.h"

namespace geomuxer {
namespace {

QString peerText(const QHostAddress& address) {
  bool isV4 = false;
  const quint32 v4 = address.toIPv4Address(&isV4);
  return isV4 ? QHostAddress(v4).toString() : address.toString();
}

QHostAddress peerAddress(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return QHostAddress(reinterpret_cast<const sockaddr*>(&address));
}

// The message for a failed send or recv, in the wording of the rest of the socket layer.
QString systemErrorMessage(int error) {
  switch (error) {
    case ETIMEDOUT: return socketErrorMessage(QAbstractSocket::NetworkError, QStringLiteral("Connection timed out"));
    case ENETUNREACH: return socketErrorMessage(QAbstractSocket::NetworkError, QStringLiteral("Network unreachable"));
    case EHOSTUNREACH: return socketErrorMessage(QAbstractSocket::NetworkError, QStringLiteral("Host unreachable"));
    case ENOBUFS:
    case ENOMEM: return socketErrorMessage(sockNoBufferSpace);
    default: return socketErrorMessage(QAbstractSocket::NetworkError, QString::fromLocal8Bit(std::strerror(error)));
  }
}

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool peerGone(int error) { return error == EPIPE || error == ECONNRESET; }

}  // namespace

/// The listener: hands each accepted connection over as a bare descriptor, so that no QTcpSocket
/// (with its buffers and signals) stands between the broadcast and the connection.
class TcpListener : public QTcpServer {
 public:
  explicit TcpListener(TcpServer* owner) : QTcpServer(owner), m_owner(owner) {
    // Room for a burst of clients connecting at once (the system caps it at its own limit).
    setListenBacklogSize(kBacklog);
  }

 protected:
  void incomingConnection(qintptr descriptor) override {
    m_owner->onIncomingConnection(static_cast<int>(descriptor));
  }

 private:
  static constexpr int kBacklog = 1024;
  TcpServer* m_owner;
};

TcpServerClient::TcpServerClient(int descriptor, quint16 port, QObject* parent)
    : QObject(parent), m_fd(descriptor), m_host(peerText(peerAddress(descriptor))), m_port(port) {
  const int flags = ::fcntl(m_fd, F_GETFL);
  if (flags >= 0 && (flags & O_NONBLOCK) == 0) ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK);
  // Positions are small and should leave at once, not wait for the previous segment's ACK.
  const int on = 1;
  ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

TcpServerClient::~TcpServerClient() { closeSocket(); }

quint32 TcpServerClient::ip() const {
  bool ok = false;
  const quint32 address = QHostAddress(m_host).toIPv4Address(&ok);
  return ok ? address : 0;
}

void TcpServerClient::closeSocket() {
  m_queue.clear();
  m_queuedBytes = 0;
  if (m_fd >= 0) {
    if (m_epoll >= 0) ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_fd, nullptr);
    ::close(m_fd);
  }
  m_epoll = -1;
  m_fd = -1;
}

TcpServer::TcpServer(QObject* parent)
    : QObject(parent),
      m_server(new TcpListener(this)),
      m_epoll(::epoll_create1(EPOLL_CLOEXEC)),
      m_events(new QSocketNotifier(m_epoll, QSocketNotifier::Read, this)) {
  connect(m_server, &QTcpServer::acceptError, this, &TcpServer::onAcceptError);
  connect(m_events, &QSocketNotifier::activated, this, &TcpServer::onEvents);
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
  m_events->setEnabled(false);
  if (m_epoll >= 0) ::close(m_epoll);
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

void TcpServer::onIncomingConnection(int descriptor) {
  m_acceptFailing = false;
  if (std::ssize(m_clients) >= m_maxClients) {
    ::close(descriptor);  // past the cap: closed at once
    return;
  }
  auto* client = new TcpServerClient(descriptor, listeningPort(), this);
  if (m_acceptFilter && !m_acceptFilter(*client)) {
    delete client;  // closes the connection
    return;
  }
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.ptr = client;
  if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, descriptor, &event) != 0) {
    const int error = errno;
    delete client;
    emit errorOccurred(tr("Cannot accept a connection: %1").arg(systemErrorMessage(error)));
    return;
  }
  client->m_epoll = m_epoll;
  m_clients.push_back(client);
  client->m_listed = true;
  emit clientConnected(client);
}

void TcpServer::onReadable(TcpServerClient* client) {
  if (!client->m_listed) return;
  std::array<char, 4096> buffer{};
  QByteArray data;
  for (;;) {
    const ssize_t got = ::recv(client->m_fd, buffer.data(), buffer.size(), 0);
    if (got > 0) {
      data.append(buffer.data(), got);
      if (static_cast<std::size_t>(got) < buffer.size()) break;
      continue;
    }
    const int error = errno;
    if (got < 0 && error == EINTR) continue;
    if (got < 0 && wouldBlock(error)) break;
    if (!data.isEmpty()) emit clientDataReceived(client, data);
    if (got == 0) {
      onClientDisconnected(client);
    } else {
      onSocketFailure(client, error);
    }
    return;
  }
  if (!data.isEmpty()) emit clientDataReceived(client, data);
}

void TcpServer::onEvents() {
  std::array<epoll_event, 256> events{};
  const int count = ::epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), 0);
  // A client dropped while this batch is handled is deleted only later, so its pointer stays
  // valid; m_listed tells whether it still counts.
  for (int i = 0; i < count; ++i) {
    auto* client = static_cast<TcpServerClient*>(events[static_cast<std::size_t>(i)].data.ptr);
    const std::uint32_t what = events[static_cast<std::size_t>(i)].events;
    if ((what & EPOLLOUT) != 0) onWritable(client);
    if ((what & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) onReadable(client);
  }
}

void TcpServer::watchWritable(TcpServerClient* client, bool writable) {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP | (writable ? EPOLLOUT : 0u);
  event.data.ptr = client;
  ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, client->m_fd, &event);
}

void TcpServer::onWritable(TcpServerClient* client) {
  if (!client->m_listed) return;
  // Caught up: back to direct sends, without write readiness.
  if (flushQueue(client) && client->m_queue.empty()) watchWritable(client, false);
}

bool TcpServer::flushQueue(TcpServerClient* client) {
  while (!client->m_queue.empty()) {
    TcpServerClient::Pending& front = client->m_queue.front();
    const std::size_t left = front.block->size() - front.offset;
    const ssize_t sent = ::send(client->m_fd, front.block->data() + front.offset, left, MSG_NOSIGNAL);
    if (sent < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      if (wouldBlock(error)) return true;
      onSocketFailure(client, error);
      return false;
    }
    client->m_queuedBytes -= sent;
    if (static_cast<std::size_t>(sent) < left) {
      front.offset += static_cast<std::size_t>(sent);
      return true;  // the kernel buffer is full again
    }
    client->m_queue.pop_front();
  }
  return true;
}

bool TcpServer::settleSend(TcpServerClient* client, const TcpBlock& block, ssize_t result) {
  const auto size = static_cast<qint64>(block->size());
  if (result == size) return true;  // the common case: the kernel took the whole block at once
  if (result < 0 && !wouldBlock(static_cast<int>(-result))) {
    onSocketFailure(client, static_cast<int>(-result));
    return false;
  }
  const std::size_t offset = result > 0 ? static_cast<std::size_t>(result) : 0;
  if (size - static_cast<qint64>(offset) > m_sendBufferLimit) {
    dropClient(client, socketErrorMessage(sockNoBufferSpace));
    return false;
  }
  client->m_queue.push_back({block, offset});
  client->m_queuedBytes = size - static_cast<qint64>(offset);
  watchWritable(client, true);
  return true;
}

bool TcpServer::enqueue(TcpServerClient* client, const TcpBlock& block) {
  const auto size = static_cast<qint64>(block->size());
  if (client->m_queuedBytes + size > m_sendBufferLimit) {
    dropClient(client, socketErrorMessage(sockNoBufferSpace));
    return false;
  }
  // Behind already: the block waits its turn so that the order stays.
  client->m_queue.push_back({block, 0});
  client->m_queuedBytes += size;
  return true;
}

bool TcpServer::sendTo(TcpServerClient* client, const TcpBlock& block) {
  if (!client->m_listed) return false;
  if (!client->m_queue.empty()) return enqueue(client, block);
  ssize_t sent = 0;
  do {
    sent = ::send(client->m_fd, block->data(), block->size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return settleSend(client, block, sent < 0 ? -errno : sent);
}

int TcpServer::sendToAll(const TcpBlock& block) {
  if (!block || block->empty() || m_clients.empty()) return 0;
  // The working lists are taken over for this broadcast, so that one started from a slot of a
  // signal emitted below works on lists of its own. Dropping a client changes the client list,
  // hence the copy of it; dropped clients are deleted only later.
  std::vector<TcpServerClient*> targets = std::move(m_targets);
  std::vector<int> descriptors = std::move(m_descriptors);
  std::vector<ssize_t> results = std::move(m_results);
  targets.clear();
  descriptors.clear();
  int sent = 0;
  // Clients that are behind queue the block; the others, last connected first, are sent to.
  for (auto it = m_clients.rbegin(); it != m_clients.rend(); ++it) {
    TcpServerClient* client = *it;
    if (client->m_queue.empty()) {
      targets.push_back(client);
      descriptors.push_back(client->m_fd);
    }
  }
  const std::size_t direct = targets.size();
  for (auto it = m_clients.rbegin(); it != m_clients.rend(); ++it) {
    if (!(*it)->m_queue.empty()) targets.push_back(*it);
  }
  results.resize(direct);
  m_batch.send(descriptors, block->data(), block->size(), results);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    TcpServerClient* client = targets[i];
    if (!client->m_listed) continue;
    if (i < direct ? settleSend(client, block, results[i]) : enqueue(client, block)) ++sent;
  }
  m_targets = std::move(targets);
  m_descriptors = std::move(descriptors);
  m_results = std::move(results);
  return sent;
}

int TcpServer::sendToAll(const QByteArray& data) {
  if (data.isEmpty() || m_clients.empty()) return 0;
  return sendToAll(std::make_shared<const std::string>(data.constData(), static_cast<std::size_t>(data.size())));
}

void TcpServer::onSocketFailure(TcpServerClient* client, int error) {
  if (peerGone(error)) {
    onClientDisconnected(client);
  } else {
    dropClient(client, systemErrorMessage(error));
  }
}

bool TcpServer::removeClient(TcpServerClient* client) {
  if (!client->m_listed) return false;
  client->m_listed = false;
  m_clients.erase(std::find(m_clients.begin(), m_clients.end(), client));
  return true;
}

void TcpServer::onClientDisconnected(TcpServerClient* client) {
  if (!removeClient(client)) return;
  client->closeSocket();
  emit clientDisconnected(client);
  client->deleteLater();
}

void TcpServer::dropClient(TcpServerClient* client, const QString& message) {
  if (!removeClient(client)) return;
  client->closeSocket();
  emit errorOccurred(message);
  emit clientDisconnected(client);
  client->deleteLater();
}

void TcpServer::closeAllClients() {
  while (!m_clients.empty()) {
    TcpServerClient* client = m_clients.back();
    m_clients.pop_back();
    client->m_listed = false;
    client->closeSocket();
    client->deleteLater();
  }
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
