#pragma once
// Base of the transports without bytes (simulator, location service): a main-thread timer asks the
// derived class for a position on every tick.

#include "core/clock.h"
#include "sources/transports/gps_interface.h"

namespace geomuxer {

/// A transport driven by a timer of its scheduler (the event-loop clock unless another is set), on
/// the main thread. Active exactly while enabled; `open` enables, `close` disables. Derived classes
/// implement `timerTick` and `name`, and deliver through `doPosition`.
class GpsTimerInterface : public GpsInterface {
  Q_OBJECT

 public:
  static constexpr int kDefaultInterval = 1000;

  explicit GpsTimerInterface(QObject* parent = nullptr);
  ~GpsTimerInterface() override;

  [[nodiscard]] bool isActive() const override { return m_enabled; }
  void open() override;
  void close() override;

  /// Milliseconds between ticks; 0 stops the ticks while staying enabled.
  [[nodiscard]] int interval() const { return m_interval; }
  void setInterval(int milliseconds);
  [[nodiscard]] bool enabled() const { return m_enabled; }
  void setEnabled(bool enabled);
  /// The ticks run on clock() too, and move to a clock set while enabled.
  void setClock(Scheduler& clock) override;

 protected:
  /// One tick. An exception becomes a `protocol` fault.
  virtual void timerTick() = 0;

 private:
  void rearm();

  Timer m_timer;
  int m_interval = kDefaultInterval;
  bool m_enabled = false;
};

}  // namespace geomuxer
