#include "loggers/nmea_tcp_logger.h"

#include "core/nmea.h"

namespace geomuxer {

NmeaTcpLogger::NmeaTcpLogger(QObject* parent) : QObject(parent) {}

NmeaTcpLogger::~NmeaTcpLogger() {
  if (m_server != nullptr) {
    m_server->disconnect(this);
    m_server->setActive(false);
  }
}

void NmeaTcpLogger::setMaxClients(int clients) {
  m_maxClients = clients;
  if (m_server != nullptr) m_server->setMaxClients(clients);
}

void NmeaTcpLogger::setPort(quint16 port) {
  if (port == m_port) return;
  m_port = port;
  if (m_server == nullptr) return;
  m_server->setPort(port);
  if (m_server->isActive()) emit listening();
}

std::optional<QHostAddress> NmeaTcpLogger::parseListenAddress(const QString& text) {
  const QString trimmed = text.trimmed();
  if (trimmed.isEmpty()) return QHostAddress(QHostAddress::AnyIPv4);
  QHostAddress address;
  if (!address.setAddress(trimmed)) return std::nullopt;
  return address;
}

void NmeaTcpLogger::setListenAddress(const QHostAddress& address) {
  if (address == m_listenAddress) return;
  m_listenAddress = address;
  if (m_server == nullptr) return;
  m_server->setListenAddress(address);
  if (!m_server->isActive()) return;
  m_server->setActive(false);
  m_server->setActive(true);
  emit listening();
}

void NmeaTcpLogger::start() {
  if (!active()) return;
  if (filter() != nullptr) filter()->reset();
  if (m_server == nullptr) {
    m_server = new TcpServer(this);
    m_server->setListenAddress(m_listenAddress);
    m_server->setMaxClients(m_maxClients);
    connect(m_server, &TcpServer::clientConnected, this, &NmeaTcpLogger::onClientConnected);
    connect(m_server, &TcpServer::clientDisconnected, this, &NmeaTcpLogger::clientDisconnected);
    connect(m_server, &TcpServer::errorOccurred, this, &NmeaTcpLogger::errorOccurred);
  }
  if (m_server->port() != m_port) m_server->setPort(m_port);
  if (m_server->isActive()) return;
  m_server->setActive(true);
  emit listening();
}

std::chrono::milliseconds NmeaTcpLogger::latestBlockLifetime() const {
  // A position passes the filter once more than the threshold's whole seconds have gone by, so
  // the next block is due at most a second after that. A filter that is off passes every position:
  // the receiver's own rate, once a second at the slowest.
  RecordInterval interval = riNormal;
  if (filter() != nullptr) interval = filter()->active() ? filter()->recordInterval() : riMax;
  return std::chrono::seconds(TracklogFilter::timeThreshold(interval) + 1);
}

void NmeaTcpLogger::onClientConnected(TcpServerClient* client) {
  emit clientConnected(client);
  // A newcomer need not wait for the next position: it gets the latest one while that is current.
  if (m_latest && m_server != nullptr && std::chrono::steady_clock::now() - m_latestTime < latestBlockLifetime()) {
    m_server->sendTo(client, m_latest);
  }
}

void NmeaTcpLogger::setPassThrough(bool on) {
  if (on == m_passThrough) return;
  m_passThrough = on;
  m_latest.reset();  // a block of the other kind is no start for a newcomer
}

bool NmeaTcpLogger::setTalker(const std::string& talker) {
  if (!validTalker(talker)) return false;
  m_talker = talker;
  return true;
}

void NmeaTcpLogger::addSentences(std::string_view lines) {
  if (m_server == nullptr || !active() || !m_passThrough || lines.empty()) return;
  // No latest block here: the last chunk may hold half an epoch, so a newcomer starts with the next.
  m_server->sendToAll(std::make_shared<const std::string>(lines));
}

void NmeaTcpLogger::addPosition(const PositionInfo& position) {
  if (m_server == nullptr || !active() || m_passThrough) return;
  if (filter() != nullptr && !filter()->accept(position)) return;
  // One immutable block for every client; clients that fall behind keep a reference to it.
  auto block = std::make_shared<std::string>();
  appendNmeaBroadcastBlock(*block, position, m_talker);
  m_latest = std::move(block);
  m_latestTime = std::chrono::steady_clock::now();
  m_server->sendToAll(m_latest);
}

}  // namespace geomuxer
