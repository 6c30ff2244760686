#pragma once
// NMEA 0183 decoder: frames byte chunks into sentences, gathers the sentences of one receiver
// epoch (those carrying the same fix time, and the satellite sentences between them) into one
// record, and hands that record on once per epoch when it holds a position.
//
// An epoch is handed on when the next fix time begins, or when its transport finds the line
// quiet. A receiver that writes its sentences in a steady order ends every cycle with the same
// sentence: once that sentence has come last before a new fix time in kEnderRuns cycles in a
// row, an epoch is handed on as soon as it arrives. A sentence after it with no new fix time
// means the receiver changed its output: that sentence joins the epoch already handed on (which
// makes no second position) and the cycle's end is learnt anew.

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/nmea.h"
#include "core/position_info.h"
#include "sources/decoders/gps_protocol.h"

namespace geomuxer {

/// One satellite of the receiver's sky, as its satellite sentences (GSV) last described it.
struct SatelliteInView {
  std::uint16_t talker = 0;  ///< the sentence's talker, two letters ('G' << 8 | 'P')
  int prn = 0;               ///< the satellite's number as the receiver gives it
  int elevation = -1;        ///< degrees above the horizon, 0..90; -1 unknown
  int azimuth = -1;          ///< degrees from true north, 0..359; -1 unknown
  int snr = -1;              ///< signal to noise, dB-Hz, 0..99; -1 not tracked
  bool used = false;         ///< listed by the last GSA as used in the fix
  friend bool operator==(const SatelliteInView&, const SatelliteInView&) = default;
};

class GpsProtocolNmea final : public GpsProtocol {
 public:
  /// Most satellites kept for the sky (all systems together).
  static constexpr std::size_t kMaxSatellites = 128;

  /// Longest sentence accepted, "$" to checksum. The standard allows 82 characters with the line
  /// end; receivers that write eight decimals of minutes go past that, so twice the standard.
  static constexpr std::size_t kMaxLine = 164;
  /// A sentence still arriving is never kept longer than this between chunks.
  static constexpr std::size_t kMaxFragment = kMaxLine;

  /// Called with every complete sentence (trimmed), after it has been decoded, whether or not its
  /// content was used.
  using SentenceHandler = std::function<void(std::string_view sentence)>;

  /// What the decoder has seen. The four drop counters count lines whose content never reached
  /// a record, each line under one reason.
  struct Stats {
    std::uint64_t lines = 0;            ///< sentences framed, good or bad
    std::uint64_t checksum = 0;         ///< dropped: checksum wrong or missing (check on)
    std::uint64_t tooLong = 0;          ///< dropped: longer than kMaxLine
    std::uint64_t unknownSentence = 0;  ///< dropped: a sentence we do not read, or text that is no sentence
    std::uint64_t outOfRange = 0;       ///< a value not a number or outside its range (the value dropped)
    std::uint64_t positions = 0;        ///< records handed on
    std::uint64_t epochsWithoutFix = 0; ///< epochs that made no position (no fix, or no coordinates)

    [[nodiscard]] std::uint64_t dropped() const { return checksum + tooLong + unknownSentence + outOfRange; }
    friend bool operator==(const Stats&, const Stats&) = default;
  };

  [[nodiscard]] std::string name() const override { return "NMEA-0183"; }
  /// Forgets a partly received sentence and the open epoch; the previous position and the
  /// counters stay.
  void start(ProtocolHost& host) override;
  /// Always returns `consumed`.
  ProcessStatus processData(ProtocolHost& host, std::string_view chunk) override;
  /// Cycles in a row that must end with the same sentence before it ends epochs on its own.
  static constexpr int kEnderRuns = 2;

  /// True while an epoch is open: its position is handed on by the sentence that ends the
  /// receiver's cycle, the next fix time or `flush`.
  [[nodiscard]] bool holdsPosition() const override { return m_epoch.open; }
  /// Closes the open epoch and hands its position on, if it has one.
  void flush(ProtocolHost& host) override;

