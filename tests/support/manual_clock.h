#pragma once
// A clock for tests: time stands still until the test moves it, and timers fire only then, in the
// order of their deadlines, on the test's own thread. No Qt and no event loop needed.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/clock.h"

namespace geomuxer::test {

class ManualClock final : public Scheduler {
 public:
  /// Starts on the wall at `utcStart` and an hour after the monotonic origin (so that a zero
  /// reading never looks like "just now").
  explicit ManualClock(DateTime utcStart = *makeDateTime({.year = 2024, .month = 3, .day = 9, .hour = 12}),
                       TimePoint start = TimePoint(std::chrono::hours(1)))
      : m_now(start), m_utcAt(start), m_utc(utcStart) {}

  [[nodiscard]] TimePoint now() const override { return m_now; }
  [[nodiscard]] DateTime utcNow() const override {
    return m_utc + static_cast<double>((m_now - m_utcAt).count()) / static_cast<double>(kMsPerDay);
  }
  /// Sets the wall clock (as if the system time were changed); the monotonic clock does not move.
  void setUtc(DateTime utc) {
    m_utc = utc;
    m_utcAt = m_now;
  }

  [[nodiscard]] Timer callAfter(Duration delay, std::function<void()> callback) override {
    return add(std::max(delay, Duration::zero()), std::move(callback), false);
  }
  [[nodiscard]] Timer callEvery(Duration interval, std::function<void()> callback) override {
    return add(std::max(interval, Duration(1)), std::move(callback), true);
  }
  [[nodiscard]] Timer makeRestartable(std::function<void()> callback) override {
    return Timer(std::make_shared<RestartableSlot>(*this, std::move(callback)));
  }

  /// Moves time on by `step`, firing every timer that falls due on the way in the order of the
  /// deadlines (ties: the order they were set), with `now()` at each timer's deadline while it runs.
  /// Timers that callbacks set fire too when they fall due within the step. `advance(0ms)` fires
  /// what is due now.
  void advance(Duration step) {
    const TimePoint until = m_now + std::max(step, Duration::zero());
    while (Entry* next = nextDue(until)) {
      const std::shared_ptr<detail::TimerSlot> slot = next->slot.lock();
      m_now = next->deadline;
      if (slot->repeating()) {
        next->deadline += next->interval;
        next->order = m_nextOrder++;
      } else {
        next->slot.reset();
      }
      slot->fire();  // may add entries: `next` is not used after this
    }
    m_now = until;
    prune();
  }
  /// Fires the next pending timer by moving time to its deadline; false when none is pending.
  bool advanceToNextTimer() {
    const std::optional<TimePoint> next = nextDeadline();
    if (!next) return false;
    advance(*next - m_now);
    return true;
  }

  [[nodiscard]] std::optional<TimePoint> nextDeadline() const {
    std::optional<TimePoint> next;
    for (const Entry& entry : m_entries)
      if (live(entry) && (!next || entry.deadline < *next)) next = entry.deadline;
    return next;
  }
  [[nodiscard]] std::size_t pendingTimers() const {
    return static_cast<std::size_t>(std::count_if(m_entries.begin(), m_entries.end(), live));
  }

 private:
  struct Entry {
    TimePoint deadline;
    std::uint64_t order;
    Duration interval;
    std::weak_ptr<detail::TimerSlot> slot;
  };

  // Restarting moves the slot's one entry (or makes it again once fired or pruned).
  class RestartableSlot final : public detail::TimerSlot, public std::enable_shared_from_this<RestartableSlot> {
   public:
    RestartableSlot(ManualClock& clock, std::function<void()> callback)
        : TimerSlot(std::move(callback), Kind::restartable), m_clock(clock) {}

   protected:
    void restarted(Duration delay) override { m_clock.schedule(weak_from_this(), delay); }

   private:
    ManualClock& m_clock;
  };

  void schedule(const std::weak_ptr<detail::TimerSlot>& slot, Duration delay) {
    const std::shared_ptr<detail::TimerSlot> target = slot.lock();
    for (Entry& entry : m_entries) {
      if (entry.slot.lock() != target) continue;
      entry.deadline = m_now + delay;
      entry.order = m_nextOrder++;
      return;
    }
    if (m_entries.size() >= 16) prune();
    m_entries.push_back(Entry{m_now + delay, m_nextOrder++, delay, slot});
  }

  static bool live(const Entry& entry) {
    const std::shared_ptr<detail::TimerSlot> slot = entry.slot.lock();
    return slot && slot->pending();
  }

  Timer add(Duration delay, std::function<void()> callback, bool repeating) {
    // Cancelled timers are dropped here too, so a timer restarted on every read stays one entry.
    if (m_entries.size() >= 16) prune();
    auto slot = std::make_shared<detail::TimerSlot>(std::move(callback), repeating);
    m_entries.push_back(Entry{m_now + delay, m_nextOrder++, delay, slot});
    return Timer(std::move(slot));
  }

  // The earliest live entry due by `until`. Entries are found by scanning: tests hold a handful.
  Entry* nextDue(TimePoint until) {
    Entry* best = nullptr;
    for (Entry& entry : m_entries) {
      if (!live(entry) || entry.deadline > until) continue;
      if (best == nullptr || entry.deadline < best->deadline ||
          (entry.deadline == best->deadline && entry.order < best->order))
        best = &entry;
    }
    return best;
  }

  void prune() { std::erase_if(m_entries, [](const Entry& entry) { return !live(entry); }); }

  TimePoint m_now;
  TimePoint m_utcAt;  // the monotonic reading at which the wall clock read m_utc
  DateTime m_utc;
  std::vector<Entry> m_entries;
  std::uint64_t m_nextOrder = 0;
};

}  // namespace geomuxer::test
