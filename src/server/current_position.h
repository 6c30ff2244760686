#pragma once
// The position the server publishes as "/pos.xml" and "/postext.xml": the controller replaces it
// on every position its source delivers, the server's workers read it.

#include <mutex>

#include "core/position_info.h"
#include "core/units.h"

namespace geomuxer {

/// A consistent copy of the current position and the display settings its text feed uses.
struct PositionSnapshot {
  PositionInfo position;
  DisplayFormat format;
};

/// Thread-safe holder of the current position. Every member may be called from any thread; a
/// reader never sees half of an update.
class CurrentPosition {
 public:
  CurrentPosition() = default;
  CurrentPosition(const CurrentPosition&) = delete;
  CurrentPosition& operator=(const CurrentPosition&) = delete;

  /// Replaces the position (usually from the main thread, for each delivered position).
  void publish(const PositionInfo& position);
  /// Replaces the units and number separators of the text feed.
  void setDisplayFormat(const DisplayFormat& format);

  [[nodiscard]] PositionSnapshot snapshot() const;

 private:
  mutable std::mutex m_mutex;
  PositionSnapshot m_snapshot;
};

}  // namespace geomuxer
