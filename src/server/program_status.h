#pragma once
// What the program is doing, for "/status.json": the controller publishes a plain summary of its
// source's state and counters on the main thread, the server's workers read it and render it.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/clock.h"

namespace geomuxer {

/// What the program is doing, as the status page shows it. Plain values.
struct ProgramStatus {
  std::string source;  ///< the selected source's name; empty: none selected
  /// "connecting", "waiting for data", "receiving, no fix", "receiving, fix",
  /// "reconnecting in N s", "stopped"
  std::string state;
  std::optional<std::int64_t> lastPositionMs;  ///< UTC ms since the Unix epoch of the last position
  /// Clock::now().time_since_epoch() in ms when the last byte arrived.
  std::optional<std::int64_t> lastByteMs;
  std::uint64_t epochs = 0, droppedLines = 0, reconnects = 0;
  std::string lastError;  ///< empty: none
  int broadcastClients = 0;
};

/// Thread-safe holder: the main thread publishes, the server's worker threads read.
class StatusBoard {
 public:
  /// `clock` gives "now" for the age of the last byte and must outlive the board.
  explicit StatusBoard(const Clock& clock = systemClock());
  StatusBoard(const StatusBoard&) = delete;
  StatusBoard& operator=(const StatusBoard&) = delete;

  void publish(ProgramStatus status);
  [[nodiscard]] ProgramStatus snapshot() const;
  /// The document of GET /status.json, with the age of the last byte computed now.
  [[nodiscard]] std::string json() const;

 private:
  const Clock& m_clock;
  mutable std::mutex m_mutex;
  ProgramStatus m_status;
};

/// The status document of `status`, `nowMs` being Clock::now().time_since_epoch() in ms. An empty
/// state (a board never published to) shows as "stopped".
[[nodiscard]] std::string statusJson(const ProgramStatus& status, std::int64_t nowMs);

/// `text` as a JSON string literal, quotes included; UTF-8 passes through unchanged.
[[nodiscard]] std::string jsonString(std::string_view text);

}  // namespace geomuxer
