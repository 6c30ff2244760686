#pragma once
// Common part of the three NMEA sources (serial port, TCP client, followed file): the decoder's
// checksum option and the report of every received sentence.

#include <QString>

#include <memory>
#include <string>

#include "core/clock.h"
#include "sources/decoders/gps_protocol_nmea.h"
#include "sources/trackers/gps_tracker.h"

namespace geomuxer {

/// Base of the NMEA trackers. Settings made while the source runs reach the decoder at the next
/// start, when a new interface with a new decoder is built. Main thread only.
class GpsTrackerNmea : public GpsTracker {
  Q_OBJECT

 public:
  /// How often, at most, dropped input is reported through `inputDropped`.
  static constexpr int kDropReportMs = 60'000;

  explicit GpsTrackerNmea(QObject* parent = nullptr);

  /// When on (the default), a sentence with a wrong or missing checksum is dropped and counted.
  [[nodiscard]] bool checkChecksum() const { return m_checkChecksum; }
  void setCheckChecksum(bool on) { m_checkChecksum = on; }
  /// The scheduler of the drop report and of the source's state (the event-loop clock unless
  /// set); it must outlive the tracker. Set it while stopped.
  void setClock(Scheduler& clock) {
    m_clock = &clock;
    GpsTracker::setClock(clock);
  }

 signals:
  /// Every complete line received, after it has been decoded.
  void sentenceReceived(const QString& sentence);
  /// Lines dropped since the last report, by reason ("NMEA: 3 lines dropped in the last minute
  /// (2 checksum, ...)"); at most once every kDropReportMs, and only when some were.
  void inputDropped(const QString& report);

 protected:
  /// A decoder configured from this tracker, reporting its lines through sentenceReceived.
  [[nodiscard]] std::unique_ptr<GpsProtocolNmea> makeProtocol();
  [[nodiscard]] std::uint64_t decoderDrops() const override;

 private:
  void reportDrops();
  void flushSentences();

  bool m_checkChecksum = true;
  Scheduler* m_clock;
  Timer m_dropReport;
  const GpsProtocolNmea* m_reported = nullptr;  // the decoder `m_reportedStats` belongs to
  GpsProtocolNmea::Stats m_reportedStats;
  // Valid sentences of the chunk being decoded, handed on together once it is done.
  std::string m_sentences;
  bool m_flushQueued = false;
};

}  // namespace geomuxer
