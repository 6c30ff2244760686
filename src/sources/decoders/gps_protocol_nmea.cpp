#include "sources/decoders/gps_protocol_nmea.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>

#include "core/date_time.h"
#include "core/geodesy.h"
#include "core/number_text.h"
#include "core/value_checks.h"

namespace geomuxer {

namespace {

constexpr double kFeetToMetres = 0.3048;
constexpr double kKnotsToKmh = 1.852;
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::int32_t kHalfDayMs = 12 * 3600 * 1000;

// Ranks of the sentences that may fill the same member; a higher rank wins within an epoch.
constexpr int kCourseOverGround = 3;  // RMC, VTG
constexpr int kTrueHeading = 2;       // HDT
constexpr int kMagneticHeading = 1;   // HDG
constexpr int kFixAltitude = 2;       // GGA, GNS
constexpr int kOtherAltitude = 1;     // PGRMZ

// Bytes that end a run of sentence text: a new sentence starts, or the line ends.
constexpr std::array<bool, 256> kSpecial = [] {
  std::array<bool, 256> t{};
  t['$'] = t['!'] = t['\r'] = t['\n'] = true;
  return t;
}();

// The first byte in [p, end) that is "$", "!", CR or LF (or end): eight bytes at a time. All four
// are below "%", which sentence text hardly ever is, so one test passes most words. A byte's mark
// may also mark bytes after it, never one before, so the lowest mark is the byte.
const char* skipPlain(const char* p, const char* end) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  auto hasZero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  while (end - p >= 8) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, 8);
    if (((w - kOnes * '%') & ~w & kHighs) == 0) {
      p += 8;
      continue;
    }
    const std::uint64_t marks = hasZero(w ^ (kOnes * '$')) | hasZero(w ^ (kOnes * '!')) |
                                hasZero(w ^ (kOnes * '\r')) | hasZero(w ^ (kOnes * '\n'));
    if (marks != 0) {
      if constexpr (std::endian::native == std::endian::little) return p + std::countr_zero(marks) / 8;
      break;
    }
    p += 8;
  }
  while (p < end && !kSpecial[static_cast<unsigned char>(*p)]) ++p;
  return p;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }

std::string_view trimBack(std::string_view text) {
  while (!text.empty() && (isBlank(text.back()) || text.back() == '\0')) text.remove_suffix(1);
  return text;
}

int digits2(std::string_view text, std::size_t at) { return (text[at] - '0') * 10 + (text[at + 1] - '0'); }

bool allDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return isDigit(c); });
}

// Decimal numbers as receivers write them ("-12.3456"): read digit by digit into an integer and
// divided by a power of ten, which rounds exactly like a full parser since both operands are
// exact. Anything else (exponents, more than 18 digits, stray characters) goes to parseDouble.
std::optional<double> number(std::string_view text) {
  static constexpr std::array<double, 19> kPowers{1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8, 1e9,
                                                  1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18};
  std::size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++i;
  std::uint64_t mantissa = 0;
  std::size_t digits = 0;
  std::size_t decimals = 0;
  bool dot = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
      ++digits;
      if (dot) ++decimals;
    } else if (c == '.' && !dot) {
      dot = true;
    } else {
      digits = 0;  // not the simple form
      break;
    }
  }
  if (digits == 0 || digits > 18) return parseDouble(text);
  const double value = static_cast<double>(mantissa) / kPowers[decimals];
  return negative ? -value : value;
}

// Non-negative decimal integers as receivers write them; anything else goes to parseInt.
std::optional<int> integer(std::string_view text) {
  if (text.empty() || text.size() > 9) return parseInt(text);
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return parseInt(text);
    value = value * 10 + (c - '0');
  }
  return value;
}

// The fields of a GSV's satellite groups, read one after the other from the text after its
// fourth field. They are one to three digits: those are read with one test per byte and no loop,
// so that a receiver's steady pattern of field lengths is predicted and no field waits for the
// one before it to be scanned.
class GroupFields {
 public:
  static constexpr std::int64_t kEmpty = std::numeric_limits<std::int64_t>::min();
  static constexpr std::int64_t kNoNumber = kEmpty + 1;

  explicit GroupFields(std::string_view rest) : m_p(rest.data()), m_end(rest.data() + rest.size()) {}

  /// Whether another field follows the one last read (the first one is always there).
  [[nodiscard]] bool more() const { return m_more; }

  /// The next field: its value, kEmpty, or kNoNumber when `integer` reads no number in it.
  std::int64_t next() {
    const char* const p = m_p;
    if (m_end - p >= 4) {  // then a field of up to three digits ends with a comma
      const unsigned d0 = digit(p[0]);
      if (d0 < 10) {
        const unsigned d1 = digit(p[1]);
        if (d1 >= 10) {
          if (p[1] == ',') return take(2, d0);
        } else {
          const unsigned d2 = digit(p[2]);
          if (d2 >= 10) {
            if (p[2] == ',') return take(3, d0 * 10 + d1);
          } else if (p[3] == ',') {
            return take(4, d0 * 100 + d1 * 10 + d2);
          }
        }
      } else if (p[0] == ',') {
        m_p = p + 1;
        return kEmpty;
      }
    }
    return nextAnyField();
  }

