#pragma once
// The abstract output that a source hands its positions to. It lives in core (std only) so that the
// source framework can hold a logger without linking the concrete loggers.

#include <functional>
#include <string>
#include <string_view>

#include "core/position_info.h"
#include "core/tracklog_filter.h"

namespace geomuxer {

/// An output of positions. `setActive` only stores the flag: resources are opened by `start` and
/// closed by `stop`, which the running source calls. All calls come from the thread that delivers
/// the source's positions (the main thread).
class TrackLogger {
 public:
  TrackLogger() = default;
  TrackLogger(const TrackLogger&) = delete;
  TrackLogger& operator=(const TrackLogger&) = delete;
  virtual ~TrackLogger() = default;

  [[nodiscard]] bool active() const { return m_active; }
  virtual void setActive(bool active) { m_active = active; }

  /// The record filter consulted by the concrete logger; not owned, may be null (record everything).
  [[nodiscard]] TracklogFilter* filter() const { return m_filter; }
  void setFilter(TracklogFilter* filter) { m_filter = filter; }

  /// One position; the logger must not keep the reference.
  virtual void addPosition(const PositionInfo& position) = 0;
  /// Sentences as an NMEA source received them: complete lines with a valid checksum, each ending
  /// in CR LF, in arrival order. Loggers that pass a source's own sentences on override this; the
  /// others ignore them.
  virtual void addSentences(std::string_view lines) { (void)lines; }
  /// The source has started delivering.
  virtual void start() = 0;
  /// The source has stopped.
  virtual void stop() = 0;

 private:
  bool m_active = false;
  TracklogFilter* m_filter = nullptr;
};

/// Called by a file-writing logger with the name of the file it is about to open; the handler may
/// replace the name (an empty name means: no file for this run).
using FilenameHandler = std::function<void(TrackLogger& sender, std::string& filename)>;

}  // namespace geomuxer
