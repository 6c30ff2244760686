#pragma once
// The program's clock: std::chrono for reading time, Qt's event loop for running timers.

#include "core/clock.h"

namespace geomuxer {

/// Monotonic time from std::chrono::steady_clock, wall time from the system clock, timers as
/// precise QTimers. Holds no state of its own: every timer lives in its handle, so one instance
/// serves every component and thread. Each timer fires from the event loop of the thread that set
/// it; that thread must run one (the main thread's QCoreApplication).
class EventLoopClock final : public Scheduler {
 public:
  [[nodiscard]] TimePoint now() const override { return systemClock().now(); }
  [[nodiscard]] DateTime utcNow() const override { return systemClock().utcNow(); }
  [[nodiscard]] Timer callAfter(Duration delay, std::function<void()> callback) override;
  [[nodiscard]] Timer callEvery(Duration interval, std::function<void()> callback) override;
  [[nodiscard]] Timer makeRestartable(std::function<void()> callback) override;
};

/// The instance the components use unless they are handed another scheduler.
[[nodiscard]] EventLoopClock& eventLoopClock();

}  // namespace geomuxer
