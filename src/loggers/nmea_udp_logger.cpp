#include "loggers/nmea_udp_logger.h"

#include <QUdpSocket>
#include <QVariant>

#include "core/nmea.h"

namespace geomuxer {

NmeaUdpLogger::NmeaUdpLogger(QObject* parent) : QObject(parent) {}

NmeaUdpLogger::~NmeaUdpLogger() = default;

bool NmeaUdpLogger::setTalker(const std::string& talker) {
  if (!validTalker(talker)) return false;
  m_talker = talker;
  return true;
}

void NmeaUdpLogger::start() {
  if (!active()) return;
  if (filter() != nullptr) filter()->reset();
  if (m_socket == nullptr) m_socket = new QUdpSocket(this);
  // Bound anew for the target's protocol, so that its options apply from the first datagram. Qt's
  // UDP sockets may send to broadcast addresses as they are; a multicast group needs its hops.
  m_socket->abort();
  const bool v6 = m_address.protocol() == QAbstractSocket::IPv6Protocol;
  if (!m_socket->bind(v6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4, 0)) {
    emit errorOccurred(m_socket->errorString());
  }
  m_socket->setSocketOption(QAbstractSocket::MulticastTtlOption, QVariant(m_ttl));
  m_failing = false;
  const QString host = m_address.protocol() == QAbstractSocket::IPv6Protocol
                           ? QStringLiteral("[%1]").arg(m_address.toString())
                           : m_address.toString();
  emit sending(QStringLiteral("%1:%2").arg(host).arg(m_port));
}

void NmeaUdpLogger::addPosition(const PositionInfo& position) {
  if (m_socket == nullptr || !active() || m_passThrough) return;
  if (filter() != nullptr && !filter()->accept(position)) return;
  m_block.clear();
  appendNmeaBroadcastBlock(m_block, position, m_talker);
  send(m_block);
}

void NmeaUdpLogger::addSentences(std::string_view lines) {
  if (m_socket == nullptr || !active() || !m_passThrough) return;
  while (!lines.empty()) {
    // As many whole lines as fit; a single longer line goes alone.
    std::size_t size = 0;
    while (size < lines.size()) {
      const std::size_t end = lines.find('\n', size);
      const std::size_t next = end == std::string_view::npos ? lines.size() : end + 1;
      if (size > 0 && next > kMaxDatagram) break;
      size = next;
    }
    send(lines.substr(0, size));
    lines.remove_prefix(size);
  }
}

void NmeaUdpLogger::send(std::string_view datagram) {
  const qint64 sent = m_socket->writeDatagram(datagram.data(), static_cast<qint64>(datagram.size()), m_address, m_port);
  if (sent == static_cast<qint64>(datagram.size())) {
    m_failing = false;
    return;
  }
  if (m_failing) return;
  m_failing = true;
  emit errorOccurred(tr("Cannot send to %1:%2: %3").arg(m_address.toString()).arg(m_port).arg(m_socket->errorString()));
}

}  // namespace geomuxer
