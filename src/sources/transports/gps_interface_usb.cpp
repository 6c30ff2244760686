#include "sources/transports/gps_interface_usb.h"

#include <QLoggingCategory>

#include <stdexcept>

namespace geomuxer {

namespace {

Q_LOGGING_CATEGORY(lcGarmin, "geomuxer.garmin")

std::unique_ptr<GarminUsbDevice> openDevice(const GarminUsbOpener& opener) {
  std::unique_ptr<GarminUsbDevice> device;
  try {
    if (opener) device = opener();
  } catch (const std::exception& e) {
    throw InterfaceError(e.what());
  }
  if (!device) throw InterfaceError(TransportFault{FaultKind::deviceGone, "No GPS device connected.", false});
  return device;
}

// Waits in small steps so that a stop request ends the wait early.
void pause(const std::stop_token& stop, std::chrono::milliseconds time) {
  using SteadyClock = std::chrono::steady_clock;
  const SteadyClock::time_point until = SteadyClock::now() + time;
  while (!stop.stop_requested() && SteadyClock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

GpsInterfaceUsb::GpsInterfaceUsb(const GarminUsbOpener& opener, GarminUsbTiming timing, QObject* parent)
    : GpsInterface(nullptr, parent), m_device(openDevice(opener)), m_timing(timing) {
  m_link = std::make_unique<GarminUsbLink>(*m_device);
  const GarminUsbLink::Handshake handshake = m_link->handshake(m_timing.replyTimeout);
  if (!handshake.ok) throw InterfaceError(handshake.error);
  m_product = handshake.product;
  qCInfo(lcGarmin, "USB device %u, software %u.%02u: %s", m_product.product, m_product.softwareVersion / 100u,
         m_product.softwareVersion % 100u, m_product.description.c_str());
}

GpsInterfaceUsb::~GpsInterfaceUsb() { close(); }

void GpsInterfaceUsb::open() {
  if (m_reader.joinable()) {
    m_reader.request_stop();
    m_reader.join();
  }
  sendCommand(garmin::kCommandStartPvt);
  m_reader = std::jthread([this](const std::stop_token& stop) { readLoop(stop); });
}

void GpsInterfaceUsb::close() {
  if (!m_reader.joinable()) return;
  sendCommand(garmin::kCommandStopPvt);
  m_reader.request_stop();
  m_reader.join();
}

void GpsInterfaceUsb::sendCommand(std::uint16_t command) {
  // A command that does not get through is not an error of its own: a device that is gone shows
  // in the reader's next read.
  if (m_link->send(garmin::usbCommand(command)) != UsbStatus::ok)
    qCWarning(lcGarmin, "USB command %u not sent: %s", command, m_device->lastError().c_str());
}

void GpsInterfaceUsb::readLoop(const std::stop_token& stop) {
  using SteadyClock = std::chrono::steady_clock;
  std::optional<SteadyClock::time_point> lastStart;
  SteadyClock::time_point lastRecord = SteadyClock::now();
  bool silent = false;
  int failures = 0;
  bool gone = false;
  while (!stop.stop_requested()) {
    // The receiver forgets the request when it restarts; asking every second keeps it streaming.
    if (!lastStart || SteadyClock::now() - *lastStart > m_timing.restartInterval) {
      lastStart = SteadyClock::now();
      if (m_link->send(garmin::usbCommand(garmin::kCommandStartPvt)) == UsbStatus::disconnected) {
        gone = true;
        break;
      }
    }
    const GarminUsbLink::Received received = m_link->receive(m_timing.readTimeout);
    if (received.status == UsbStatus::disconnected) {
      gone = true;
      break;
    }
    if (received.status == UsbStatus::failed) {
      if (++failures >= kFailuresBeforeGiveUp) {
        gone = true;
        break;
      }
      pause(stop, std::chrono::milliseconds(200));
      continue;
    }
    failures = 0;
    const auto& packet = received.packet;
    const bool isRecord = packet && packet->is(garmin::kUsbApplicationLayer, garmin::kUsbPvt) &&
                        packet->data.size() >= garmin::kPvtRecordSize;
    if (isRecord) {
      lastRecord = SteadyClock::now();
      if (silent) noticeLater("the receiver answers again");
      silent = false;
    } else if (!silent && SteadyClock::now() - lastRecord > m_timing.noAnswerAfter) {
      silent = true;
      noticeLater("no answer from the receiver");
    }
    if (isRecord) {
      QMetaObject::invokeMethod(
          this, [this, record = packet->data.substr(0, garmin::kPvtRecordSize)] { deliverRecord(record); },
          Qt::QueuedConnection);
    }
  }
  if (gone && !stop.stop_requested()) {
    qCInfo(lcGarmin, "USB device gone: %s", m_device->lastError().c_str());
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (!isActive()) return;
          guarded([this] { close(); });
          reportFault({FaultKind::deviceGone, "GPS device disconnected.", false});
        },
        Qt::QueuedConnection);
  }
}

void GpsInterfaceUsb::noticeLater(const char* text) {
  QMetaObject::invokeMethod(
      this,
      [this, text] {
        if (isActive()) guarded([&] { notice(text); });
      },
      Qt::QueuedConnection);
}

void GpsInterfaceUsb::deliverRecord(const std::string& record) {
  // Records still queued when the transport was closed belong to a finished run.
  if (!isActive()) return;
  guarded([&] {
    if (const std::optional<garmin::PvtRecord> pvt = garmin::parsePvt(record))
      if (const std::optional<PositionInfo> position = garmin::pvtToPosition(*pvt)) doPosition(*position);
  });
}

}  // namespace geomuxer
