#include "sources/transports/garmin_usb_link.h"

namespace geomuxer {

namespace {

std::string statusText(UsbStatus status, const GarminUsbDevice& device) {
  switch (status) {
    case UsbStatus::ok: return {};
    case UsbStatus::timeout: return "The GPS device does not answer.";
    case UsbStatus::disconnected: return "The GPS device was disconnected.";
    case UsbStatus::failed: break;
  }
  return "Communication with the GPS device failed: " + device.lastError();
}

}  // namespace

GarminProduct parseProduct(std::string_view data) {
  GarminProduct product;
  if (data.size() >= 2)
    product.product = static_cast<std::uint16_t>(static_cast<std::uint8_t>(data[0]) | static_cast<std::uint8_t>(data[1]) << 8);
  if (data.size() >= 4)
    product.softwareVersion =
        static_cast<std::uint16_t>(static_cast<std::uint8_t>(data[2]) | static_cast<std::uint8_t>(data[3]) << 8);
  if (data.size() > 4) {
    const std::string_view text = data.substr(4);
    product.description.assign(text.substr(0, text.find('\0')));
  }
  return product;
}

UsbStatus GarminUsbLink::send(const garmin::UsbPacket& packet) {
  const std::uint32_t packetSize = m_device.packetSize();
  if (packetSize == 0) return UsbStatus::ok;
  const std::string bytes = garmin::encodeUsbPacket(packet);
  std::lock_guard lock(m_writeMutex);
  const UsbStatus status = m_device.write(bytes);
  if (status != UsbStatus::ok) return status;
  // A transfer that fills its last packet exactly has no short packet to end it; the device
  // waits for more until a zero-length packet says it is complete.
  if (bytes.size() % packetSize == 0) return m_device.write({});
  return UsbStatus::ok;
}

GarminUsbLink::Received GarminUsbLink::receive(std::chrono::milliseconds timeout) {
  if (m_bulkPending) {
    UsbTransfer bulk = m_device.readBulk(kBulkReadSize, timeout);
    if (bulk.status == UsbStatus::disconnected) return {bulk.status, std::nullopt};
    if (bulk.status == UsbStatus::ok && !bulk.data.empty()) {
      // The bulk pipe stays selected until a read finds it empty.
      return {UsbStatus::ok, garmin::parseUsbPacket(bulk.data)};
    }
    m_bulkPending = false;
  }

  std::string bytes;
  for (;;) {
    UsbTransfer block = m_device.readInterrupt(timeout);
    if (block.status != UsbStatus::ok) {
      if (bytes.empty()) return {block.status, std::nullopt};
      break;  // keep what arrived; a packet cut short fails its own checks later
    }
    bytes += block.data;
    if (block.data.size() != GarminUsbDevice::kInterruptSize) break;
  }
  Received received{UsbStatus::ok, garmin::parseUsbPacket(bytes)};
  if (received.packet && received.packet->is(garmin::kUsbProtocolLayer, garmin::kUsbDataAvailable))
    m_bulkPending = true;
  return received;
}

GarminUsbLink::Received GarminUsbLink::awaitPacket(std::uint8_t type, std::uint16_t id,
                                                   std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= std::chrono::milliseconds::zero()) return {UsbStatus::timeout, std::nullopt};
    Received received = receive(left);
    if (received.status == UsbStatus::timeout) continue;
    if (received.status != UsbStatus::ok) return received;
    if (received.packet && received.packet->is(type, id)) return received;
  }
}

GarminUsbLink::Handshake GarminUsbLink::handshake(std::chrono::milliseconds replyTimeout) {
  Handshake result;
  UsbStatus status = send({garmin::kUsbProtocolLayer, garmin::kUsbStartSession, {}});
  if (status == UsbStatus::ok) {
    status = awaitPacket(garmin::kUsbProtocolLayer, garmin::kUsbSessionStarted, replyTimeout).status;
  }
  if (status == UsbStatus::ok) status = send({garmin::kUsbApplicationLayer, garmin::kUsbProductRequest, {}});
  if (status == UsbStatus::ok) {
    Received product = awaitPacket(garmin::kUsbApplicationLayer, garmin::kUsbProductData, replyTimeout);
    status = product.status;
    if (product.packet) result.product = parseProduct(product.packet->data);
  }
  result.ok = status == UsbStatus::ok;
  result.error = statusText(status, m_device);
  return result;
}

}  // namespace geomuxer
