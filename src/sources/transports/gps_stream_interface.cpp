#include "sources/transports/gps_stream_interface.h"

#include <array>

namespace geomuxer {

GpsStreamInterface::GpsStreamInterface(std::unique_ptr<GpsProtocol> protocol,
                                       std::unique_ptr<QIODevice> device, QObject* parent)
    : GpsInterface(std::move(protocol), parent), m_device(std::move(device)) {
  if (m_device) connect(m_device.get(), &QIODevice::readyRead, this, &GpsStreamInterface::readAvailable);
}

GpsStreamInterface::~GpsStreamInterface() {
  if (m_device) {
    m_device->disconnect(this);
    if (m_device->isOpen()) m_device->close();
  }
}

bool GpsStreamInterface::isActive() const { return m_device && m_device->isOpen(); }

void GpsStreamInterface::close() {
  stopQuietTimer();
  if (!isActive()) return;
  if (protocol()) protocol()->stop(*this);
  m_device->close();
}

qint64 GpsStreamInterface::read(char* buffer, qint64 count) {
  return m_device ? m_device->read(buffer, count) : -1;
}

qint64 GpsStreamInterface::write(const char* buffer, qint64 count) {
  return m_device ? m_device->write(buffer, count) : -1;
}

qint64 GpsStreamInterface::size() const { return m_device ? m_device->size() : 0; }
qint64 GpsStreamInterface::position() const { return m_device ? m_device->pos() : 0; }

void GpsStreamInterface::writeBytes(std::string_view bytes) {
  // A decoder's handshake goes out while its transport is still opening or already closing, so
  // what counts is the device being open. The short wait lets a closing command reach the line
  // before the device is closed behind it.
  if (!m_device || !m_device->isOpen()) return;
  if (write(bytes.data(), static_cast<qint64>(bytes.size())) > 0 && m_device->bytesToWrite() > 0)
    (void)m_device->waitForBytesWritten(kWriteWaitMs);
}

void GpsStreamInterface::openDevice(QIODevice::OpenMode mode, const QString& what) {
  if (!m_device) throw InterfaceError("No device to open.");
  if (!m_device->open(mode))
    throw InterfaceError(QStringLiteral("Can not open %1: %2").arg(what, m_device->errorString()).toStdString());
  if (protocol()) protocol()->start(*this);
}

void GpsStreamInterface::readAvailable() {
  guarded([this] {
    std::array<char, kReadSize> buffer{};
    // The delivery may close the interface (its tracker stopping); check before every read.
    while (isActive() && m_device->bytesAvailable() > 0) {
      const qint64 got = m_device->read(buffer.data(), kReadSize);
      if (got <= 0) break;
      feed(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    }
  });
}

void GpsStreamInterface::feed(std::string_view chunk) {
  m_bytesRead += static_cast<qint64>(chunk.size());
  if (!protocol()) return;
  if (decode(chunk) == ProcessStatus::error) resynchronise();
}

}  // namespace geomuxer
