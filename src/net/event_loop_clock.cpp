#include "net/event_loop_clock.h"

#include <QTimer>

#include <algorithm>
#include <climits>

namespace geomuxer {
namespace {

// A QTimer per timer. A callback that drops the last handle of its own timer would delete the
// QTimer while it is still emitting, so that one is handed to the event loop to delete instead.
class QtTimerSlot final : public detail::TimerSlot {
 public:
  QtTimerSlot(std::function<void()> callback, Kind kind) : TimerSlot(std::move(callback), kind) {
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setSingleShot(kind != Kind::repeating);
  }
  ~QtTimerSlot() override {
    m_timer->stop();
    if (m_firing)
      m_timer->deleteLater();
    else
      delete m_timer;
  }

  static std::shared_ptr<QtTimerSlot> make(std::function<void()> callback, Kind kind) {
    auto slot = std::make_shared<QtTimerSlot>(std::move(callback), kind);
    const std::weak_ptr<QtTimerSlot> weak = slot;
    QObject::connect(slot->m_timer, &QTimer::timeout, slot->m_timer, [weak] {
      const std::shared_ptr<QtTimerSlot> self = weak.lock();
      if (!self) return;
      self->m_firing = true;
      self->fire();
      self->m_firing = false;
      // When `self` was the last owner the slot goes now, inside the emission: mark it firing again.
      if (self.use_count() == 1) self->m_firing = true;
    });
    return slot;
  }

  /// Starts (or restarts) the QTimer; a timer the system could not start is cancelled.
  void run(Clock::Duration interval) {
    const auto ms = std::clamp<Clock::Duration::rep>(interval.count(), repeating() ? 1 : 0, INT_MAX);
    m_timer->start(static_cast<int>(ms));
    if (!m_timer->isActive()) cancel();
  }

 protected:
  void stopped() override { m_timer->stop(); }
  void restarted(Clock::Duration delay) override { run(delay); }

 private:
  QTimer* m_timer = new QTimer;
  bool m_firing = false;
};

}  // namespace

Timer EventLoopClock::callAfter(Duration delay, std::function<void()> callback) {
  auto slot = QtTimerSlot::make(std::move(callback), QtTimerSlot::Kind::once);
  slot->run(delay);
  return Timer(std::move(slot));
}

Timer EventLoopClock::callEvery(Duration interval, std::function<void()> callback) {
  auto slot = QtTimerSlot::make(std::move(callback), QtTimerSlot::Kind::repeating);
  slot->run(interval);
  return Timer(std::move(slot));
}

Timer EventLoopClock::makeRestartable(std::function<void()> callback) {
  return Timer(QtTimerSlot::make(std::move(callback), QtTimerSlot::Kind::restartable));
}

EventLoopClock& eventLoopClock() {
  static EventLoopClock clock;
  return clock;
}

}  // namespace geomuxer
