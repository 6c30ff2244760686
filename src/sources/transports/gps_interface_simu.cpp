#include "sources/transports/gps_interface_simu.h"

#include <cmath>

#include "core/date_time.h"
#include "core/geodesy.h"

namespace geomuxer {

GpsInterfaceSimu::GpsInterfaceSimu(QObject* parent) : GpsTimerInterface(parent), m_random(std::random_device{}()) {
  setInterval(kTickMs);
}

void GpsInterfaceSimu::setStartPoint(Point point) {
  if (samePoint(point, m_startPoint)) return;
  m_startPoint = point;
  m_origin = point;
}

float GpsInterfaceSimu::randomBelow(float bound) {
  // Halves go to the even neighbour (the default rounding mode).
  const float rounded = std::nearbyint(bound);
  if (!(rounded >= 1.0f)) return 0.0f;
  const auto top = static_cast<int>(std::min(rounded, 1.0e9f));
  return static_cast<float>(std::uniform_int_distribution<int>(0, top - 1)(m_random));
}

void GpsInterfaceSimu::tick() {
  const Clock::TimePoint now = clock().now();
  if (m_lastTick && now - *m_lastTick < Clock::Duration(kPositionEveryMs)) return;

  PositionInfo p;
  const Point origin = m_origin.value_or(m_startPoint);
  const Point next = destinationPoint(origin, course, static_cast<double>(speed) / 3.6);
  p.x = next.x;
  p.y = next.y;
  p.fields.include(defXY);
  if (fields.has(defTime)) {
    p.time = clock().utcNow();
    p.fields.include(defTime);
  }
  if (fields.has(defHeading)) {
    p.heading = course;
    p.fields.include(defHeading);
  }
  if (fields.has(defSpeed)) {
    p.speed = speed;
    p.fields.include(defSpeed);
  }
  if (fields.has(defXYPrec)) {
    p.xyPrec = randomBelow(prec);
    p.fields.include(defXYPrec);
  }
  if (fields.has(defVertSpeed)) {
    p.vertSpeed = vSpeed;
    p.fields.include(defVertSpeed);
  }
  if (fields.has(defAltitudePrec)) {
    p.altitudePrec = randomBelow(vPrec);
    p.fields.include(defAltitudePrec);
  }
  if (fields.has(defAltitude)) {
    altitude += vSpeed;
    p.altitude = altitude;
    p.fields.include(defAltitude);
  }
  if (fields.has(defFix)) {
    p.fix = fix;
    p.fields.include(defFix);
  }
  if (fields.has(defSatellites) && satellites > 0) {
    p.satellites = satellites;
    p.fields.include(defSatellites);
  }

  m_lastTick = now;
  m_origin = next;
  doPosition(p);
}

}  // namespace geomuxer