 private:
  static unsigned digit(char c) { return static_cast<unsigned>(static_cast<unsigned char>(c)) - '0'; }

  std::int64_t take(std::ptrdiff_t length, unsigned value) {
    m_p += length;
    return value;
  }

  // Any field, the last one (up to the text's end) included.
  std::int64_t nextAnyField() {
    const char* const from = m_p;
    const char* p = from;
    while (p < m_end && *p != ',') ++p;
    m_more = p < m_end;
    m_p = m_more ? p + 1 : p;
    if (p == from) return kEmpty;
    const auto value = integer(std::string_view(from, static_cast<std::size_t>(p - from)));
    return value ? *value : kNoNumber;
  }

  const char* m_p;
  const char* m_end;
  bool m_more = true;
};

// "hhmmss" with an optional fraction of the second; milliseconds since midnight. Digits past the
// millisecond are cut off.
std::optional<std::int32_t> timeOfDay(std::string_view text) {
  if (text.size() < 6 || !allDigits(text.substr(0, 6))) return std::nullopt;
  const int hour = digits2(text, 0);
  const int minute = digits2(text, 2);
  const int second = digits2(text, 4);
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  int millis = 0;
  if (text.size() > 6) {
    const std::string_view fraction = text.substr(7);
    if (text[6] != '.' || !allDigits(fraction)) return std::nullopt;
    for (std::size_t i = 0; i < 3; ++i) millis = millis * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
  }
  return ((hour * 60 + minute) * 60 + second) * 1000 + millis;
}

// A two-digit year: 80..99 are 1980..1999, the rest this century.
int fullYear(int yy) { return yy >= 80 ? 1900 + yy : 2000 + yy; }

// "ddmmyy" to a day number.
std::optional<DateTime> rmcDate(std::string_view text) {
  if (text.size() != 6 || !allDigits(text)) return std::nullopt;
  return makeDate(fullYear(digits2(text, 4)), digits2(text, 2), digits2(text, 0));
}

// "ddmm.mmm" / "dddmm.mmm": everything above the hundreds is degrees, the rest minutes.
std::optional<double> degrees(std::string_view text) {
  if (text.empty() || !isDigit(text.front())) return std::nullopt;
  const auto value = number(text);
  if (!value) return std::nullopt;
  const double whole = std::floor(*value / 100.0);
  const double minutes = *value - whole * 100.0;
  if (!(minutes < 60.0)) return std::nullopt;
  return whole + minutes / 60.0;
}

// GGA quality indicator 1..8 to a fix kind (0, no fix, never gets here).
Fix qualityFix(int quality) {
  static constexpr std::array<Fix, 9> kQualities{fixInvalid, fix3D,   fix3D_diff,   fixPrec,      fixRTK,
                                                 fixFRTK,    fixEstimated, fixManual, fixSimulation};
  return quality > 0 && quality < static_cast<int>(kQualities.size()) ? kQualities[static_cast<std::size_t>(quality)]
                                                                      : fixUnknown;
}

// The mode indicator of RMC, GLL and GNS (NMEA 2.3 and later) to a fix kind.
Fix modeFix(char mode) {
  switch (mode) {
    case 'A': return fix3D;
    case 'D': return fix3D_diff;
    case 'E': return fixEstimated;
    case 'F': return fixFRTK;
    case 'M': return fixManual;
    case 'P': return fixPrec;
    case 'R': return fixRTK;
    case 'S': return fixSimulation;
    default: return fixUnknown;
  }
}

// A GSA that says 2D turns the 3D kinds into their 2D counterparts.
Fix withDimension(Fix fix, int gsaMode) {
  if (gsaMode != 2) return fix;
  if (fix == fix3D) return fix2D;
  if (fix == fix3D_diff) return fix2D_diff;
  return fix;
}

// The text between the first "$" (or "!") and the first "*".
std::string_view payloadOf(std::string_view line, std::size_t star) {
  std::size_t start = line.find('$');
  if (start == std::string_view::npos) start = line.find('!');
  start = start == std::string_view::npos ? 0 : start + 1;
  const std::size_t end = star == std::string_view::npos ? line.size() : star;
  return end > start ? line.substr(start, end - start) : std::string_view{};
}

}  // namespace

bool GpsProtocolNmea::checksumValid(std::string_view line) {
  const std::size_t star = line.find('*');
  const std::string_view given =
      star == std::string_view::npos ? line.substr(0, 2) : line.substr(star + 1, 2);
  const std::uint8_t sum = nmeaChecksumValue(payloadOf(line, star));
  return given.size() == 2 && given[0] == kHexDigits[sum >> 4] && given[1] == kHexDigits[sum & 0x0F];
}