  /// When on (the default), a sentence whose checksum is wrong or missing is dropped and counted.
  [[nodiscard]] bool checkChecksum() const { return m_checkChecksum; }
  void setCheckChecksum(bool on) { m_checkChecksum = on; }

  void setSentenceHandler(SentenceHandler handler) { m_sentenceHandler = std::move(handler); }

  /// The record of the open epoch, as gathered so far.
  [[nodiscard]] const PositionInfo& current() const { return m_epoch.position; }
  /// The last record handed on.
  [[nodiscard]] const PositionInfo& previous() const { return m_previous; }
  /// The sentence still arriving.
  [[nodiscard]] std::string_view fragment() const { return m_line; }
  [[nodiscard]] const Stats& stats() const { return m_stats; }
  /// The sky: per talker the satellites of its latest GSV series, in the order they came. A
  /// series replaces its talker's satellites when its first sentence arrives; "used" is set from
  /// the GSA sentences of each epoch.
  [[nodiscard]] const std::vector<SatelliteInView>& satellites() const { return m_satellites; }
  /// "12 checksum, 1 too long, 40 unknown sentence, 0 out of range".
  [[nodiscard]] static std::string droppedText(const Stats& stats);

  /// The checksum rule for one line: the two characters after the first "*" (the line's first two
  /// without one) must equal, case included, the checksum of the text after the first "$" (or
  /// "!") up to that "*". A line without "*" therefore fails.
  [[nodiscard]] static bool checksumValid(std::string_view line);

  /// The part of a record that one epoch gathers beside the record itself.
  struct Epoch {
    PositionInfo position;
    bool open = false;
    bool late = false;                      ///< after the end of the cycle handed on: makes no record
    std::optional<std::int32_t> timeOfDay;  ///< fix time, milliseconds since midnight
    std::optional<DateTime> date;           ///< the epoch's own date (RMC)
    bool noFix = false;                     ///< a sentence with the epoch's time said "no fix"
    bool noFixUntimed = false;              ///< one without a time did
    int ggaQuality = -1;
    char mode = 0;                          ///< RMC/GLL/GNS mode indicator
    int gsaMode = 0;                        ///< 1 no fix, 2 2D, 3 3D
    bool gsaSeen = false;                   ///< a GSA came, with a fix or without
    int headingRank = 0;
    int altitudeRank = 0;
    int satellitesUsed = -1;                ///< most of GGA/GNS counts and the GSA list
    std::array<std::uint16_t, 64> usedIds{};
    std::size_t usedCount = 0;
    std::array<std::uint16_t, 8> viewTalkers{};
    std::array<std::int32_t, 8> viewCounts{};
    std::size_t viewTalkerCount = 0;
  };

 private:
  /// The comma-separated fields of a payload as views into it, split in one pass over the bytes
  /// (sentence fields are a few characters; a library search per field costs more than it saves).
  class Fields {
   public:
    static constexpr std::size_t kCapacity = NmeaFields::kCapacity;
    /// Splits up to `limit` (at most kCapacity) fields; the rest read as empty.
    void split(std::string_view payload, std::size_t limit = kCapacity);
    [[nodiscard]] std::size_t count() const { return m_count; }
    [[nodiscard]] std::string_view operator[](std::size_t index) const {
      return index < m_count ? m_fields[index] : std::string_view{};
    }
    /// True when the split stopped at `limit` with more fields after it ...
    [[nodiscard]] bool cut() const { return m_cut; }
    /// ... which are this text, unsplit.
    [[nodiscard]] std::string_view rest() const { return m_rest; }

   private:
    std::array<std::string_view, kCapacity> m_fields{};
    std::size_t m_count = 0;
    bool m_cut = false;
    std::string_view m_rest;
  };

  /// The satellites of one talker in m_satellites: their numbers, so that a satellite new to the
  /// sky (the usual case) is appended without a search, and how many, so that a new series of
  /// the only talker clears the sky without a pass over it.
  struct TalkerPrns {
    std::uint16_t talker = 0;
    std::size_t count = 0;
    std::bitset<1000> prns;
  };
  static constexpr std::size_t kTalkerSlots = 8;

