#pragma once
// Garmin packets over a GarminUsbDevice: writing one (with the zero-length packet that ends a
// write of a whole number of packets), reading one from the interrupt pipe or, after the device
// announced data, from the bulk pipe, and the session handshake. Plain C++.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "sources/decoders/garmin_packet.h"
#include "sources/transports/garmin_usb_device.h"

namespace geomuxer {

/// What the device says about itself in answer to the product request.
struct GarminProduct {
  std::uint16_t product = 0;
  std::uint16_t softwareVersion = 0;  ///< version × 100
  std::string description;
};

class GarminUsbLink {
 public:
  /// Largest bulk transfer read at once.
  static constexpr std::size_t kBulkReadSize = 4096;

  /// `device` must outlive the link.
  explicit GarminUsbLink(GarminUsbDevice& device) : m_device(device) {}

  /// Writes header and data in one transfer, followed by a zero-length one when their length is a
  /// multiple of the packet size. Sends nothing (and reports ok) when the packet size is 0. Safe
  /// to call from several threads.
  [[nodiscard]] UsbStatus send(const garmin::UsbPacket& packet);

  struct Received {
    UsbStatus status = UsbStatus::ok;
    std::optional<garmin::UsbPacket> packet;  ///< set only with `ok`
  };
  /// Reads one packet: from the bulk pipe while the device has announced data, otherwise from the
  /// interrupt pipe, joining 64-byte transfers until a shorter one ends the packet. `timeout`
  /// bounds each transfer. From one thread at a time.
  [[nodiscard]] Received receive(std::chrono::milliseconds timeout);

  struct Handshake {
    bool ok = false;
    std::string error;  ///< for the user, when not ok
    GarminProduct product;
  };
  /// Starts the session and asks for the product data, discarding other packets on the way; each
  /// answer is awaited at most `replyTimeout`.
  [[nodiscard]] Handshake handshake(std::chrono::milliseconds replyTimeout);

  [[nodiscard]] bool bulkPending() const { return m_bulkPending; }

 private:
  /// Reads until a packet of `type`/`id` arrives, the device fails, or the time is up.
  Received awaitPacket(std::uint8_t type, std::uint16_t id, std::chrono::milliseconds timeout);

  GarminUsbDevice& m_device;
  std::mutex m_writeMutex;
  bool m_bulkPending = false;
};

/// Reads the product data packet's contents.
[[nodiscard]] GarminProduct parseProduct(std::string_view data);

}  // namespace geomuxer
