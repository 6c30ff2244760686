#include "sources/decoders/gps_protocol_nmea.h"

#include <array>
#include <cstring>
#include <optional>

#include "core/date_time.h"
#include "core/geodesy.h"
#include "core/number_text.h"

namespace geomuxer {

namespace {

constexpr float kFeetToMetres = 0.3048f;
constexpr double kKnotsToKmh = 1.852;
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trimFront(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  return text;
}

std::string_view trimBack(std::string_view text) {
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view trim(std::string_view text) { return trimBack(trimFront(text)); }

std::size_t findByte(std::string_view text, std::size_t from, char byte) {
  if (from >= text.size()) return std::string_view::npos;
  const void* hit = std::memchr(text.data() + from, byte, text.size() - from);
  return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - text.data()) : std::string_view::npos;
}

// Text that is not a number reads as 0; the caller still sets the member and its flag.
double number(std::string_view text) { return parseDouble(text).value_or(0.0); }

// "ddmm.mmm" / "dddmm.mmm": the two digits before the "." start the minutes, everything before
// them is degrees.
float coordinate(std::string_view text, std::string_view hemisphere) {
  std::string_view degrees;
  std::string_view minutes;
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos) {
    minutes = text.substr(0, 10);
  } else {
    const std::size_t minutesStart = dot >= 2 ? dot - 2 : 0;
    degrees = text.substr(0, minutesStart);
    minutes = text.substr(minutesStart, 10);
  }
  float value = static_cast<float>(number(degrees)) + static_cast<float>(number(minutes)) / 60.0f;
  if (hemisphere == "S" || hemisphere == "W") value = -value;
  return value;
}

std::optional<int> twoDigits(std::string_view text, std::size_t at) {
  if (at >= text.size()) return std::nullopt;
  return parseInt(text.substr(at, 2));
}

// ddmmyy and hhmmss[.sss]; the fraction of the second is dropped. -1 for anything that does not
// name a moment.
DateTime dateTime(std::string_view date, std::string_view time) {
  const auto day = twoDigits(date, 0);
  const auto month = twoDigits(date, 2);
  const auto year = twoDigits(date, 4);
  const auto hour = twoDigits(time, 0);
  const auto minute = twoDigits(time, 2);
  const auto second = twoDigits(time, 4);
  if (!day || !month || !year || !hour || !minute || !second) return -1.0;
  const auto value = makeDateTime({.year = 2000 + *year, .month = *month, .day = *day,
                                   .hour = *hour, .minute = *minute, .second = *second});
  return value.value_or(-1.0);
}

float metres(std::string_view value, bool feet) {
  const auto v = static_cast<float>(number(value));
  return feet ? v * kFeetToMetres : v;
}

// GGA quality indicator to fix kind.
Fix ggaFix(std::string_view text) {
  static constexpr std::array<Fix, 9> kQualities{fixInvalid, fix3D,   fix3D_diff,   fixPrec,      fixRTK,
                                                 fixFRTK,    fixEstimated, fixManual, fixSimulation};
  const int quality = parseInt(text).value_or(-1);
  if (quality < 0 || quality >= static_cast<int>(kQualities.size())) return fixUnknown;
  return kQualities[static_cast<std::size_t>(quality)];
}

void setXY(PositionInfo& p, std::string_view lat, std::string_view latHemi, std::string_view lon,
           std::string_view lonHemi) {
  if (lat.empty() || lon.empty()) return;
  p.y = coordinate(lat, latHemi);
  p.x = coordinate(lon, lonHemi);
  p.fields.include(defXY);
}

// RMC  1 time, 2 status, 3-4 latitude, 5-6 longitude, 7 speed (knots), 8 course, 9 date,
//      10-11 magnetic variation. Only status "A" (valid) is read.
void decodeRmc(PositionInfo& p, const NmeaFields& f) {
  if (f[2] != "A") return;
  setXY(p, f[3], f[4], f[5], f[6]);
  if (!f[7].empty()) {
    p.speed = static_cast<float>(number(f[7]) * kKnotsToKmh);
    p.fields.include(defSpeed);
  }
  if (!f[8].empty()) {
    p.heading = static_cast<float>(number(f[8]));
    p.fields.include(defHeading);
  }
  if (!f[1].empty() && !f[9].empty()) {
    p.time = dateTime(f[9], f[1]);
    p.fields.include(defTime);
  }
  if (!f[10].empty() && !f[11].empty()) {
    p.magVar = static_cast<float>(number(f[10]) * (f[11] == "E" ? 1.0 : -1.0));
    p.fields.include(defMagVar);
  }
}

// GGA  1 time (not used), 2-3 latitude, 4-5 longitude, 6 quality, 7 satellites, 8 HDOP,
//      9-10 altitude and unit, 11-12 geoid height and unit.
void decodeGga(PositionInfo& p, const NmeaFields& f) {
  setXY(p, f[2], f[3], f[4], f[5]);
  if (!f[6].empty()) {
    p.fix = ggaFix(f[6]);
    p.fields.include(defFix);
  }
  if (!f[7].empty()) {
    p.satellites = parseInt(f[7]).value_or(0);
    p.fields.include(defSatellites);
  }
  if (!f[8].empty()) {
    p.hdop = static_cast<float>(number(f[8]));
    p.fields.include(defHDOP);
  }
  if (!f[9].empty()) {
    p.altitude = metres(f[9], f[10] == "f");
    p.fields.include(defAltitude);
  }
  if (!f[11].empty()) {
    p.geoidHeight = metres(f[11], f[12] == "f");
    p.fields.include(defGeoidHeight);
  }
}

// GLL  1-2 latitude, 3-4 longitude.
void decodeGll(PositionInfo& p, const NmeaFields& f) { setXY(p, f[1], f[2], f[3], f[4]); }

// VTG is known but carries nothing the RMC does not.
void decodeVtg(PositionInfo&, const NmeaFields&) {}

// HDG  1 heading.
void decodeHdg(PositionInfo& p, const NmeaFields& f) {
  if (f[1].empty()) return;
  p.heading = static_cast<float>(number(f[1]));
  p.fields.include(defHeading);
}

// PGRMZ  1-2 altitude and unit ("f" for feet).
void decodePgrmz(PositionInfo& p, const NmeaFields& f) {
  if (f[1].empty()) return;
  p.altitude = metres(f[1], f[2] == "f");
  p.fields.include(defAltitude);
}

// PGRME  1-2 horizontal error and unit, 3-4 vertical error and unit; any unit but "M" is feet.
void decodePgrme(PositionInfo& p, const NmeaFields& f) {
  if (!f[1].empty()) {
    p.xyPrec = metres(f[1], !f[2].empty() && f[2] != "M");
    p.fields.include(defXYPrec);
  }
  if (!f[3].empty()) {
    p.altitudePrec = metres(f[3], !f[4].empty() && f[4] != "M");
    p.fields.include(defAltitudePrec);
  }
}

using SentenceDecoder = void (*)(PositionInfo&, const NmeaFields&);
struct SentenceKind {
  std::string_view name;
  SentenceDecoder decode;
};

// Sentence types read from any talker (GP, GN, GL, HC, ...).
constexpr std::array<SentenceKind, 5> kTalkerSentences{{
    {"RMC", decodeRmc},
    {"GGA", decodeGga},
    {"GLL", decodeGll},
    {"VTG", decodeVtg},
    {"HDG", decodeHdg},
}};

// Proprietary sentences, matched by their whole address.
constexpr std::array<SentenceKind, 2> kProprietarySentences{{
    {"PGRMZ", decodePgrmz},
    {"PGRME", decodePgrme},
}};

bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }

SentenceDecoder findDecoder(std::string_view address) {
  if (address.size() != 5) return nullptr;
  if (address.front() == 'P') {
    for (const auto& kind : kProprietarySentences)
      if (kind.name == address) return kind.decode;
    return nullptr;
  }
  if (!isUpper(address[0]) || !isUpper(address[1])) return nullptr;
  const std::string_view type = address.substr(2);
  for (const auto& kind : kTalkerSentences)
    if (kind.name == type) return kind.decode;
  return nullptr;
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

void GpsProtocolNmea::start(ProtocolHost& host) {
  (void)host;
  m_pending = false;
  m_current.fields.clear();
}

ProcessStatus GpsProtocolNmea::processData(ProtocolHost& host, std::string_view chunk) {
  const std::size_t n = chunk.size();
  // A line end at the very start of a chunk finishes the line kept from the previous one: reads
  // that happen to split a sentence right before its CR LF must not lose it.
  if (n > 0 && !m_fragment.empty() && (chunk.front() == '\r' || chunk.front() == '\n')) {
    m_joined.swap(m_fragment);
    m_fragment.clear();
    handleLine(trim(m_joined));
  }

  std::size_t from = 0;
  bool crLeft = true;  // once no CR is left in the chunk, stop looking for one
  while (n > 0) {
    // Lines end at a CR, or at an LF when the rest of the chunk holds no CR at all.
    std::size_t end = std::string_view::npos;
    if (crLeft) {
      end = findByte(chunk, from + 1, '\r');
      crLeft = end != std::string_view::npos;
    }
    if (!crLeft) end = findByte(chunk, from + 1, '\n');
    const bool terminated = end != std::string_view::npos;

    const std::string_view piece = terminated ? chunk.substr(from, end - from + 1) : chunk.substr(from);
    std::string_view line = trim(piece);
    if (line.empty()) {
      if (!terminated) {
        if (from == 0 && !m_fragment.empty() && m_fragment.size() + piece.size() <= kMaxFragment)
          m_fragment.append(piece);  // blanks inside a line that is still arriving
        break;
      }
      from = end;
      continue;
    }
    // A line that does not start a sentence continues the one kept from the previous chunk. The
    // fragment keeps its trailing blanks and the continuation its leading ones, so a line split at
    // a blank reads the same as a whole one.
    const bool continues = line.front() != '$' && !m_fragment.empty();
    if (!terminated) {
      const std::string_view rest = continues && from == 0 ? piece : trimFront(piece);
      if (continues)
        m_fragment.append(rest);
      else
        m_fragment.assign(rest);
      if (m_fragment.size() > kMaxFragment) {
        ++m_stats.droppedFragments;
        m_fragment.clear();
      }
      break;
    }
    if (continues) {
      m_joined.assign(m_fragment);
      m_joined.append(from == 0 ? trimBack(piece) : line);
      m_fragment.clear();
      line = m_joined;
    }
    handleLine(line);
    from = end;
  }

  if (m_pending) handOff(host);
  return ProcessStatus::consumed;
}

void GpsProtocolNmea::handleLine(std::string_view line) {
  ++m_stats.lines;
  parseSentence(line);
  if (m_sentenceHandler) m_sentenceHandler(line);
}

void GpsProtocolNmea::parseSentence(std::string_view line) {
  const std::size_t star = line.find('*');
  const std::string_view payload = payloadOf(line, star);
  if (m_checkChecksum) {
    m_pending = checksumValid(line);
    if (!m_pending) ++m_stats.checksumFailures;
  } else {
    m_pending = true;
  }
  m_fields.split(payload);
  if (const SentenceDecoder decode = findDecoder(m_fields[0])) decode(m_current, m_fields);
}

void GpsProtocolNmea::handOff(ProtocolHost& host) {
  PositionInfo& cur = m_current;
  if (!cur.has(defVertSpeed) && cur.has(defTime) && cur.has(defAltitude) && m_previous.has(defTime) &&
      m_previous.has(defAltitude)) {
    cur.vertSpeed = static_cast<float>(ratePerSecond(cur.time, m_previous.time, cur.altitude, m_previous.altitude));
    cur.fields.include(defVertSpeed);
  }
  m_previous = cur;
  // Reset before handing on, so that a host that throws leaves the decoder in a clean state.
  m_pending = false;
  cur.fields.clear();
  host.deliverPosition(m_previous);
}

}  // namespace geomuxer
