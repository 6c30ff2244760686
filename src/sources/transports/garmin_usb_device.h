#pragma once
// The little a Garmin USB source needs from the operating system: one device with an interrupt
// pipe, a bulk pipe in each direction and the size of its packets. Backends implement it (libusb
// on Linux; a driver's device-control calls would plug in here on Windows); tests simulate it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace geomuxer {

enum class UsbStatus : std::uint8_t {
  ok,
  timeout,       ///< nothing arrived in time
  disconnected,  ///< the device is gone
  failed,        ///< any other failure; see `GarminUsbDevice::lastError`
};

struct UsbTransfer {
  UsbStatus status = UsbStatus::ok;
  std::string data;
};

/// One opened device. Reads come from one thread at a time; writes may come from another thread
/// than the reads, and the caller serialises them.
class GarminUsbDevice {
 public:
  /// Largest transfer of the interrupt pipe.
  static constexpr std::size_t kInterruptSize = 64;

  GarminUsbDevice() = default;
  GarminUsbDevice(const GarminUsbDevice&) = delete;
  GarminUsbDevice& operator=(const GarminUsbDevice&) = delete;
  virtual ~GarminUsbDevice() = default;

  /// Packet size of the outgoing pipe; 0 when the device did not say (nothing can be sent).
  [[nodiscard]] virtual std::uint32_t packetSize() const = 0;
  /// One transfer from the interrupt pipe, at most kInterruptSize bytes.
  [[nodiscard]] virtual UsbTransfer readInterrupt(std::chrono::milliseconds timeout) = 0;
  /// One transfer from the bulk pipe, at most `maxBytes`.
  [[nodiscard]] virtual UsbTransfer readBulk(std::size_t maxBytes, std::chrono::milliseconds timeout) = 0;
  /// One transfer to the bulk pipe; empty `bytes` is a zero-length packet.
  [[nodiscard]] virtual UsbStatus write(std::string_view bytes) = 0;
  /// The system's text for the last failure.
  [[nodiscard]] virtual std::string lastError() const = 0;
};

/// Opens the first Garmin device present. Returns null when there is none; throws
/// std::runtime_error with the system's text when one is present but cannot be opened.
using GarminUsbOpener = std::function<std::unique_ptr<GarminUsbDevice>()>;

}  // namespace geomuxer
