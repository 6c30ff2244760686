#include "app/widgets/live_status.h"

#include <algorithm>

#include "app/app_controller.h"
#include "sources/decoders/gps_protocol_nmea.h"
#include "sources/trackers/gps_tracker.h"

namespace geomuxer {

LiveStatus::LiveStatus(AppController& controller, const Clock& clock, QObject* parent)
    : QObject(parent), m_controller(controller), m_clock(clock) {
  for (int i = 0; i < controller.sourceCount(); ++i) {
    const GpsTracker* source = controller.source(i);
    connect(source, &GpsTracker::positionReceived, this,
            [this, source](const PositionInfo& position) { onPosition(source, position); });
  }
  connect(&controller, &AppController::sourceStarted, this, &LiveStatus::onStarted);
  connect(&controller, &AppController::sourceStatusChanged, this, &LiveStatus::onStatus);
  onStatus(controller.sourceStatus());
}

void LiveStatus::onStatus(const SourceStatus& status) {
  m_status = status;
  m_statusAt = m_clock.now();
}

SourceStatus LiveStatus::sourceStatus() const {
  SourceStatus status = m_status;
  if (status.state == SourceState::Reconnecting) {
    const auto waited = std::chrono::duration_cast<std::chrono::seconds>(m_clock.now() - m_statusAt);
    status.reconnectInSeconds = std::max(0, status.reconnectInSeconds - static_cast<int>(waited.count()));
  }
  return status;
}

void LiveStatus::onPosition(const GpsTracker* source, const PositionInfo& position) {
  const Clock::TimePoint now = m_clock.now();
  m_lastArrival = now;
  if (source == m_controller.currentTracker()) ++m_epochs;
  if (!position.has(defXY)) return;
  while (!m_track.empty() && (now - m_track.front().at > kTrackSpan || m_track.size() >= kMaxTrackPoints))
    m_track.pop_front();
  m_track.push_back({now, position.point()});
}

const GpsProtocolNmea* LiveStatus::nmeaDecoder() const {
  const GpsTracker* tracker = m_controller.currentTracker();
  if (tracker == nullptr || tracker->gpsInterface() == nullptr) return nullptr;
  return dynamic_cast<const GpsProtocolNmea*>(tracker->gpsInterface()->protocol());
}

void LiveStatus::onStarted(const GpsTracker* source) {
  if (source == m_controller.currentTracker()) m_epochs = 0;
}

}  // namespace geomuxer
