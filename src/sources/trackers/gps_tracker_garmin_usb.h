#pragma once
// A Garmin receiver on USB.

#include <string>

#include "sources/transports/garmin_usb_device.h"
#include "sources/transports/gps_interface_usb.h"
#include "sources/trackers/gps_tracker.h"

namespace geomuxer {

/// "Garmin via USB". Each start opens the first Garmin device anew and greets it; unplugging
/// the device stops the source. Main thread only.
class GpsTrackerGarminUsb : public GpsTracker {
  Q_OBJECT

 public:
  /// Uses the libusb backend.
  explicit GpsTrackerGarminUsb(QObject* parent = nullptr);
  ~GpsTrackerGarminUsb() override;

  [[nodiscard]] std::string displayName() const override { return "Garmin via USB"; }

  /// Replaces the way the device is found and opened (another backend, or a simulated device).
  void setOpener(GarminUsbOpener opener) { m_opener = std::move(opener); }
  /// Time limits of the handshake and the reader, from the next start on.
  void setTiming(GarminUsbTiming timing) { m_timing = timing; }

 protected:
  [[nodiscard]] std::unique_ptr<GpsInterface> createInterface() override;

 private:
  GarminUsbOpener m_opener;
  GarminUsbTiming m_timing;
};

}  // namespace geomuxer
