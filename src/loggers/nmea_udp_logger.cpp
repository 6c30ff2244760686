#include "loggers/nmea_udp_logger.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QUdpSocket>
#include <QVariant>

#include "core/nmea.h"

namespace geomuxer {

NmeaUdpLogger::NmeaUdpLogger(QObject* parent) : QObject(parent) {}

NmeaUdpLogger::~NmeaUdpLogger() {
  if (m_lookup >= 0) QHostInfo::abortHostLookup(m_lookup);
}

bool NmeaUdpLogger::validHost(const QString& host) {
  if (QHostAddress().setAddress(host)) return true;
  // Labels of letters, digits and inner hyphens, joined by dots, as names in the DNS are.
  static const QRegularExpression name(
      QStringLiteral("^(?=.{1,253}$)[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?"
                     "(?:\\.[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*\\.?$"));
  return name.match(host).hasMatch();
}

bool NmeaUdpLogger::setHost(const QString& host) {
  const QString trimmed = host.trimmed();
  if (!validHost(trimmed)) return false;
  m_host = trimmed;
  m_address = QHostAddress(trimmed);  // null for a name until it is looked up
  return true;
}

bool NmeaUdpLogger::setTalker(const std::string& talker) {
  if (!validTalker(talker)) return false;
  m_talker = talker;
  return true;
}

void NmeaUdpLogger::start() {
  if (!active()) return;
  if (filter() != nullptr) filter()->reset();
  if (m_socket == nullptr) m_socket = new QUdpSocket(this);
  m_failing = false;
  if (m_lookup >= 0) {
    QHostInfo::abortHostLookup(m_lookup);
    m_lookup = -1;
  }
  const QHostAddress literal(m_host);
  if (!literal.isNull()) {
    openFor(literal);
    return;
  }
  // A name: nothing goes out until its address is known.
  m_socket->abort();
  m_address.clear();
  m_lookup = QHostInfo::lookupHost(m_host, this, &NmeaUdpLogger::onHostFound);
}

void NmeaUdpLogger::onHostFound(const QHostInfo& info) {
  if (info.lookupId() != m_lookup) return;  // an answer for a lookup given up since
  m_lookup = -1;
  const QList<QHostAddress> addresses = info.addresses();
  if (info.error() != QHostInfo::NoError || addresses.isEmpty()) {
    emit errorOccurred(tr("Cannot find host %1: %2").arg(m_host, info.errorString()));
    return;
  }
  // IPv4 first where the name has both: what receivers on boats and in harbours listen on.
  QHostAddress chosen = addresses.front();
  for (const QHostAddress& address : addresses) {
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
      chosen = address;
      break;
    }
  }
  openFor(chosen);
}

void NmeaUdpLogger::openFor(const QHostAddress& address) {
  m_address = address;
  // Bound anew for the target's protocol, so that its options apply from the first datagram. Qt's
  // UDP sockets may send to broadcast addresses as they are; a multicast group needs its hops and
  // maybe the interface to leave by.
  m_socket->abort();
  const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
  if (!m_socket->bind(v6 ? QHostAddress::AnyIPv6 : QHostAddress::AnyIPv4, 0)) {
    emit errorOccurred(m_socket->errorString());
  }
  m_socket->setSocketOption(QAbstractSocket::MulticastTtlOption, QVariant(m_ttl));
  if (!m_multicastInterface.isEmpty()) {
    const QNetworkInterface iface = QNetworkInterface::interfaceFromName(m_multicastInterface);
    if (iface.isValid()) {
      m_socket->setMulticastInterface(iface);
    } else {
      emit errorOccurred(tr("No network interface %1; multicast leaves by the system's choice").arg(m_multicastInterface));
    }
  }
  const QString text = v6 ? QStringLiteral("[%1]").arg(address.toString()) : address.toString();
  if (QHostAddress(m_host).isNull()) {
    emit sending(QStringLiteral("%1:%2 (%3)").arg(m_host).arg(m_port).arg(address.toString()));
  } else {
    emit sending(QStringLiteral("%1:%2").arg(text).arg(m_port));
  }
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
  if (m_address.isNull()) return;  // a host name not looked up (yet)
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
