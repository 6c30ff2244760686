#include "sources/transports/gps_timer_interface.h"

#include "net/event_loop_clock.h"

namespace geomuxer {

GpsTimerInterface::GpsTimerInterface(QObject* parent) : GpsInterface(nullptr, parent), m_clock(&eventLoopClock()) {}

GpsTimerInterface::~GpsTimerInterface() {
  m_enabled = false;
  m_timer.cancel();
}

void GpsTimerInterface::setClock(Scheduler& clock) {
  m_clock = &clock;
  rearm();
}

void GpsTimerInterface::open() { setEnabled(true); }

void GpsTimerInterface::close() { setEnabled(false); }

void GpsTimerInterface::setInterval(int milliseconds) {
  m_interval = milliseconds < 0 ? 0 : milliseconds;
  rearm();
}

void GpsTimerInterface::setEnabled(bool enabled) {
  m_enabled = enabled;
  rearm();
}

void GpsTimerInterface::rearm() {
  m_timer.cancel();
  if (m_interval == 0 || !m_enabled) return;
  m_timer = m_clock->callEvery(Clock::Duration(m_interval), [this] { guarded([this] { timerTick(); }); });
  if (!m_timer.pending()) {
    m_enabled = false;
    throw InterfaceError("Not enough timers available");
  }
}

}  // namespace geomuxer