std::string GpsProtocolNmea::droppedText(const Stats& s) {
  return std::to_string(s.checksum) + " checksum, " + std::to_string(s.tooLong) + " too long, " +
         std::to_string(s.unknownSentence) + " unknown sentence, " + std::to_string(s.outOfRange) + " out of range";
}

void GpsProtocolNmea::start(ProtocolHost& host) {
  (void)host;
  m_epoch = Epoch{};
  m_satellites.clear();
  m_talkerPrnCount = 0;
  m_talkerPrnNext = 0;
  m_line.clear();
  m_inSentence = false;
  m_overflow = false;
  m_noise = false;
  m_lastKey = 0;
  m_cycleTime.reset();
  m_ender = 0;
  m_enderRuns = 0;
  m_closedEarly = false;
}

void GpsProtocolNmea::flush(ProtocolHost& host) {
  m_host = &host;
  closeEpoch(&host);
}

// Framing works byte by byte in effect, so how the stream is cut into chunks cannot change what
// comes out: a sentence runs from "$" or "!" to the line end or to the next "$" or "!" (a sentence
// cut short by another one written into it), and text outside sentences is noise.
ProcessStatus GpsProtocolNmea::processData(ProtocolHost& host, std::string_view chunk) {
  m_host = &host;
  const char* p = chunk.data();
  const char* const end = p + chunk.size();
  const char* start = nullptr;  // the current sentence's "$" when it began in this chunk
  auto keep = [this](const char* from, const char* to) {
    if (m_overflow) return;
    const auto n = static_cast<std::size_t>(to - from);
    if (m_line.size() + n > kMaxLine) {
      m_overflow = true;
      m_line.clear();
      return;
    }
    m_line.append(from, n);
  };

  while (p < end) {
    const char* q = skipPlain(p, end);
    if (m_inSentence) {
      if (q == end) break;
      if (start != nullptr) {
        const std::string_view line(start, static_cast<std::size_t>(q - start));
        if (line.size() > kMaxLine) m_overflow = true;
        finishSentence(line);
      } else {
        keep(p, q);
        finishSentence(m_line);
      }
    } else {
      if (std::any_of(p, q, [](char c) { return !isBlank(c) && c != '\0'; })) m_noise = true;
      if (q == end) {
        p = end;
        break;
      }
    }
    if (*q == '$' || *q == '!') {
      m_inSentence = true;
      m_noise = false;
      start = q;
    } else {
      m_inSentence = false;
      start = nullptr;
      if (m_noise) ++m_stats.unknownSentence;
      m_noise = false;
    }
    p = q + 1;
  }
  // A sentence still arriving is kept for the next chunk.
  if (m_inSentence) {
    if (start != nullptr)
      keep(start, end);
    else
      keep(p, end);
  }
  return ProcessStatus::consumed;
}

void GpsProtocolNmea::finishSentence(std::string_view line) {
  if (m_overflow) {
    ++m_stats.lines;
    ++m_stats.tooLong;
  } else {
    handleSentence(trimBack(line));
  }
  m_line.clear();
  m_overflow = false;
}

void GpsProtocolNmea::handleSentence(std::string_view line) {
  ++m_stats.lines;
  if (m_checkChecksum && !checksumValid(line)) {
    ++m_stats.checksum;
  } else {
    m_lineBad = false;
    decode(line);
    if (m_lineBad) ++m_stats.outOfRange;
  }
  if (m_sentenceHandler) m_sentenceHandler(line);
}

void GpsProtocolNmea::decode(std::string_view line) {
  const std::size_t star = line.find('*');
  const std::string_view payload = line.substr(1, star == std::string_view::npos ? std::string_view::npos : star - 1);
  // Of a GSV the first four fields are split; its satellites are read from the rest directly.
  const bool gsv = payload.size() >= 6 && payload.substr(2, 4) == "GSV,";
  m_fields.split(payload, gsv ? 4 : Fields::kCapacity);
  const std::string_view address = m_fields[0];
  if (address.size() != 5) {
    ++m_stats.unknownSentence;
    return;
  }
  std::uint64_t key = 0;
  std::memcpy(&key, address.data(), 5);
  m_sentenceKey = key;
  if (address == "PGRMZ") {
    decodePgrmz(m_fields);
  } else if (address == "PGRME") {
    decodePgrme(m_fields);
  } else if (line.front() == '$' && isUpper(address[0]) && isUpper(address[1]) && address[0] != 'P') {
    const std::string_view type = address.substr(2);
    if (type == "RMC") decodeRmc(m_fields);
    else if (type == "GGA") decodeGga(m_fields);
    else if (type == "GSA") decodeGsa(m_fields);
    else if (type == "GSV") decodeGsv(m_fields);
    else if (type == "GLL") decodeGll(m_fields);
    else if (type == "VTG") decodeVtg(m_fields);
    else if (type == "GNS") decodeGns(m_fields);
    else if (type == "ZDA") decodeZda(m_fields);
    else if (type == "HDT") decodeHeading(m_fields, kTrueHeading);
    else if (type == "HDG") decodeHeading(m_fields, kMagneticHeading);
    else {
      ++m_stats.unknownSentence;
      return;
    }
  } else {
    ++m_stats.unknownSentence;
    return;
  }
  if (m_closedEarly) [[unlikely]] {
    // The receiver's epoch went on past the sentence that used to end it. What comes until the
    // next fix time belongs to the epoch handed on and makes no position; the cycle's end is
    // learnt anew.
    m_closedEarly = false;
    m_enderRuns = 0;
  }
  m_lastKey = m_sentenceKey;
  if (m_sentenceKey == m_ender && m_enderRuns >= kEnderRuns) endCycle();
}

