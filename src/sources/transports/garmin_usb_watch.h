#pragma once
// Tells a Garmin USB source that waits for its receiver when one is plugged in.

#include <QTimer>

#include <atomic>
#include <thread>

#include "sources/transports/device_watch.h"

struct libusb_context;

namespace geomuxer {

/// Fires `appeared` when a Garmin USB device arrives: through libusb's hot-plug callbacks where
/// the platform has them, else by looking for one every kPollMs (firing when one is found after
/// none was). `watching` is false when USB cannot be reached at all. Main thread only; the
/// callbacks come from a thread of its own and are handed to the main thread.
class GarminUsbWatch : public DeviceWatch {
  Q_OBJECT

 public:
  static constexpr int kPollMs = 2000;

  explicit GarminUsbWatch(QObject* parent = nullptr);
  ~GarminUsbWatch() override;

  [[nodiscard]] bool watching() const override { return m_context != nullptr; }
  /// True when arrivals come as callbacks, false when they are polled for.
  [[nodiscard]] bool hotplug() const { return m_events.joinable(); }

 private:
  [[nodiscard]] bool devicePresent() const;
  void arrived();

  libusb_context* m_context = nullptr;
  int m_callback = 0;
  std::atomic<bool> m_stopping{false};
  std::jthread m_events;
  QTimer m_poll;
  bool m_present = false;
};

}  // namespace geomuxer
