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

/// States: after `start` the start command is outstanding (`waiting`); the receiver's ACK, or a
/// PVT packet, makes it `acknowledged`; 700 ms without data while acknowledged re-sends the start
/// command (waiting again). A command that stays unanswered, or that the receiver refuses (NAK),
/// is sent again every 3000 ms for as long as that lasts, so a receiver switched on after the
/// source, or power-cycled while streaming, is heard again. The host gets one notice when a
/// receiver stops answering and one when it answers again.
class GpsProtocolGarmin final : public GpsProtocol {
 public:
  static constexpr std::int64_t kResendAfterMs = 700;
  /// An unanswered or refused start command is repeated this often.
  static constexpr std::int64_t kRetryAfterMs = 3000;
  /// Idle polls this often see both time-outs in time.
  static constexpr int kIdlePollMs = 250;
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
    std::uint64_t retries = 0;         ///< start commands re-sent because none was answered
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
  /// Empty chunk (idle poll): re-sends the start command when it is due; `idle`.
  ProcessStatus processData(ProtocolHost& host, std::string_view chunk) override;
  [[nodiscard]] int idlePollMs() const override { return kIdlePollMs; }

  [[nodiscard]] bool waiting() const { return m_waiting; }
  [[nodiscard]] bool acknowledged() const { return m_acknowledged; }
  /// True from the first retry of an unanswered start command until the receiver answers.
  [[nodiscard]] bool unanswered() const { return m_unanswered; }
  [[nodiscard]] const Stats& stats() const { return m_stats; }

 private:
  [[nodiscard]] bool handlePacket(ProtocolHost& host);
  void sendStart(ProtocolHost& host);
  void answered(ProtocolHost& host);

  const Clock* m_clock;
  std::string m_buffer;
  bool m_dlePending = false;
  bool m_waiting = false;
  bool m_acknowledged = false;
  bool m_unanswered = false;
  Clock::TimePoint m_startSentAt{};
  Clock::TimePoint m_lastDataAt{};
  Stats m_stats;
};

}  // namespace geomuxer
