#include "core/clock.h"

namespace geomuxer {
namespace {

class SystemClock final : public Clock {
 public:
  [[nodiscard]] TimePoint now() const override {
    return std::chrono::time_point_cast<Duration>(std::chrono::steady_clock::now());
  }
  [[nodiscard]] DateTime utcNow() const override { return nowUtc(); }
};

}  // namespace

const Clock& systemClock() {
  static const SystemClock clock;
  return clock;
}

namespace detail {

void TimerSlot::cancel() {
  if (!pending()) return;
  if (m_kind == Kind::restartable)
    m_armed = false;
  else
    m_callback = nullptr;
  stopped();
}

void TimerSlot::restart(std::chrono::milliseconds delay) {
  if (m_kind != Kind::restartable || !m_callback) return;
  m_armed = true;
  restarted(std::max(delay, std::chrono::milliseconds::zero()));
}

void TimerSlot::fire() {
  if (!pending()) return;
  if (m_kind == Kind::restartable) {
    m_armed = false;
    stopped();
    // A copy: the callback may restart its own timer, or drop its handle.
    const std::function<void()> callback = m_callback;
    callback();
    return;
  }
  if (m_kind == Kind::repeating) {
    // A copy: the callback may cancel its own timer, which empties m_callback under it.
    const std::function<void()> callback = m_callback;
    callback();
    return;
  }
  const std::function<void()> callback = std::move(m_callback);
  m_callback = nullptr;
  stopped();
  callback();
}

}  // namespace detail

Timer& Timer::operator=(Timer&& other) noexcept {
  if (this != &other) {
    cancel();
    m_slot = std::move(other.m_slot);
  }
  return *this;
}

void Timer::cancel() {
  if (!m_slot) return;
  m_slot->cancel();
  m_slot.reset();
}

void Timer::stop() {
  if (m_slot && m_slot->restartable())
    m_slot->cancel();
  else
    cancel();
}

}  // namespace geomuxer
