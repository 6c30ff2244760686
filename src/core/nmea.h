#pragma once
// NMEA 0183 sentence codec: checksum, field splitting, and the RMC/GGA/GLL writer that the NMEA
// file and broadcast loggers share.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/position_info.h"

namespace geomuxer {

/// XOR of every byte of a sentence body (the text between "$" and "*").
[[nodiscard]] std::uint8_t nmeaChecksumValue(std::string_view body);
/// The body's checksum as two upper-case hexadecimal digits ("00" for an empty body).
[[nodiscard]] std::string nmeaChecksum(std::string_view body);
/// "$", the body, "*" and the body's checksum.
[[nodiscard]] std::string nmeaFrame(std::string_view body);

/// One framed sentence each, without line end. Talker is always "GP". The time is hhmmss, with
/// hundredths (hhmmss.ss) when it has a fraction of a second. The fix kind gives GGA's quality and
/// the "A"/"V" status of RMC and GLL; a record without `defFix` counts as a plain fix (quality 1).
/// GGA's satellite count is the record's when it has `defSatellites`, else "0". The other fields
/// are written from whatever the record holds, flags or not.
[[nodiscard]] std::string nmeaRmc(const PositionInfo& position);
[[nodiscard]] std::string nmeaGga(const PositionInfo& position);
[[nodiscard]] std::string nmeaGll(const PositionInfo& position);
/// RMC, GGA and GLL, each followed by CR LF: what the loggers write for one position.
[[nodiscard]] std::string nmeaBlock(const PositionInfo& position);
/// nmeaBlock appended to `out`, for callers that reuse one buffer.
void appendNmeaBlock(std::string& out, const PositionInfo& position);

/// Two upper-case letters: a talker the broadcast may write ("GP", "GN", ...).
[[nodiscard]] bool validTalker(std::string_view talker);
/// What the broadcasts send for one position: RMC, GGA, GLL and VTG, then GSA when the record has a
/// dilution of precision and ZDA when it has a time, each with `talker` (GP when it is not a valid
/// one) and CR LF. The file keeps appendNmeaBlock's three sentences.
void appendNmeaBroadcastBlock(std::string& out, const PositionInfo& position, std::string_view talker);

/// The comma-separated fields of a sentence payload as views into it. Fields past the capacity are
/// dropped (no sentence we read uses them); a missing field reads as empty.
class NmeaFields {
 public:
  static constexpr std::size_t kCapacity = 40;

  NmeaFields() = default;
  explicit NmeaFields(std::string_view payload) { split(payload); }

  void split(std::string_view payload);
  [[nodiscard]] std::size_t size() const { return m_count; }
  [[nodiscard]] std::string_view operator[](std::size_t index) const {
    return index < m_count ? m_fields[index] : std::string_view{};
  }

 private:
  std::array<std::string_view, kCapacity> m_fields{};
  std::size_t m_count = 0;
};

}  // namespace geomuxer