// The commas are found eight bytes at a time (on little-endian machines, where the lowest mark is
// the first byte); the rest of the payload, and all of it elsewhere, a byte at a time.
void GpsProtocolNmea::Fields::split(std::string_view payload, std::size_t limit) {
  m_count = 0;
  m_cut = false;
  std::size_t from = 0;
  // One field ends at the comma at `i`; false once the fields past the limit are left unsplit.
  auto field = [&](std::size_t i) {
    m_fields[m_count++] = payload.substr(from, i - from);
    from = i + 1;
    if (m_count < limit) return true;
    m_cut = true;
    m_rest = payload.substr(from);
    return false;
  };
  std::size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 8 <= payload.size(); i += 8) {
      std::uint64_t w = 0;
      std::memcpy(&w, payload.data() + i, 8);
      w ^= 0x2C2C2C2C2C2C2C2CULL;  // commas to zero bytes, marked exactly (no borrow between bytes)
      std::uint64_t commas = ~(((w & 0x7F7F7F7F7F7F7F7FULL) + 0x7F7F7F7F7F7F7F7FULL) | w) & 0x8080808080808080ULL;
      for (; commas != 0; commas &= commas - 1)
        if (!field(i + static_cast<std::size_t>(std::countr_zero(commas)) / 8)) return;
    }
  }
  for (; i < payload.size(); ++i)
    if (payload[i] == ',' && !field(i)) return;
  m_fields[m_count++] = payload.substr(from);
}

// --- values ---------------------------------------------------------------------------------

std::optional<double> GpsProtocolNmea::readValue(std::string_view text, DefField field, double scale) {
  if (text.empty()) return std::nullopt;
  const auto value = number(text);
  if (!value || !validValue(field, *value * scale)) {
    markBad();
    return std::nullopt;
  }
  return *value * scale;
}

void GpsProtocolNmea::setFloat(float& member, DefField field, std::optional<double> value) {
  if (!value) return;
  member = static_cast<float>(*value);
  m_epoch.position.fields.include(field);
}

bool GpsProtocolNmea::readPoint(std::string_view lat, std::string_view latHemi, std::string_view lon,
                                std::string_view lonHemi) {
  if (lat.empty() && lon.empty()) return false;
  auto y = degrees(lat);
  auto x = degrees(lon);
  const bool hemispheres = (latHemi == "N" || latHemi == "S") && (lonHemi == "E" || lonHemi == "W");
  if (!x || !y || !hemispheres) {
    markBad();
    return false;
  }
  if (latHemi == "S") *y = -*y;
  if (lonHemi == "W") *x = -*x;
  if (!validPoint(*x, *y)) {
    markBad();
    return false;
  }
  m_epoch.position.x = *x;
  m_epoch.position.y = *y;
  m_epoch.position.fields.include(defXY);
  return true;
}

// --- epochs ---------------------------------------------------------------------------------

void GpsProtocolNmea::beginFixTime(std::string_view timeField) {
  m_lineTimed = false;
  if (timeField.empty()) {
    m_epoch.open = true;
    return;
  }
  const auto time = timeOfDay(timeField);
  if (!time) {
    // A fix time that names no moment: the sentence's values join the open epoch.
    markBad();
    m_epoch.open = true;
    return;
  }
  if (m_cycleTime != time) {
    // The sentence read before this one ended the receiver's last cycle.
    if (m_lastKey != 0 && m_lastKey == m_ender) {
      if (m_enderRuns < kEnderRuns) ++m_enderRuns;
    } else {
      m_ender = m_lastKey;
      m_enderRuns = m_lastKey != 0 ? 1 : 0;
    }
    m_cycleTime = time;
    m_closedEarly = false;
    if (m_epoch.late) {
      if (m_epoch.open)
        m_epoch = Epoch{};  // sentences after the end of the last cycle
      else
        m_epoch.late = false;
    }
  }
  if (m_epoch.open && m_epoch.timeOfDay && *m_epoch.timeOfDay != *time) closeEpoch(m_host);
  m_epoch.open = true;
  m_epoch.timeOfDay = time;
  m_lineTimed = true;
}

void GpsProtocolNmea::endCycle() {
  if (!m_epoch.open || !m_epoch.timeOfDay) return;
  closeEpoch(m_host);
  m_epoch.late = true;
  m_closedEarly = true;
}

