#pragma once
// A Garmin receiver on USB: the device is opened and greeted when the interface is built; while
// open, a reader thread asks for PVT records and hands each one to the main thread.

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "sources/transports/garmin_usb_device.h"
#include "sources/transports/garmin_usb_link.h"
#include "sources/transports/gps_interface.h"

namespace geomuxer {

/// Time limits of the Garmin USB transport.
struct GarminUsbTiming {
  std::chrono::milliseconds replyTimeout{3000};     ///< per handshake answer
  std::chrono::milliseconds readTimeout{250};       ///< per read; bounds how long close waits
  std::chrono::milliseconds restartInterval{1000};  ///< start command repeated this often
  std::chrono::milliseconds noAnswerAfter{3000};    ///< no PVT record this long: said once in the log
};

/// Garmin USB transport. Constructed = device open and session started; `open` = start command
/// sent and reader thread running (it repeats the start command every second, so a receiver that
/// was switched off and on streams again); `close` = stop command sent, thread ended. A receiver
/// that sends no record for a while is noticed once, and once more when it sends again. A device
/// that goes away is closed and reported as `deviceGone`.
/// Created, opened, closed and destroyed on the main thread; positions are delivered there.
class GpsInterfaceUsb : public GpsInterface {
  Q_OBJECT

 public:
  /// Reads that fail in a row before the device counts as gone.
  static constexpr int kFailuresBeforeGiveUp = 5;

  /// Opens the device through `opener` and runs the handshake. Throws InterfaceError: "No GPS
  /// device connected." when there is none, the system's text when it cannot be opened, and a
  /// plain statement when it does not answer in time or fails on the way.
  explicit GpsInterfaceUsb(const GarminUsbOpener& opener, GarminUsbTiming timing = {}, QObject* parent = nullptr);
  ~GpsInterfaceUsb() override;

  [[nodiscard]] std::string name() const override { return "USB"; }
  /// True while the reader thread exists.
  [[nodiscard]] bool isActive() const override { return m_reader.joinable(); }
  void open() override;
  void close() override;

  /// What the device said about itself in the handshake.
  [[nodiscard]] const GarminProduct& product() const { return m_product; }

 private:
  void readLoop(const std::stop_token& stop);
  void sendCommand(std::uint16_t command);
  void deliverRecord(const std::string& record);
  /// From the reader thread: `notice` on the main thread while the transport is open.
  void noticeLater(const char* text);

  std::unique_ptr<GarminUsbDevice> m_device;
  std::unique_ptr<GarminUsbLink> m_link;
  GarminUsbTiming m_timing;
  GarminProduct m_product;
  std::jthread m_reader;
};

}  // namespace geomuxer
