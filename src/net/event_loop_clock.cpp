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
  QtTimerSlot(std::function<void()> callback, bool repeating) : TimerSlot(std::move(callback), repeating) {
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setSingleShot(!repeating);
  }
  ~QtTimerSlot() override {
    m_timer->stop();
    if (m_firing)
      m_timer->deleteLater();
    else
      delete m_timer;
  }

  static std::shared_ptr<QtTimerSlot> start(Clock::Duration interval, std::function<void()> callback,
                                            bool repeating) {
    auto slot = std::make_shared<QtTimerSlot>(std::move(callback), repeating);
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
    const auto ms = std::clamp<Clock::Duration::rep>(interval.count(), repeating ? 1 : 0, INT_MAX);
    slot->m_timer->start(static_cast<int>(ms));
    if (!slot->m_timer->isActive()) slot->cancel();
    return slot;
  }

 protected:
  void stopped() override { m_timer->stop(); }

 private:
  QTimer* m_timer = new QTimer;
  bool m_firing = false;
};

}  // namespace

Timer EventLoopClock::callAfter(Duration delay, std::function<void()> callback) {
  return Timer(QtTimerSlot::start(delay, std::move(callback), false));
}

Timer EventLoopClock::callEvery(Duration interval, std::function<void()> callback) {
  return Timer(QtTimerSlot::start(interval, std::move(callback), true));
}

EventLoopClock& eventLoopClock() {
  static EventLoopClock clock;
  return clock;
}

}  // namespace geomuxer