void GpsProtocolNmea::noFix() {
  // A warning without a time (an empty time field, as receivers write before their first fix)
  // cannot say which epoch it belongs to; it only counts for an epoch that never gets a time.
  if (m_lineTimed)
    m_epoch.noFix = true;
  else
    m_epoch.noFixUntimed = true;
}

void GpsProtocolNmea::closeEpoch(ProtocolHost* host) {
  if (!m_epoch.open) return;
  Epoch& e = m_epoch;
  PositionInfo& p = e.position;

  if (e.timeOfDay) {
    std::optional<DateTime> date = e.date;
    if (!date && m_knownDate) {
      // A date read earlier, moved across midnight when the time of day has wrapped since.
      date = *m_knownDate;
      if (*e.timeOfDay < m_knownDateTime - kHalfDayMs) *date += 1;
      if (*e.timeOfDay > m_knownDateTime + kHalfDayMs) *date -= 1;
    }
    if (date) {
      p.time = *date + static_cast<DateTime>(*e.timeOfDay) / static_cast<DateTime>(kMsPerDay);
      p.fields.include(defTime);
    }
  }

  bool haveFix = true;
  Fix fix = fixUnknown;
  if (e.ggaQuality > 0)
    fix = qualityFix(e.ggaQuality);
  else if (e.mode != 0)
    fix = modeFix(e.mode);
  else if (e.gsaMode >= 2)
    fix = e.gsaMode == 2 ? fix2D : fix3D;
  else
    haveFix = false;
  if (haveFix) {
    p.fix = withDimension(fix, e.gsaMode);
    p.fields.include(defFix);
  }

  if (e.gsaSeen) markUsedSatellites();
  const int used = std::max(e.satellitesUsed, e.usedCount > 0 ? static_cast<int>(e.usedCount) : -1);
  if (used >= 0) {
    p.satellites = used;
    p.fields.include(defSatellites);
  }
  if (e.viewTalkerCount > 0) {
    p.satellitesInView = 0;
    for (std::size_t i = 0; i < e.viewTalkerCount; ++i) p.satellitesInView += e.viewCounts[i];
    p.fields.include(defSatellitesInView);
  }

  if (p.has(defTime) && p.has(defAltitude) && m_previous.has(defTime) && m_previous.has(defAltitude) &&
      p.time > m_previous.time) {
    p.vertSpeed = static_cast<float>(ratePerSecond(p.time, m_previous.time, p.altitude, m_previous.altitude));
    p.fields.include(defVertSpeed);
  }
  if (!clearInvalidValues(p).empty()) ++m_stats.outOfRange;

  // Sentences of an epoch that was already handed on (late ones after a quiet line or after the
  // end of the receiver's cycle) make no second position.
  const bool repeat = e.late || (e.timeOfDay && m_lastDeliveredTime == e.timeOfDay);
  const bool fixValid = e.timeOfDay ? !e.noFix : !e.noFix && !e.noFixUntimed;
  const bool deliver = fixValid && p.has(defXY) && !repeat;
  if (!deliver) {
    if (e.timeOfDay && !repeat) ++m_stats.epochsWithoutFix;
    m_epoch = Epoch{};
    return;
  }
  m_previous = p;
  m_lastDeliveredTime = e.timeOfDay;
  // Reset before handing on, so that a host that throws leaves the decoder in a clean state.
  m_epoch = Epoch{};
  ++m_stats.positions;
  if (host != nullptr) host->deliverPosition(m_previous);
}

// --- sentences ------------------------------------------------------------------------------

// RMC  1 time, 2 status, 3-4 latitude, 5-6 longitude, 7 speed (knots), 8 course, 9 date,
//      10-11 magnetic variation, 12 mode (NMEA 2.3).
void GpsProtocolNmea::decodeRmc(const Fields& f) {
  beginFixTime(f[1]);
  if (f[2] != "A" || f[12] == "N") {
    noFix();
    return;
  }
  if (f[12].size() == 1) m_epoch.mode = f[12][0];
  readPoint(f[3], f[4], f[5], f[6]);
  setFloat(m_epoch.position.speed, defSpeed, readValue(f[7], defSpeed, kKnotsToKmh));
  if (const auto course = readValue(f[8], defHeading); course && m_epoch.headingRank <= kCourseOverGround) {
    setFloat(m_epoch.position.heading, defHeading, course);
    m_epoch.headingRank = kCourseOverGround;
  }
  if (!f[9].empty()) {
    const auto date = rmcDate(f[9]);
    if (date && m_epoch.timeOfDay) {
      m_epoch.date = date;
      m_knownDate = date;
      m_knownDateTime = *m_epoch.timeOfDay;
    } else if (!date) {
      markBad();
    }
  }
  if (!f[10].empty()) {
    const auto variation = readValue(f[10], defMagVar);
    if (variation && (f[11] == "E" || f[11] == "W"))
      setFloat(m_epoch.position.magVar, defMagVar, f[11] == "E" ? *variation : -*variation);
    else if (variation)
      markBad();
  }
}

