#pragma once
// What the desktop's status views read: the selected source's state as last announced, when the
// last position came in, how many the current run has delivered, and the track of the last
// minutes. Collected from every source as positions arrive (a time stamp and a point each, nothing
// drawn); the views poll it while they are shown.

#include <QObject>

#include <cstdint>
#include <deque>
#include <optional>

#include "core/clock.h"
#include "core/position_info.h"
#include "sources/source_status.h"

namespace geomuxer {

class AppController;
class GpsProtocolNmea;
class GpsTracker;

/// Main thread only. The controller and the clock must outlive it.
class LiveStatus : public QObject {
  Q_OBJECT

 public:
  /// How far back the track reaches.
  static constexpr Clock::Duration kTrackSpan = std::chrono::minutes(10);
  /// Cap on the points kept: ten minutes of a 10 Hz receiver.
  static constexpr std::size_t kMaxTrackPoints = 6000;

  struct TrackPoint {
    Clock::TimePoint at;
    Point point;
  };

  explicit LiveStatus(AppController& controller, const Clock& clock = systemClock(), QObject* parent = nullptr);

  [[nodiscard]] AppController& controller() const { return m_controller; }
  [[nodiscard]] const Clock& clock() const { return m_clock; }

  /// The state the controller last announced for the selected source; the wait before a
  /// reconnect counts down on the clock.
  [[nodiscard]] SourceStatus sourceStatus() const;
  /// Clock time of that announcement.
  [[nodiscard]] Clock::TimePoint sourceStatusTime() const { return m_statusAt; }
  /// Clock time of the last position of any source; nothing before the first.
  [[nodiscard]] std::optional<Clock::TimePoint> lastArrival() const { return m_lastArrival; }
  /// Positions the selected source delivered since it last started.
  [[nodiscard]] std::uint64_t epochs() const { return m_epochs; }
  /// Positions of the last kTrackSpan (by the clock at their arrival), oldest first. Older points
  /// are dropped as new ones arrive.
  [[nodiscard]] const std::deque<TrackPoint>& track() const { return m_track; }
  /// The NMEA decoder of the selected source while it runs; null otherwise.
  [[nodiscard]] const GpsProtocolNmea* nmeaDecoder() const;

 private:
  void onPosition(const GpsTracker* source, const PositionInfo& position);
  void onStarted(const GpsTracker* source);
  void onStatus(const SourceStatus& status);

  AppController& m_controller;
  const Clock& m_clock;
  std::optional<Clock::TimePoint> m_lastArrival;
  std::uint64_t m_epochs = 0;
  std::deque<TrackPoint> m_track;
  SourceStatus m_status;
  Clock::TimePoint m_statusAt;
};

}  // namespace geomuxer
