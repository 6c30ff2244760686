#pragma once
// A Garmin receiver behind the USB device interface: it answers the session start and the product
// request, counts the commands it gets, and queues PVT packets on the interrupt pipe or, announced
// by a data-available packet, on the bulk pipe. Reads block like the real pipes, up to their
// time-out. The test keeps the shared state; each start of a source opens a new device on it.

#include <QPointer>

#include <condition_variable>
#include <functional>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sources/decoders/garmin_packet.h"
#include "sources/transports/device_watch.h"
#include "sources/transports/garmin_usb_device.h"

namespace geomuxer::test {

class SimulatedGarminUsb {
 public:
  // Settings; change them before the device is opened.
  std::uint32_t packetSize = 64;
  bool answers = true;  ///< false: a device that never replies
  bool chatty = true;   ///< unrelated packets before each reply, which the host must skip
  /// The first start commands go unanswered (a receiver still switched off) up to this one.
  int answerFrom = 1;
  /// Set: every start command that is answered gets this record back (a streaming receiver).
  std::optional<garmin::PvtRecord> streamed;

  /// Switches the receiver's answers off and on while it is open (a receiver that goes silent).
  void setAnswers(bool on) {
    std::lock_guard lock(m_mutex);
    answers = on;
  }

  /// A GarminUsbOpener for this receiver: nothing while it is unplugged.
  [[nodiscard]] GarminUsbOpener opener(const std::shared_ptr<SimulatedGarminUsb>& self) const {
    return [self]() -> std::unique_ptr<GarminUsbDevice> {
      if (self->unplugged()) return nullptr;
      return std::make_unique<Device>(self);
    };
  }

  /// Watches that `plug` fires, as the system's arrival notice would. Main thread.
  [[nodiscard]] std::function<std::unique_ptr<DeviceWatch>()> watchMaker(const std::shared_ptr<SimulatedGarminUsb>& self) {
    return [self]() -> std::unique_ptr<DeviceWatch> {
      auto watch = std::make_unique<PlugWatch>();
      self->m_watches.emplace_back(watch.get());
      return watch;
    };
  }

  /// Queues one PVT packet, on the interrupt pipe or through the bulk pipe.
  void sendPvt(const garmin::PvtRecord& record, bool viaBulk) {
    sendPacket({garmin::kUsbApplicationLayer, garmin::kUsbPvt, garmin::encodePvt(record)}, viaBulk);
  }
  void sendPacket(const garmin::UsbPacket& packet, bool viaBulk) {
    std::lock_guard lock(m_mutex);
    if (viaBulk) {
      queueInterrupt({garmin::kUsbProtocolLayer, garmin::kUsbDataAvailable, {}});
      m_bulk.push_back(garmin::encodeUsbPacket(packet));
    } else {
      queueInterrupt(packet);
    }
    m_changed.notify_all();
  }

  void unplug() {
    std::lock_guard lock(m_mutex);
    m_unplugged = true;
    m_changed.notify_all();
  }
  /// Plugged in again: a fresh device that has forgotten everything, announced to every watch.
  void plug() {
    {
      std::lock_guard lock(m_mutex);
      m_unplugged = false;
      m_interrupt.clear();
      m_bulk.clear();
      m_pending.clear();
    }
    for (const QPointer<DeviceWatch>& watch : m_watches)
      if (watch) emit watch->appeared();
  }
  [[nodiscard]] bool unplugged() const {
    std::lock_guard lock(m_mutex);
    return m_unplugged;
  }

  [[nodiscard]] int startCommands() const { return count(garmin::kCommandStartPvt); }
  [[nodiscard]] int stopCommands() const { return count(garmin::kCommandStopPvt); }
  /// Every transfer the host wrote, zero-length ones included.
  [[nodiscard]] std::vector<std::string> writes() const {
    std::lock_guard lock(m_mutex);
    return m_writes;
  }

 private:
  class PlugWatch final : public DeviceWatch {
   public:
    [[nodiscard]] bool watching() const override { return true; }
  };

  class Device final : public GarminUsbDevice {
   public:
    explicit Device(std::shared_ptr<SimulatedGarminUsb> sim) : m_sim(std::move(sim)) {}
    [[nodiscard]] std::uint32_t packetSize() const override { return m_sim->packetSize; }
    [[nodiscard]] UsbTransfer readInterrupt(std::chrono::milliseconds timeout) override {
      return m_sim->take(m_sim->m_interrupt, timeout);
    }
    [[nodiscard]] UsbTransfer readBulk(std::size_t, std::chrono::milliseconds timeout) override {
      return m_sim->take(m_sim->m_bulk, timeout);
    }
    [[nodiscard]] UsbStatus write(std::string_view bytes) override { return m_sim->receive(bytes); }
    [[nodiscard]] std::string lastError() const override { return "simulated failure"; }

