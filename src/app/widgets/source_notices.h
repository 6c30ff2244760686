#pragma once
// Which changes of the selected source are worth a desktop notification while the window is out of
// sight: a source that fails (reconnecting, or stopped by a fault) and one that comes back after
// it. A flapping source is told about at most once per quiet time; a change held back meanwhile is
// told when the quiet time is over, if it still holds then.

#include <optional>
#include <string>

#include "core/clock.h"
#include "sources/source_status.h"

namespace geomuxer {

/// "NMEA TCP/IP: reconnecting in 4 s (Connection refused)": the source, its state and, while it
/// is down, the fault that put it there.
[[nodiscard]] std::string sourceStatusLine(const SourceStatus& status);

/// Plain logic without Qt; the main window feeds it and shows what it returns.
class SourceNotices {
 public:
  static constexpr Clock::Duration kQuietTime = std::chrono::seconds(30);

  struct Notice {
    bool failure = false;  ///< else: the source is back
    std::string text;      ///< sourceStatusLine of the status that caused it
  };

  /// A status the selected source announced. While `seen` (the window is on screen) nothing is
  /// told: the user has seen the news there. Returns what to tell now.
  [[nodiscard]] std::optional<Notice> update(const SourceStatus& status, bool seen, Clock::TimePoint now);
  /// The change that the quiet time held back, once it is due and still holds.
  [[nodiscard]] std::optional<Notice> poll(bool seen, Clock::TimePoint now);
  /// A change waits for the quiet time to end.
  [[nodiscard]] bool pending() const { return m_pending; }

 private:
  SourceStatus m_last;     // the previous announcement
  SourceStatus m_cause;    // the announcement that made the source failed or fine
  bool m_failed = false;   // what the announcements say
  bool m_toldFailed = false;  // what the user was last told (or saw)
  std::optional<Clock::TimePoint> m_lastNotice;
  bool m_pending = false;
};

}  // namespace geomuxer