// The members GGA and GNS share: satellites used, HDOP and the altitude of the fix, which wins
// over an altitude from a proprietary sentence.
void GpsProtocolNmea::readFixQuality(std::string_view satellites, std::string_view hdop,
                                     std::optional<double> altitude) {
  if (!satellites.empty()) {
    const auto count = integer(satellites);
    if (count && validValue(defSatellites, *count))
      m_epoch.satellitesUsed = std::max(m_epoch.satellitesUsed, *count);
    else
      markBad();
  }
  setFloat(m_epoch.position.hdop, defHDOP, readValue(hdop, defHDOP));
  if (altitude && m_epoch.altitudeRank <= kFixAltitude) {
    setFloat(m_epoch.position.altitude, defAltitude, altitude);
    m_epoch.altitudeRank = kFixAltitude;
  }
}

// GGA  1 time, 2-3 latitude, 4-5 longitude, 6 quality, 7 satellites, 8 HDOP, 9-10 altitude and
//      unit, 11-12 geoid height and unit.
void GpsProtocolNmea::decodeGga(const Fields& f) {
  beginFixTime(f[1]);
  if (!f[6].empty()) {
    const auto quality = integer(f[6]);
    if (!quality || *quality < 0) markBad();
    if (!quality || *quality <= 0) {
      noFix();
      return;
    }
    m_epoch.ggaQuality = *quality;
  }
  readPoint(f[2], f[3], f[4], f[5]);
  readFixQuality(f[7], f[8], readValue(f[9], defAltitude, f[10] == "f" ? kFeetToMetres : 1.0));
  setFloat(m_epoch.position.geoidHeight, defGeoidHeight,
           readValue(f[11], defGeoidHeight, f[12] == "f" ? kFeetToMetres : 1.0));
}

// GLL  1-2 latitude, 3-4 longitude, 5 time, 6 status, 7 mode (NMEA 2.3). Old receivers end the
// sentence after the longitude; their GLL has no status to check.
void GpsProtocolNmea::decodeGll(const Fields& f) {
  beginFixTime(f[5]);
  if ((!f[6].empty() && f[6] != "A") || f[7] == "N") {
    noFix();
    return;
  }
  if (f[7].size() == 1 && m_epoch.mode == 0) m_epoch.mode = f[7][0];
  readPoint(f[1], f[2], f[3], f[4]);
}

// GNS  1 time, 2-3 latitude, 4-5 longitude, 6 mode (one letter per system), 7 satellites, 8 HDOP,
//      9 altitude, 10 geoid height.
void GpsProtocolNmea::decodeGns(const Fields& f) {
  beginFixTime(f[1]);
  const std::string_view mode = f[6];
  const auto used = std::find_if(mode.begin(), mode.end(), [](char c) { return c != 'N'; });
  if (mode.empty() || used == mode.end()) {
    noFix();
    return;
  }
  m_epoch.mode = *used;
  readPoint(f[2], f[3], f[4], f[5]);
  readFixQuality(f[7], f[8], readValue(f[9], defAltitude));
  setFloat(m_epoch.position.geoidHeight, defGeoidHeight, readValue(f[10], defGeoidHeight));
}

// VTG  1 course (true), 3 course (magnetic), 5 speed (knots), 7 speed (km/h).
void GpsProtocolNmea::decodeVtg(const Fields& f) {
  m_epoch.open = true;
  if (const auto course = readValue(f[1], defHeading); course && m_epoch.headingRank <= kCourseOverGround) {
    setFloat(m_epoch.position.heading, defHeading, course);
    m_epoch.headingRank = kCourseOverGround;
  }
  if (!f[7].empty())
    setFloat(m_epoch.position.speed, defSpeed, readValue(f[7], defSpeed));
  else
    setFloat(m_epoch.position.speed, defSpeed, readValue(f[5], defSpeed, kKnotsToKmh));
}

// GSA  1 selection, 2 mode (1 none, 2 2D, 3 3D), 3-14 satellites used, 15 PDOP, 16 HDOP, 17 VDOP,
//      18 system (NMEA 4.1). Receivers of several systems send one GSA per system.
void GpsProtocolNmea::decodeGsa(const Fields& f) {
  m_epoch.open = true;
  m_epoch.gsaSeen = true;
  const auto mode = integer(f[2]);
  if (!f[2].empty() && (!mode || *mode < 1 || *mode > 3)) markBad();
  if (!mode || *mode < 2) return;  // no fix: the dilutions mean nothing
  m_epoch.gsaMode = std::max(m_epoch.gsaMode, *mode);
  const int system = integer(f[18]).value_or(0);
  for (std::size_t i = 3; i <= 14; ++i) {
    if (f[i].empty()) continue;
    const auto prn = integer(f[i]);
    if (!prn || *prn < 1 || *prn > 999 || system < 0 || system > 63) {
      markBad();
      continue;
    }
    const auto id = static_cast<std::uint16_t>(system * 1000 + *prn);
    const auto ids = std::span(m_epoch.usedIds).first(m_epoch.usedCount);
    if (std::find(ids.begin(), ids.end(), id) == ids.end() && m_epoch.usedCount < m_epoch.usedIds.size())
      m_epoch.usedIds[m_epoch.usedCount++] = id;
  }
  setFloat(m_epoch.position.pdop, defPDOP, readValue(f[15], defPDOP));
  setFloat(m_epoch.position.hdop, defHDOP, readValue(f[16], defHDOP));
  setFloat(m_epoch.position.vdop, defVDOP, readValue(f[17], defVDOP));
}

