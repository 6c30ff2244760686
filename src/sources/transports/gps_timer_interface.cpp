#include "sources/transports/gps_timer_interface.h"

namespace geomuxer {

GpsTimerInterface::GpsTimerInterface(QObject* parent) : GpsInterface(nullptr, parent) {
  m_timer.setTimerType(Qt::PreciseTimer);
  connect(&m_timer, &QTimer::timeout, this, [this] { guarded([this] { timerTick(); }); });
}

GpsTimerInterface::~GpsTimerInterface() {
  m_enabled = false;
  m_timer.stop();
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
  m_timer.stop();
  if (m_interval == 0 || !m_enabled) return;
  m_timer.start(m_interval);
  if (!m_timer.isActive()) {
    m_enabled = false;
    throw InterfaceError("Not enough timers available");
  }
}

}  // namespace geomuxer
