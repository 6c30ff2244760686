#include "app/widgets/source_notices.h"

#include <utility>

namespace geomuxer {

std::string sourceStatusLine(const SourceStatus& status) {
  std::string line = sourceStateText(status);
  if (!status.source.empty()) line = status.source + ": " + line;
  const bool down = status.state == SourceState::Reconnecting || status.state == SourceState::Stopped;
  if (down && !status.lastError.empty()) line += " (" + status.lastError + ")";
  return line;
}

std::optional<SourceNotices::Notice> SourceNotices::update(const SourceStatus& status, bool seen,
                                                           Clock::TimePoint now) {
  const SourceStatus previous = std::exchange(m_last, status);
  switch (status.state) {
    case SourceState::Reconnecting:
      m_failed = true;
      m_cause = status;
      break;
    case SourceState::Stopped: {
      // A stop by the user is announced once and keeps the text of the last fault. A fault that
      // stops the source announces the stop and then itself (a second "stopped", or a new text),
      // or ends the retrying.
      const bool byFault = !status.lastError.empty() && previous.source == status.source &&
                           (previous.state == SourceState::Stopped || previous.state == SourceState::Reconnecting ||
                            previous.lastError != status.lastError);
      if (!byFault) {
        // Switched off (or another source chosen): nothing is down, nothing to tell.
        m_failed = m_toldFailed = m_pending = false;
        return std::nullopt;
      }
      m_failed = true;
      m_cause = status;
      break;
    }
    case SourceState::ReceivingNoFix:
    case SourceState::ReceivingFix:
      m_failed = false;
      m_cause = status;
      break;
    case SourceState::Connecting:
    case SourceState::WaitingForData:
      break;  // on the way: neither down nor back yet
  }
  return poll(seen, now);
}

std::optional<SourceNotices::Notice> SourceNotices::poll(bool seen, Clock::TimePoint now) {
  m_pending = false;
  if (m_failed == m_toldFailed) return std::nullopt;
  if (seen) {
    m_toldFailed = m_failed;
    return std::nullopt;
  }
  if (m_lastNotice && now - *m_lastNotice < kQuietTime) {
    m_pending = true;
    return std::nullopt;
  }
  m_toldFailed = m_failed;
  m_lastNotice = now;
  return Notice{m_failed, sourceStatusLine(m_cause)};
}

}  // namespace geomuxer
