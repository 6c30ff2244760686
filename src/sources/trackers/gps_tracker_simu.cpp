#include "sources/trackers/gps_tracker_simu.h"

namespace geomuxer {
namespace {

// Stores a changed value and passes it to the running simulation.
template <typename T>
void update(T& stored, T value, GpsInterfaceSimu* running, T GpsInterfaceSimu::*member) {
  if (value == stored) return;
  stored = value;
  if (running != nullptr) running->*member = value;
}

}  // namespace

GpsInterfaceSimu* GpsTrackerSimu::simuInterface() const { return qobject_cast<GpsInterfaceSimu*>(gpsInterface()); }

void GpsTrackerSimu::setFields(DefFields fields) { update(m_fields, fields, simuInterface(), &GpsInterfaceSimu::fields); }
void GpsTrackerSimu::setCourse(float degrees) { update(m_course, degrees, simuInterface(), &GpsInterfaceSimu::course); }
void GpsTrackerSimu::setSpeed(float kmh) { update(m_speed, kmh, simuInterface(), &GpsInterfaceSimu::speed); }
void GpsTrackerSimu::setVSpeed(float metresPerSecond) {
  update(m_vSpeed, metresPerSecond, simuInterface(), &GpsInterfaceSimu::vSpeed);
}
void GpsTrackerSimu::setAltitude(float metres) { update(m_altitude, metres, simuInterface(), &GpsInterfaceSimu::altitude); }
void GpsTrackerSimu::setPrec(float metres) { update(m_prec, metres, simuInterface(), &GpsInterfaceSimu::prec); }
void GpsTrackerSimu::setVPrec(float metres) { update(m_vPrec, metres, simuInterface(), &GpsInterfaceSimu::vPrec); }
void GpsTrackerSimu::setSatellites(std::int32_t count) {
  update(m_satellites, count, simuInterface(), &GpsInterfaceSimu::satellites);
}
void GpsTrackerSimu::setFix(Fix fix) { update(m_fix, fix, simuInterface(), &GpsInterfaceSimu::fix); }

void GpsTrackerSimu::setStartPoint(Point point) {
  if (samePoint(point, m_startPoint)) return;
  m_startPoint = point;
  if (GpsInterfaceSimu* running = simuInterface()) running->setStartPoint(point);
}

std::unique_ptr<GpsInterface> GpsTrackerSimu::createInterface() {
  auto iface = std::make_unique<GpsInterfaceSimu>();
  if (m_clock != nullptr) iface->setClock(*m_clock);
  iface->fields = m_fields;
  iface->altitude = m_altitude;
  iface->setStartPoint(m_startPoint);
  iface->course = m_course;
  iface->fix = m_fix;
  iface->prec = m_prec;
  iface->satellites = m_satellites;
  iface->speed = m_speed;
  iface->vSpeed = m_vSpeed;
  iface->vPrec = m_vPrec;
  return iface;
}

}  // namespace geomuxer
