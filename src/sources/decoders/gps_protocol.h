#pragma once
// The decoder side of a source: a protocol object turns the bytes a transport reads into positions.
// Decoders are plain C++ (no Qt) so that tools and fuzzers use them without an event loop.

#include <cstdint>
#include <string>
#include <string_view>

#include "core/position_info.h"

namespace geomuxer {

/// What a decoder needs from the transport that owns it. Implemented by the transports (and by
/// tools and tests); called on the thread that calls `GpsProtocol::processData`.
class ProtocolHost {
 public:
  /// One complete position. The reference is valid for the duration of the call only.
  virtual void deliverPosition(const PositionInfo& position) = 0;
  /// Bytes for the device (handshakes of packet protocols). Transports without a way back ignore them.
  virtual void writeBytes(std::string_view bytes) { (void)bytes; }
  /// Something about the device worth one line in the log ("no answer from the receiver"). The
  /// decoder says it once when the state begins, not on every poll.
  virtual void notice(std::string_view text) { (void)text; }

 protected:
  ~ProtocolHost() = default;
};

/// Outcome of one `processData` call.
enum class ProcessStatus : std::uint8_t {
  idle = 0,      ///< nothing of note
  consumed = 1,  ///< data taken
  error = 2,     ///< framing lost: the transport should resynchronise
};

/// A decoder. Owned by its transport; not thread-safe, one transport calls it at a time.
class GpsProtocol {
 public:
  GpsProtocol() = default;
  GpsProtocol(const GpsProtocol&) = delete;
  GpsProtocol& operator=(const GpsProtocol&) = delete;
  virtual ~GpsProtocol() = default;

  /// Display name of the protocol ("NMEA-0183").
  [[nodiscard]] virtual std::string name() const = 0;
  /// The transport has been opened and is about to deliver bytes.
  virtual void start(ProtocolHost& host) { (void)host; }
  /// The transport is being closed.
  virtual void stop(ProtocolHost& host) { (void)host; }
  /// Decodes one chunk of whatever size the transport read (empty: an idle poll) and hands every
  /// complete position to `host.deliverPosition`. Never throws on bad input; exceptions from the
  /// host's callbacks pass through.
  virtual ProcessStatus processData(ProtocolHost& host, std::string_view chunk) = 0;
  /// How often, in milliseconds, a transport that receives nothing should call `processData`
  /// with an empty chunk; 0 (the default) when the decoder has no time-outs of its own.
  [[nodiscard]] virtual int idlePollMs() const { return 0; }
  /// True while the decoder holds data for a position that more input may still complete (the
  /// open epoch of a sentence protocol). Its transport calls `flush` once the line has been quiet
  /// for a short while, so that the last position before a pause is not held back.
  [[nodiscard]] virtual bool holdsPosition() const { return false; }
  /// Hands on what the decoder holds as if the input had ended here.
  virtual void flush(ProtocolHost& host) { (void)host; }
};

}  // namespace geomuxer
