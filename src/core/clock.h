#pragma once
// Time for everything that waits, times out or stamps: a monotonic clock, the UTC wall clock and
// timers, reached through one object that is passed in, so that tests move time by hand instead of
// sleeping.

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>

#include "core/date_time.h"

namespace geomuxer {

/// Reads time. `now` is monotonic: it never jumps with the wall clock, and only differences between
/// two readings mean anything. `utcNow` is the wall clock in UTC.
class Clock {
 public:
  using Duration = std::chrono::milliseconds;
  using TimePoint = std::chrono::time_point<std::chrono::steady_clock, Duration>;

  Clock() = default;
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;
  virtual ~Clock() = default;

  [[nodiscard]] virtual TimePoint now() const = 0;
  [[nodiscard]] virtual DateTime utcNow() const = 0;
};

/// std::chrono's steady clock and the system clock. Stateless; safe from any thread. For code that
/// reads time but sets no timers (decoders, file names).
[[nodiscard]] const Clock& systemClock();

/// Reads whatever it was last set to. For code without timers driven by hand (fuzzers, benchmarks);
/// tests of timed components use a scheduler that moves time instead.
class FixedClock final : public Clock {
 public:
  explicit FixedClock(TimePoint now = {}, DateTime utc = 0.0) : m_now(now), m_utc(utc) {}
  [[nodiscard]] TimePoint now() const override { return m_now; }
  [[nodiscard]] DateTime utcNow() const override { return m_utc; }
  void set(TimePoint now) { m_now = now; }
  void setUtc(DateTime utc) { m_utc = utc; }

 private:
  TimePoint m_now;
  DateTime m_utc;
};

namespace detail {

/// One timer as a scheduler keeps it, shared by the scheduler and the `Timer` handle. Schedulers
/// derive from it to hold their own timer state.
class TimerSlot {
 public:
  /// What a timer does once it has fired: nothing more, fire again after its interval, or wait
  /// until it is restarted.
  enum class Kind { once, repeating, restartable };

  TimerSlot(std::function<void()> callback, bool repeating)
      : TimerSlot(std::move(callback), repeating ? Kind::repeating : Kind::once) {}
  /// A restartable slot starts stopped.
  TimerSlot(std::function<void()> callback, Kind kind)
      : m_callback(std::move(callback)), m_kind(kind), m_armed(kind != Kind::restartable) {}
  TimerSlot(const TimerSlot&) = delete;
  TimerSlot& operator=(const TimerSlot&) = delete;
  virtual ~TimerSlot() = default;

  [[nodiscard]] bool pending() const { return m_armed && static_cast<bool>(m_callback); }
  [[nodiscard]] bool repeating() const { return m_kind == Kind::repeating; }
  [[nodiscard]] bool restartable() const { return m_kind == Kind::restartable; }
  /// No further calls; tells the scheduler through `stopped`. A restartable slot keeps its
  /// callback for the next restart.
  void cancel();
  /// A restartable slot falls due `delay` from now (negative counts as 0), pending or not; tells
  /// the scheduler through `restarted`. Other slots ignore it.
  void restart(std::chrono::milliseconds delay);
  /// Runs the callback once (the scheduler calls it when the timer is due). A single-shot timer is
  /// no longer pending while its callback runs. The callback may cancel or destroy its own timer;
  /// the scheduler keeps the slot alive until `fire` returns.
  void fire();

 protected:
  /// The scheduler's hook to release what it holds for this timer.
  virtual void stopped() {}
  /// The scheduler's hook to set a restartable timer's deadline `delay` (at least 0) from now.
  virtual void restarted(std::chrono::milliseconds delay) { (void)delay; }

 private:
  std::function<void()> m_callback;  // empty once cancelled, or fired when single-shot
  Kind m_kind;
  bool m_armed;  // false only for a restartable slot that is stopped or has fired
};

}  // namespace detail

/// The handle of a timer set through a `Scheduler`. Cancels the timer when destroyed or assigned
/// over, so a callback never outlives the object that owns its handle. Movable, not copyable.
class Timer {
 public:
  Timer() = default;
  explicit Timer(std::shared_ptr<detail::TimerSlot> slot) : m_slot(std::move(slot)) {}
  Timer(Timer&& other) noexcept = default;
  Timer& operator=(Timer&& other) noexcept;
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  ~Timer() { cancel(); }

  /// True until a single-shot timer fired, or until the timer is cancelled.
  [[nodiscard]] bool pending() const { return m_slot && m_slot->pending(); }
  /// Ends the timer and empties the handle.
  void cancel();
  /// A restartable timer: fires once, `delay` from now, whether it was pending, had fired or was
  /// stopped. Nothing for other timers.
  void restart(std::chrono::milliseconds delay) {
    if (m_slot) m_slot->restart(delay);
  }
  /// A restartable timer: no call until the next restart, the handle stays. Other timers: cancel.
  void stop();

 private:
  std::shared_ptr<detail::TimerSlot> m_slot;
};

/// A clock that also runs timers. Callbacks run on the scheduler's thread, never from inside the
/// call that sets the timer (not even for a delay of 0). Set and cancel timers from that thread only.
class Scheduler : public Clock {
 public:
  /// Calls `callback` once, `delay` from now (negative delays count as 0).
  [[nodiscard]] virtual Timer callAfter(Duration delay, std::function<void()> callback) = 0;
  /// Calls `callback` every `interval` (at least 1 ms) until the handle cancels it. A timer the
  /// system could not start comes back not pending.
  [[nodiscard]] virtual Timer callEvery(Duration interval, std::function<void()> callback) = 0;
  /// A single-shot timer that starts stopped; each Timer::restart sets it going, moving the
  /// deadline of one that is pending. For a deadline that every event pushes back (a quiet-line
  /// bound, a watchdog) without a new timer each time.
  [[nodiscard]] virtual Timer makeRestartable(std::function<void()> callback) = 0;
};

}  // namespace geomuxer