   private:
    std::shared_ptr<SimulatedGarminUsb> m_sim;
  };

  // A packet on the interrupt pipe arrives in 64-byte transfers; one that fills its last transfer
  // exactly is ended by an empty one.
  void queueInterrupt(const garmin::UsbPacket& packet) {
    const std::string bytes = garmin::encodeUsbPacket(packet);
    for (std::size_t at = 0; at < bytes.size(); at += GarminUsbDevice::kInterruptSize)
      m_interrupt.push_back(bytes.substr(at, GarminUsbDevice::kInterruptSize));
    if (bytes.size() % GarminUsbDevice::kInterruptSize == 0) m_interrupt.emplace_back();
  }

  UsbTransfer take(std::deque<std::string>& pipe, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, timeout, [&] { return m_unplugged || !pipe.empty(); });
    if (m_unplugged) return {UsbStatus::disconnected, {}};
    if (pipe.empty()) return {UsbStatus::timeout, {}};
    UsbTransfer transfer{UsbStatus::ok, std::move(pipe.front())};
    pipe.pop_front();
    return transfer;
  }

  UsbStatus receive(std::string_view bytes) {
    std::lock_guard lock(m_mutex);
    if (m_unplugged) return UsbStatus::disconnected;
    m_writes.emplace_back(bytes);
    m_pending.append(bytes);
    while (auto packet = garmin::parseUsbPacket(m_pending)) {
      const std::size_t length = garmin::kUsbHeaderSize + packet->data.size();
      const std::uint32_t declared = static_cast<std::uint8_t>(m_pending[8]) | static_cast<std::uint8_t>(m_pending[9]) << 8;
      if (packet->data.size() < declared) break;  // the rest is still to come
      m_pending.erase(0, length);
      answer(*packet);
    }
    m_changed.notify_all();
    return UsbStatus::ok;
  }

  void answer(const garmin::UsbPacket& packet) {
    const bool start = packet.is(garmin::kUsbApplicationLayer, garmin::kUsbCommand) && packet.data.size() == 2 &&
                       static_cast<std::uint8_t>(packet.data[0]) == garmin::kCommandStartPvt;
    if (packet.is(garmin::kUsbApplicationLayer, garmin::kUsbCommand) && packet.data.size() == 2)
      m_commands.push_back(static_cast<std::uint8_t>(packet.data[0]));
    if (!answers) return;
    if (start && streamed && count(garmin::kCommandStartPvt, false) >= answerFrom)
      queueInterrupt({garmin::kUsbApplicationLayer, garmin::kUsbPvt, garmin::encodePvt(*streamed)});
    if (chatty && (packet.is(garmin::kUsbProtocolLayer, garmin::kUsbStartSession) ||
                   packet.is(garmin::kUsbApplicationLayer, garmin::kUsbProductRequest))) {
      queueInterrupt({garmin::kUsbApplicationLayer, 248, std::string(70, 'p')});  // protocol array
    }
    if (packet.is(garmin::kUsbProtocolLayer, garmin::kUsbStartSession))
      queueInterrupt({garmin::kUsbProtocolLayer, garmin::kUsbSessionStarted, std::string("\x78\x56\x34\x12", 4)});
    if (packet.is(garmin::kUsbApplicationLayer, garmin::kUsbProductRequest))
      queueInterrupt({garmin::kUsbApplicationLayer, garmin::kUsbProductData,
                      std::string("\x39\x01\x2C\x01", 4) + std::string("Bench receiver\0extra", 20)});
  }

  [[nodiscard]] int count(std::uint16_t command, bool lock = true) const {
    std::unique_lock guard(m_mutex, std::defer_lock);
    if (lock) guard.lock();
    int n = 0;
    for (std::uint16_t c : m_commands) n += c == command;
    return n;
  }

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::deque<std::string> m_interrupt;
  std::deque<std::string> m_bulk;
  std::vector<std::string> m_writes;
  std::vector<std::uint16_t> m_commands;
  std::string m_pending;
  bool m_unplugged = false;
  std::vector<QPointer<DeviceWatch>> m_watches;
};

}  // namespace geomuxer::test