  void finishSentence(std::string_view line);
  void handleSentence(std::string_view line);
  void decode(std::string_view line);
  void closeEpoch(ProtocolHost* host);
  /// Every sentence that carries a fix time starts with this; one with a time other than the open
  /// epoch's closes that epoch first.
  void beginFixTime(std::string_view timeField);
  /// The sentence just read ends the receiver's cycle: the open epoch is handed on.
  void endCycle();
  /// The sentence being decoded says its receiver has no fix.
  void noFix();

  // Decoders of the sentences we read.
  void decodeRmc(const Fields& f);
  void decodeGga(const Fields& f);
  void decodeGll(const Fields& f);
  void decodeGns(const Fields& f);
  void decodeVtg(const Fields& f);
  void decodeGsa(const Fields& f);
  void decodeGsv(const Fields& f);
  void readSatellites(const Fields& f, std::uint16_t talker);
  TalkerPrns* talkerPrns(std::uint16_t talker);
  SatelliteInView* placeFor(std::uint16_t talker, int prn, TalkerPrns* prns);
  void markUsedSatellites();
  void decodeZda(const Fields& f);
  void decodeHeading(const Fields& f, int rank);
  void decodePgrmz(const Fields& f);
  void decodePgrme(const Fields& f);

  // Value readers: each sets the member and its flag only for a value inside its range, and
  // marks the line as holding a bad value otherwise. Empty fields are simply absent.
  std::optional<double> readValue(std::string_view text, DefField field, double scale = 1.0);
  bool readPoint(std::string_view lat, std::string_view latHemi, std::string_view lon, std::string_view lonHemi);
  void setFloat(float& member, DefField field, std::optional<double> value);
  void readFixQuality(std::string_view satellites, std::string_view hdop, std::optional<double> altitude);
  void markBad() { m_lineBad = true; }

  ProtocolHost* m_host = nullptr;  // valid during processData and flush only
  Epoch m_epoch;
  PositionInfo m_previous;
  std::optional<std::int32_t> m_lastDeliveredTime;  // time of day of the last epoch handed on
  std::optional<DateTime> m_knownDate;              // last date read (RMC, ZDA) ...
  std::int32_t m_knownDateTime = 0;                 // ... and the time of day it was read with
  bool m_checkChecksum = true;

  // The end of the receiver's cycle. A sentence's key is its address ("GNGGA") in the low bytes;
  // 0 for a satellite sentence other than the last of its series, which ends no cycle.
  std::uint64_t m_sentenceKey = 0;          // of the sentence being decoded
  std::uint64_t m_lastKey = 0;              // of the last sentence read
  std::optional<std::int32_t> m_cycleTime;  // the latest fix time read
  std::uint64_t m_ender = 0;                // the sentence read last before a new fix time ...
  int m_enderRuns = 0;                      // ... so many cycles in a row (at most kEnderRuns)
  bool m_closedEarly = false;               // the epoch was handed on at that sentence; none read since

  // Framing state.
  std::string m_line;       // the sentence being received, from its "$" or "!"
  bool m_inSentence = false;
  bool m_overflow = false;  // the sentence went past kMaxLine; the rest of it is skipped
  bool m_noise = false;     // text outside any sentence since the last line end
  bool m_lineBad = false;   // the sentence being decoded had a value out of range
  bool m_lineTimed = false; // the sentence being decoded has a fix time

  Fields m_fields;
  std::vector<SatelliteInView> m_satellites;
  // Talkers whose satellite numbers are tracked (a talker left out is searched for instead).
  std::array<TalkerPrns, kTalkerSlots> m_talkerPrns{};
  std::size_t m_talkerPrnCount = 0;
  std::size_t m_talkerPrnNext = 0;  // the slot a new talker takes once all are in use
  std::bitset<7000> m_usedMask;     // the epoch's used ids while the sky is marked
  SentenceHandler m_sentenceHandler;
  Stats m_stats;
};

}  // namespace geomuxer
