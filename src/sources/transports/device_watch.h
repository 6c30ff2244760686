#pragma once
// A notice that a source's device may be back: a retry that waits for its timer can go at once.

#include <QObject>

namespace geomuxer {

/// Fires `appeared` when the device it watches may have come back (a serial adapter plugged in
/// again, a USB receiver re-attached). A hint, never a promise: whoever listens still opens the
/// device and copes with failure, and keeps a timer of its own for platforms without notices.
/// Main thread only.
class DeviceWatch : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;

  /// False when this platform or machine gives no notices (the listener's timer is all there is).
  [[nodiscard]] virtual bool watching() const = 0;

 signals:
  void appeared();
};

}  // namespace geomuxer
