#pragma once
// Garmin serial protocol: asks the receiver to stream PVT records, unstuffs and checks the DLE
// framed packets it sends back, answers each PVT packet and hands its position on.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "sources/decoders/garmin_packet.h"
#include "sources/decoders/gps_protocol.h"

namespace geomuxer {

/// States: after `start` the start command is outstanding (`waiting`); the receiver's ACK makes
/// it `acknowledged`; 700 ms without data while acknowledged re-sends the start command (waiting
/// again). A NAK of the command clears both flags, and an unanswered command makes every idle
/// poll after 3000 ms report an error; in both cases the command is not repeated until the next
/// start, while PVT packets that still arrive are decoded.
class GpsProtocolGarmin final : public GpsProtocol {
 public:
  static constexpr std::int64_t kResendAfterMs = 700;
  static constexpr std::int64_t kGiveUpAfterMs = 3000;
  /// Longest packet body kept; bytes beyond it are dropped (a real body is at most 258 bytes).
  static constexpr std::size_t kBufferSize = 256;

  /// Counts of what the decoder saw; bad input is counted, never thrown.
  struct Stats {
    std::uint64_t packets = 0;         ///< valid packets
    std::uint64_t badPackets = 0;      ///< wrong checksum or size
    std::uint64_t positions = 0;       ///< PVT records handed on
    std::uint64_t shortPvt = 0;        ///< PVT packets refused for holding fewer than 64 bytes
    std::uint64_t unusableFixes = 0;   ///< PVT records without a usable fix or with wild values
    std::uint64_t echoes = 0;          ///< the host's own start command read back
    std::uint64_t resends = 0;         ///< start commands re-sent after a quiet spell
  };

  /// Reads `clock`'s monotonic time for the time-outs; the clock must outlive the decoder.
  explicit GpsProtocolGarmin(const Clock& clock = systemClock());

  [[nodiscard]] std::string name() const override { return "Garmin"; }
  /// Empties the packet buffer and sends the start command.
  void start(ProtocolHost& host) override;
  /// Sends the stop command.
  void stop(ProtocolHost& host) override;
  /// Data: `consumed` when a valid packet ended in the chunk, `error` at the first invalid one
  /// (the rest of the chunk is dropped; the transport should purge its input), otherwise `idle`.
  /// Empty chunk (idle poll): `error` when the start command went unanswered for 3000 ms or was
  /// refused, otherwise `idle` (after re-sending the start command when the stream went quiet).
  ProcessStatus processData(ProtocolHost& host, std::string_view chunk) override;

  [[nodiscard]] bool waiting() const { return m_waiting; }
  [[nodiscard]] bool acknowledged() const { return m_acknowledged; }
  [[nodiscard]] const Stats& stats() const { return m_stats; }

 private:
  [[nodiscard]] bool handlePacket(ProtocolHost& host);
  void sendStart(ProtocolHost& host);

  const Clock* m_clock;
  std::string m_buffer;
  bool m_dlePending = false;
  bool m_waiting = false;
  bool m_acknowledged = false;
  Clock::TimePoint m_startSentAt{};
  Clock::TimePoint m_lastDataAt{};
  Stats m_stats;
};

}  // namespace geomuxer
