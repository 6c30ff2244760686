#pragma once
// What a source is doing, as one plain value for the window, the tray, the headless log and the
// position server's status page. No Qt, so that the server can carry it.

#include <cstdint>
#include <optional>
#include <string>

namespace geomuxer {

/// The life of a running source. Stopped is the only state in which the user's switch is off.
enum class SourceState {
  Stopped,         ///< switched off, or stopped for good by a fault that retrying cannot mend
  Connecting,      ///< the transport is being opened (a TCP connect under way)
  WaitingForData,  ///< open, but no byte has come for the watchdog time (or none yet)
  ReceivingNoFix,  ///< bytes arrive, but no position has been handed on for the watchdog time
  ReceivingFix,    ///< positions are handed on
  Reconnecting,    ///< the transport failed; the next attempt is `reconnectInSeconds` away
};

struct SourceStatus {
  SourceState state = SourceState::Stopped;
  std::string source;                          ///< the source's name as the user sees it
  int reconnectInSeconds = 0;                  ///< meaningful in Reconnecting
  std::optional<std::int64_t> lastPositionMs;  ///< UTC ms since the Unix epoch of the last position handed on
  std::optional<std::int64_t> lastByteMs;      ///< the source clock's ms of the last byte received (for its age)
  std::uint64_t epochs = 0, droppedLines = 0, reconnects = 0;
  std::string lastError;                       ///< the last fault's text, empty when none since the start

  friend bool operator==(const SourceStatus&, const SourceStatus&) = default;
};

/// "connecting", "waiting for data", "receiving, no fix", "receiving, fix", "reconnecting in N s",
/// "stopped".
[[nodiscard]] std::string sourceStateText(const SourceStatus& status);

}  // namespace geomuxer
