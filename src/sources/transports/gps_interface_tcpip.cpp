#include "sources/transports/gps_interface_tcpip.h"

#include <string_view>

namespace geomuxer {

GpsInterfaceTcpip::GpsInterfaceTcpip(std::unique_ptr<GpsProtocol> decoder, QObject* parent)
    : GpsInterface(std::move(decoder), parent), m_client(new TcpClient(this)) {
  connect(m_client, &TcpClient::dataReceived, this, &GpsInterfaceTcpip::onData);
  connect(m_client, &TcpClient::disconnected, this, &GpsInterfaceTcpip::onDisconnected);
  m_client->setKeepAlive(true);
  connect(m_client, &TcpClient::connected, this, [this] {
    m_connectTimer.cancel();
    m_connected = true;
    if (m_open) emit established();
  });
  connect(m_client, &TcpClient::errorOccurred, this, &GpsInterfaceTcpip::onError);
}

GpsInterfaceTcpip::~GpsInterfaceTcpip() {
  m_client->disconnect(this);
  close();
}

void GpsInterfaceTcpip::open() {
  m_client->setPort(m_port);
  m_client->setHost(m_host);
  m_client->setActive(true);
  m_open = true;
  m_connected = false;
  m_connectTimer = clock().callAfter(m_connectTimeout, [this] { onConnectTimeout(); });
  if (protocol() != nullptr) protocol()->start(*this);
}

void GpsInterfaceTcpip::onConnectTimeout() {
  if (!m_open || m_connected) return;
  m_open = false;
  stopQuietTimer();
  m_client->setActive(false);
  reportFault({FaultKind::timeout,
               QStringLiteral("No connection to %1:%2 within %3 s")
                   .arg(m_host)
                   .arg(m_port)
                   .arg((m_connectTimeout.count() + 999) / 1000)
                   .toStdString(),
               false});
}

void GpsInterfaceTcpip::close() {
  stopQuietTimer();
  m_connectTimer.cancel();
  if (!m_open && !m_client->isActive()) return;
  m_open = false;
  if (protocol() != nullptr) protocol()->stop(*this);
  m_client->setActive(false);
}

void GpsInterfaceTcpip::onData(const QByteArray& data) {
  if (!m_open || protocol() == nullptr) return;
  guarded([&] {
    (void)decode(std::string_view(data.constData(), static_cast<std::size_t>(data.size())));
  });
}

void GpsInterfaceTcpip::onDisconnected() {
  // Our own close reports a disconnect as well; only the server's close ends the source.
  if (!m_open) return;
  m_open = false;
  m_connectTimer.cancel();
  stopQuietTimer();
  reportFault({FaultKind::endOfStream, "Connection closed by the server", false});
}

void GpsInterfaceTcpip::onError(const QString& message) {
  m_connectTimer.cancel();
  m_open = false;
  stopQuietTimer();
  reportFault({m_connected ? FaultKind::reset : FaultKind::refused, message.toStdString(), false});
}

}  // namespace geomuxer
