#include "sources/transports/gps_timer_interface.h"

namespace geomuxer {

GpsTimerInterface::GpsTimerInterface(QObject* parent) : GpsInterface(nullptr, parent) {}

GpsTimerInterface::~GpsTimerInterface() {
  m_enabled = false;
  m_timer.cancel();
}

void GpsTimerInterface::setClock(Scheduler& clock) {
  GpsInterface::setClock(clock);
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
  m_timer = clock().callEvery(Clock::Duration(m_interval), [this] { guarded([this] { timerTick(); }); });
  if (!m_timer.pending()) {
    m_enabled = false;
    throw InterfaceError("Not enough timers available");
  }
}

}  // namespace geomuxer
