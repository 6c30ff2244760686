#include "sources/trackers/gps_tracker_nmea.h"

#include "net/event_loop_clock.h"

#include <utility>

namespace geomuxer {

GpsTrackerNmea::GpsTrackerNmea(QObject* parent) : GpsTracker(parent), m_clock(&eventLoopClock()) {
  connect(this, &GpsTracker::started, this, [this] {
    m_dropReport = m_clock->callEvery(Clock::Duration(kDropReportMs), [this] { reportDrops(); });
  });
  connect(this, &GpsTracker::stopped, this, [this] { m_dropReport.cancel(); });
}

std::unique_ptr<GpsProtocolNmea> GpsTrackerNmea::makeProtocol() {
  auto protocol = std::make_unique<GpsProtocolNmea>();
  protocol->setCheckChecksum(m_checkChecksum);
  // The decoder belongs to an interface this tracker owns, so it never outlives the tracker.
  protocol->setSentenceHandler([this](std::string_view sentence) {
    emit sentenceReceived(QString::fromLatin1(sentence.data(), static_cast<qsizetype>(sentence.size())));
    // Sentences that pass on verbatim: framed, ending in a valid checksum, whatever the decoder's
    // checksum option. They are collected for the chunk at hand and handed on as one piece.
    if (sentence.size() < 4 || (sentence.front() != '$' && sentence.front() != '!') ||
        sentence.find('*') != sentence.size() - 3 || !GpsProtocolNmea::checksumValid(sentence)) {
      return;
    }
    m_sentences.append(sentence);
    m_sentences += "\r\n";
    if (m_flushQueued) return;
    m_flushQueued = true;
    QMetaObject::invokeMethod(this, &GpsTrackerNmea::flushSentences, Qt::QueuedConnection);
  });
  return protocol;
}

std::uint64_t GpsTrackerNmea::decoderDrops() const {
  const GpsInterface* iface = gpsInterface();
  const auto* decoder = iface != nullptr ? dynamic_cast<const GpsProtocolNmea*>(iface->protocol()) : nullptr;
  return decoder != nullptr ? decoder->stats().dropped() : 0;
}

void GpsTrackerNmea::flushSentences() {
  m_flushQueued = false;
  const std::string lines = std::exchange(m_sentences, {});
  if (!lines.empty()) deliverSentences(lines);
}

void GpsTrackerNmea::reportDrops() {
  const GpsInterface* iface = gpsInterface();
  const auto* decoder = iface != nullptr ? dynamic_cast<const GpsProtocolNmea*>(iface->protocol()) : nullptr;
  if (decoder == nullptr) return;
  if (decoder != m_reported) {
    // A new interface brings a new decoder, counting from zero.
    m_reported = decoder;
    m_reportedStats = {};
  }
  const GpsProtocolNmea::Stats& now = decoder->stats();
  GpsProtocolNmea::Stats since;
  since.checksum = now.checksum - m_reportedStats.checksum;
  since.tooLong = now.tooLong - m_reportedStats.tooLong;
  since.unknownSentence = now.unknownSentence - m_reportedStats.unknownSentence;
  since.outOfRange = now.outOfRange - m_reportedStats.outOfRange;
  m_reportedStats = now;
  if (since.dropped() == 0) return;
  emit inputDropped(QStringLiteral("NMEA: %1 %2 dropped in the last minute (%3)")
                        .arg(since.dropped())
                        .arg(since.dropped() == 1 ? QStringLiteral("line") : QStringLiteral("lines"))
                        .arg(QString::fromStdString(GpsProtocolNmea::droppedText(since))));
}

}  // namespace geomuxer