// GSV  1 sentences, 2 number, 3 satellites in view, then four per sentence. One series per
// system talker (GP, GL, GA, ...); the counts add up.
void GpsProtocolNmea::decodeGsv(const Fields& f) {
  m_epoch.open = true;
  // Only the last sentence of a series can end a cycle.
  const bool last = f[1].size() == 1 && f[2].size() == 1 ? f[1][0] == f[2][0] : f[1] == f[2];
  if (!last) m_sentenceKey = 0;
  if (f[3].empty()) return;
  const auto count = integer(f[3]);
  if (!count || !validValue(defSatellitesInView, *count)) {
    markBad();
    return;
  }
  const std::string_view address = f[0];
  const auto talker = static_cast<std::uint16_t>((address[0] << 8) | address[1]);
  std::size_t i = 0;
  while (i < m_epoch.viewTalkerCount && m_epoch.viewTalkers[i] != talker) ++i;
  if (i == m_epoch.viewTalkerCount) {
    if (i == m_epoch.viewTalkers.size()) return;
    m_epoch.viewTalkers[i] = talker;
    m_epoch.viewCounts[i] = 0;
    ++m_epoch.viewTalkerCount;
  }
  m_epoch.viewCounts[i] = std::max(m_epoch.viewCounts[i], *count);
  readSatellites(f, talker);
}

// The satellites of one GSV: from field 4, four fields each (number, elevation, azimuth, SNR); a
// receiver of NMEA 4.1 adds a signal id as the last field, which the grouping leaves out. The
// groups are read straight from the text after field 3, as far as a full split would reach.
void GpsProtocolNmea::readSatellites(const Fields& f, std::uint16_t talker) {
  TalkerPrns* prns = talkerPrns(talker);
  if (integer(f[2]).value_or(0) == 1) {
    if (prns != nullptr && prns->count == m_satellites.size())
      m_satellites.clear();
    else if (prns == nullptr || prns->count > 0)
      std::erase_if(m_satellites, [talker](const SatelliteInView& s) { return s.talker == talker; });
    if (prns == nullptr) {
      if (m_talkerPrnCount < m_talkerPrns.size()) {
        prns = &m_talkerPrns[m_talkerPrnCount++];
      } else {
        prns = &m_talkerPrns[m_talkerPrnNext];  // that talker's satellites are searched for from now on
        m_talkerPrnNext = (m_talkerPrnNext + 1) % m_talkerPrns.size();
      }
      prns->talker = talker;
    }
    prns->prns.reset();
    prns->count = 0;
  }
  if (!f.cut()) return;
  auto bounded = [this](std::int64_t value, int low, int high) {
    if (value == GroupFields::kEmpty) return -1;
    if (value < low || value > high) {
      markBad();
      return -1;
    }
    return static_cast<int>(value);
  };
  GroupFields fields(f.rest());
  // One field of a group, false when the group is incomplete.
  auto read = [&fields](std::int64_t& value) {
    if (!fields.more()) return false;
    value = fields.next();
    return true;
  };
  for (std::size_t field = 4; field + 4 <= Fields::kCapacity; field += 4) {
    std::int64_t number = 0, elevationValue = 0, azimuthValue = 0, snrValue = 0;
    if (!read(number) || !read(elevationValue) || !read(azimuthValue) || !read(snrValue)) return;
    if (number < 1 || number > 999) {  // also when empty or no number
      markBad();
      continue;
    }
    const int prn = static_cast<int>(number);
    const int elevation = std::max(bounded(elevationValue, -90, 90), -1);  // below the horizon: not drawn
    const int azimuth = bounded(azimuthValue, 0, 360);
    const int snr = bounded(snrValue, 0, 99);
    SatelliteInView* s = nullptr;
    if (prns != nullptr && !prns->prns[static_cast<std::size_t>(prn)] && m_satellites.size() < kMaxSatellites) {
      prns->prns.set(static_cast<std::size_t>(prn));  // new to the sky, the usual case
      ++prns->count;
      s = &m_satellites.emplace_back();
    } else {
      s = placeFor(talker, prn, prns);
    }
    if (s != nullptr) {
      // Written member by member: a whole record built aside and copied in stalls on its load.
      s->talker = talker;
      s->prn = prn;
      s->elevation = elevation;
      s->azimuth = azimuth == 360 ? 0 : azimuth;
      s->snr = snr;
      s->used = false;
    }
  }
}

