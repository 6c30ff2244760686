#pragma once
// A Garmin receiver on USB.

#include <functional>
#include <memory>
#include <string>

#include "sources/transports/garmin_usb_device.h"
#include "sources/transports/gps_interface_usb.h"
#include "sources/trackers/gps_tracker.h"

namespace geomuxer {

/// "Garmin via USB". Each start opens the first Garmin device anew and greets it; unplugging
/// the device ends the transport (`deviceGone`), and `watchDevice` tells when one is plugged in
/// again. Main thread only.
class GpsTrackerGarminUsb : public GpsTracker {
  Q_OBJECT

 public:
  /// Uses the libusb backend.
  explicit GpsTrackerGarminUsb(QObject* parent = nullptr);
  ~GpsTrackerGarminUsb() override;

  [[nodiscard]] std::string displayName() const override { return "Garmin via USB"; }

  /// Replaces the way the device is found and opened (another backend, or a simulated device).
  void setOpener(GarminUsbOpener opener) { m_opener = std::move(opener); }
  /// Replaces how the arrival of a device is watched for (with another opener); by default the
  /// libusb watch.
  using WatchMaker = std::function<std::unique_ptr<DeviceWatch>()>;
  void setWatchMaker(WatchMaker maker) { m_watchMaker = std::move(maker); }
  [[nodiscard]] std::unique_ptr<DeviceWatch> watchDevice() const override;
  /// Time limits of the handshake and the reader, from the next start on.
  void setTiming(GarminUsbTiming timing) { m_timing = timing; }

 protected:
  [[nodiscard]] std::unique_ptr<GpsInterface> createInterface() override;

 private:
  GarminUsbOpener m_opener;
  GarminUsbTiming m_timing;
  WatchMaker m_watchMaker;
};

}  // namespace geomuxer
