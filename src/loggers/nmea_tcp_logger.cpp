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

void NmeaTcpLogger::start() {
  if (!active()) return;
  if (filter() != nullptr) filter()->reset();
  if (m_server == nullptr) {
    m_server = new TcpServer(this);
    m_server->setListenAddress(m_listenAddress);
    m_server->setMaxClients(m_maxClients);
    connect(m_server, &TcpServer::clientConnected, this, &NmeaTcpLogger::clientConnected);
    connect(m_server, &TcpServer::clientDisconnected, this, &NmeaTcpLogger::clientDisconnected);
    connect(m_server, &TcpServer::errorOccurred, this, &NmeaTcpLogger::errorOccurred);
  }
  if (m_server->port() != m_port) m_server->setPort(m_port);
  if (m_server->isActive()) return;
  m_server->setActive(true);
  emit listening();
}

void NmeaTcpLogger::addPosition(const PositionInfo& position) {
  if (m_server == nullptr || !active()) return;
  if (filter() != nullptr && !filter()->accept(position)) return;
  m_block.clear();
  appendNmeaBlock(m_block, position);
  // The server copies the bytes into each client's queue, so a view of the block is enough.
  m_server->sendToAll(QByteArray::fromRawData(m_block.data(), static_cast<qsizetype>(m_block.size())));
}

}  // namespace geomuxer