GpsProtocolNmea::TalkerPrns* GpsProtocolNmea::talkerPrns(std::uint16_t talker) {
  for (std::size_t i = 0; i < m_talkerPrnCount; ++i)
    if (m_talkerPrns[i].talker == talker) return &m_talkerPrns[i];
  return nullptr;
}

// A satellite replaces its own earlier entry, or joins the sky while there is room (null when
// there is none).
SatelliteInView* GpsProtocolNmea::placeFor(std::uint16_t talker, int prn, TalkerPrns* prns) {
  const auto bit = static_cast<std::size_t>(prn);
  if (prns == nullptr || prns->prns[bit]) {
    const auto same = std::find_if(m_satellites.begin(), m_satellites.end(), [&](const SatelliteInView& old) {
      return old.talker == talker && old.prn == prn;
    });
    if (same != m_satellites.end()) return &*same;
  }
  if (m_satellites.size() >= kMaxSatellites) return nullptr;
  if (prns != nullptr) {
    prns->prns.set(bit);
    ++prns->count;
  }
  return &m_satellites.emplace_back();
}

// Talkers of the satellite systems as GSA numbers them (0: GSA gave no system).
static int talkerSystem(std::uint16_t talker) {
  switch (talker) {
    case ('G' << 8) | 'P': return 1;
    case ('G' << 8) | 'L': return 2;
    case ('G' << 8) | 'A': return 3;
    case ('G' << 8) | 'B':
    case ('B' << 8) | 'D': return 4;
    case ('G' << 8) | 'Q': return 5;
    case ('G' << 8) | 'I': return 6;
    default: return 0;
  }
}

void GpsProtocolNmea::markUsedSatellites() {
  // A satellite's ids (system * 1000 + number, and the number alone) stay below the mask's size;
  // a used id past it can match none.
  const auto ids = std::span(m_epoch.usedIds).first(m_epoch.usedCount);
  for (const std::uint16_t id : ids)
    if (id < m_usedMask.size()) m_usedMask.set(id);
  std::uint16_t talker = 0;
  std::size_t systemIds = 0;  // the talker's system * 1000; a talker's satellites mostly come together
  for (SatelliteInView& s : m_satellites) {
    if (s.talker != talker) {
      talker = s.talker;
      systemIds = static_cast<std::size_t>(talkerSystem(talker)) * 1000;
    }
    const auto plain = static_cast<std::size_t>(s.prn);
    s.used = m_usedMask[systemIds + plain] || m_usedMask[plain];
  }
  for (const std::uint16_t id : ids)
    if (id < m_usedMask.size()) m_usedMask.reset(id);
}

// ZDA  1 time, 2 day, 3 month, 4 year: the date for the sentences that carry only a time.
void GpsProtocolNmea::decodeZda(const Fields& f) {
  if (f[1].empty() && f[2].empty()) return;
  const auto time = timeOfDay(f[1]);
  const auto day = integer(f[2]);
  const auto month = integer(f[3]);
  const auto year = f[4].size() == 4 ? integer(f[4]) : std::nullopt;
  const auto date = day && month && year ? makeDate(*year, *month, *day) : std::nullopt;
  if (!time || !date) {
    markBad();
    return;
  }
  m_knownDate = date;
  m_knownDateTime = *time;
}

// HDT  1 heading (true).  HDG  1 heading (magnetic sensor).
void GpsProtocolNmea::decodeHeading(const Fields& f, int rank) {
  m_epoch.open = true;
  const auto heading = readValue(f[1], defHeading);
  if (heading && m_epoch.headingRank <= rank) {
    setFloat(m_epoch.position.heading, defHeading, heading);
    m_epoch.headingRank = rank;
  }
}

// PGRMZ  1-2 altitude and unit ("f" for feet).
void GpsProtocolNmea::decodePgrmz(const Fields& f) {
  m_epoch.open = true;
  const auto altitude = readValue(f[1], defAltitude, f[2] == "f" ? kFeetToMetres : 1.0);
  if (altitude && m_epoch.altitudeRank <= kOtherAltitude) {
    setFloat(m_epoch.position.altitude, defAltitude, altitude);
    m_epoch.altitudeRank = kOtherAltitude;
  }
}

// PGRME  1-2 horizontal error and unit, 3-4 vertical error and unit; any unit but "M" is feet.
void GpsProtocolNmea::decodePgrme(const Fields& f) {
  m_epoch.open = true;
  setFloat(m_epoch.position.xyPrec, defXYPrec,
           readValue(f[1], defXYPrec, !f[2].empty() && f[2] != "M" ? kFeetToMetres : 1.0));
  setFloat(m_epoch.position.altitudePrec, defAltitudePrec,
           readValue(f[3], defAltitudePrec, !f[4].empty() && f[4] != "M" ? kFeetToMetres : 1.0));
}

}  // namespace geomuxer
