#pragma once
// NMEA 0183 decoder: cuts byte chunks into sentence lines, folds the sentences it knows into one
// working record and hands that record on once per chunk.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/nmea.h"
#include "core/position_info.h"
#include "sources/decoders/gps_protocol.h"

namespace geomuxer {

class GpsProtocolNmea final : public GpsProtocol {
 public:
  /// Longest incomplete line kept between chunks; a source that never ends its lines cannot make
  /// the decoder grow without bound. Real sentences are at most 82 characters.
  static constexpr std::size_t kMaxFragment = 1024;

  /// Called with every complete line (trimmed), after it has been decoded.
  using SentenceHandler = std::function<void(std::string_view sentence)>;

  /// Counts of bad input seen; the decoder never fails on it.
  struct Stats {
    std::uint64_t lines = 0;
    std::uint64_t checksumFailures = 0;  ///< counted only while the checksum check is on
    std::uint64_t droppedFragments = 0;  ///< incomplete lines discarded for being too long
  };

  [[nodiscard]] std::string name() const override { return "NMEA-0183"; }
  /// Clears the pending flag and the working record's flags; values and the previous record stay.
  void start(ProtocolHost& host) override;
  /// Always returns `consumed`.
  ProcessStatus processData(ProtocolHost& host, std::string_view chunk) override;

  /// When on, only lines with a correct checksum make the record pending (off by default).
  [[nodiscard]] bool checkChecksum() const { return m_checkChecksum; }
  void setCheckChecksum(bool on) { m_checkChecksum = on; }

  void setSentenceHandler(SentenceHandler handler) { m_sentenceHandler = std::move(handler); }

  [[nodiscard]] const PositionInfo& current() const { return m_current; }
  [[nodiscard]] const PositionInfo& previous() const { return m_previous; }
  [[nodiscard]] bool pending() const { return m_pending; }
  [[nodiscard]] std::string_view fragment() const { return m_fragment; }
  [[nodiscard]] const Stats& stats() const { return m_stats; }

  /// The checksum rule for one line: the two characters after the first "*" (the line's first two
  /// without one) must equal, case included, the checksum of the text after the first "$" (or
  /// "!") up to that "*". A line without "*" therefore fails.
  [[nodiscard]] static bool checksumValid(std::string_view line);

 private:
  void handleLine(std::string_view line);
  void parseSentence(std::string_view line);
  void handOff(ProtocolHost& host);

  PositionInfo m_current;
  PositionInfo m_previous;
  bool m_pending = false;
  bool m_checkChecksum = false;
  std::string m_fragment;
  std::string m_joined;  // fragment + continuation; kept to reuse its storage
  NmeaFields m_fields;
  SentenceHandler m_sentenceHandler;
  Stats m_stats;
};

}  // namespace geomuxer
