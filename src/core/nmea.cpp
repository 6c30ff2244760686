#include "core/nmea.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "core/date_time.h"
#include "core/number_text.h"

namespace geomuxer {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr double kKnotsToKmh = 1.852;

void appendDigits(std::string& out, long long value, int width) {
  std::array<char, 24> buf{};
  const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  const auto len = static_cast<int>(end - buf.data());
  (void)ec;
  if (len < width) out.append(static_cast<std::size_t>(width - len), '0');
  out.append(buf.data(), end);
}

void appendChecksum(std::string& out, std::uint8_t sum) {
  out += kHexDigits[sum >> 4];
  out += kHexDigits[sum & 0x0F];
}

// ddmm.mmmm (or dddmm.mmmm): whole degrees, then minutes with two integer and four decimal digits.
// Minutes that round to 60.0000 are carried into the degrees. Anything that is no coordinate at all
// gives an empty field rather than digits made up from it.
void appendCoordinate(std::string& out, double value, int degreeDigits) {
  const double magnitude = std::fabs(value);
  if (!(magnitude <= 180.0)) return;
  long long degrees = static_cast<long long>(magnitude);
  long long tenThousandths = std::llround((magnitude - static_cast<double>(degrees)) * 60.0 * 10000.0);
  if (tenThousandths >= 600000) {
    ++degrees;
    tenThousandths -= 600000;
  }
  appendDigits(out, degrees, degreeDigits);
  appendDigits(out, tenThousandths / 10000, 2);
  out += '.';
  appendDigits(out, tenThousandths % 10000, 4);
}

// hhmmss, or hhmmss.ss when the time has a fraction of a second: a 10 Hz receiver's epochs must
// not all read alike. Hundredths are cut, not rounded, so 23:59:59.999 never becomes the next day.
void appendTime(std::string& out, const DateTimeParts& parts) {
  appendDigits(out, parts.hour, 2);
  appendDigits(out, parts.minute, 2);
  appendDigits(out, parts.second, 2);
  if (parts.millisecond == 0) return;
  out += '.';
  appendDigits(out, parts.millisecond / 10, 2);
}

void appendLatLon(std::string& out, const PositionInfo& p) {
  appendCoordinate(out, p.y, 2);
  out += p.y >= 0.0 ? ",N," : ",S,";
  appendCoordinate(out, p.x, 3);
  out += p.x >= 0.0 ? ",E" : ",W";
}

// The fix kind the sentences state. A record without a fix kind still holds a position, so it
// counts as a plain fix: readers drop a position whose GGA says quality 0.
Fix statedFix(const PositionInfo& p) { return p.has(defFix) ? p.fix : fixUnknown; }

// GGA quality indicator: the inverse of the decoder's reading of it.
int fixQuality(Fix fix) {
  switch (fix) {
    case fixInvalid: return 0;
    case fix2D_diff:
    case fix3D_diff: return 2;
    case fixPrec: return 3;
    case fixRTK: return 4;
    case fixFRTK: return 5;
    case fixEstimated: return 6;
    case fixManual: return 7;
    case fixSimulation: return 8;
    default: return 1;
  }
}

// RMC and GLL status: "V" (void) only for a record that says it has no fix.
char fixStatus(const PositionInfo& p) { return statedFix(p) == fixInvalid ? 'V' : 'A'; }

// Appends "$" + body (built by `body`) + "*" + checksum, computing the checksum over what was written.
template <typename Body>
void appendFramed(std::string& out, Body body) {
  out += '$';
  const std::size_t start = out.size();
  body(out);
  const std::uint8_t sum = nmeaChecksumValue(std::string_view(out).substr(start));
  out += '*';
  appendChecksum(out, sum);
}

constexpr std::string_view kGps = "GP";

void appendRmcBody(std::string& out, const PositionInfo& p, const DateTimeParts& t, std::string_view talker = kGps) {
  out += talker;
  out += "RMC,";
  appendTime(out, t);
  out += ',';
  out += fixStatus(p);
  out += ',';
  appendLatLon(out, p);
  out += ',';
  appendFixed(out, static_cast<double>(p.speed) / kKnotsToKmh, 2);
  out += ',';
  appendFixed(out, p.heading, 2);
  out += ',';
  appendDigits(out, t.day, 2);
  appendDigits(out, t.month, 2);
  appendDigits(out, ((t.year % 100) + 100) % 100, 2);
  out += ",,";
}

void appendGgaBody(std::string& out, const PositionInfo& p, const DateTimeParts& t, std::string_view talker = kGps) {
  out += talker;
  out += "GGA,";
  appendTime(out, t);
  out += ',';
  appendLatLon(out, p);
  out += ',';
  appendDigits(out, fixQuality(statedFix(p)), 1);
  out += ',';
  // Satellites in use, two digits as receivers write them; "0" when the record has no count.
  if (p.has(defSatellites) && p.satellites >= 0)
    appendDigits(out, p.satellites, 2);
  else
    out += '0';
  out += ',';
  appendFixed(out, p.hdop, 1);
  out += ',';
  appendFixed(out, p.altitude, 0);
  out += ",M,,,,0000";
}

void appendGllBody(std::string& out, const PositionInfo& p, const DateTimeParts& t, std::string_view talker = kGps) {
  out += talker;
  out += "GLL,";
  appendLatLon(out, p);
  out += ',';
  appendTime(out, t);
  out += ',';
  out += fixStatus(p);
}

// FAA mode indicator of VTG: what kind of fix the speed and course come from.
char modeIndicator(Fix fix) {
  switch (fix) {
    case fixInvalid: return 'N';
    case fix2D_diff:
    case fix3D_diff:
    case fixPrec:
    case fixRTK:
    case fixFRTK: return 'D';
    case fixEstimated: return 'E';
    case fixManual: return 'M';
    case fixSimulation: return 'S';
    default: return 'A';
  }
}

void appendVtgBody(std::string& out, const PositionInfo& p, std::string_view talker) {
  out += talker;
  out += "VTG,";
  appendFixed(out, p.heading, 2);
  out += ",T,,M,";
  appendFixed(out, static_cast<double>(p.speed) / kKnotsToKmh, 2);
  out += ",N,";
  appendFixed(out, p.speed, 2);
  out += ",K,";
  out += modeIndicator(statedFix(p));
}

void appendOptional(std::string& out, const PositionInfo& p, DefField field, float value) {
  if (p.has(field)) appendFixed(out, value, 1);
}

// Fix dimension and dilutions; the record keeps no satellite numbers, so those twelve fields stay empty.
void appendGsaBody(std::string& out, const PositionInfo& p, std::string_view talker) {
  out += talker;
  out += "GSA,A,";
  const Fix fix = statedFix(p);
  out += fix == fixInvalid ? '1' : fix == fix2D || fix == fix2D_diff ? '2' : '3';
  out += ",,,,,,,,,,,,,";
  appendOptional(out, p, defPDOP, p.pdop);
  out += ',';
  appendOptional(out, p, defHDOP, p.hdop);
  out += ',';
  appendOptional(out, p, defVDOP, p.vdop);
}

// Time and date in UTC (local zone fields 00,00).
void appendZdaBody(std::string& out, const DateTimeParts& t, std::string_view talker) {
  out += talker;
  out += "ZDA,";
  appendTime(out, t);
  out += ',';
  appendDigits(out, t.day, 2);
  out += ',';
  appendDigits(out, t.month, 2);
  out += ',';
  appendDigits(out, t.year, 4);
  out += ",00,00";
}

template <typename Writer>
std::string framed(const PositionInfo& p, Writer writer) {
  std::string out;
  out.reserve(80);
  const DateTimeParts t = splitDateTime(p.time);
  appendFramed(out, [&](std::string& o) { writer(o, p, t, kGps); });
  return out;
}

}  // namespace

std::uint8_t nmeaChecksumValue(std::string_view body) {
  std::uint8_t sum = 0;
  for (char c : body) sum = static_cast<std::uint8_t>(sum ^ static_cast<std::uint8_t>(c));
  return sum;
}

std::string nmeaChecksum(std::string_view body) {
  std::string out;
  appendChecksum(out, nmeaChecksumValue(body));
  return out;
}

std::string nmeaFrame(std::string_view body) {
  std::string out;
  out.reserve(body.size() + 4);
  appendFramed(out, [&](std::string& o) { o += body; });
  return out;
}

std::string nmeaRmc(const PositionInfo& position) { return framed(position, appendRmcBody); }
std::string nmeaGga(const PositionInfo& position) { return framed(position, appendGgaBody); }
std::string nmeaGll(const PositionInfo& position) { return framed(position, appendGllBody); }

void appendNmeaBlock(std::string& out, const PositionInfo& position) {
  const DateTimeParts t = splitDateTime(position.time);
  appendFramed(out, [&](std::string& o) { appendRmcBody(o, position, t); });
  out += "\r\n";
  appendFramed(out, [&](std::string& o) { appendGgaBody(o, position, t); });
  out += "\r\n";
  appendFramed(out, [&](std::string& o) { appendGllBody(o, position, t); });
  out += "\r\n";
}

bool validTalker(std::string_view talker) {
  return talker.size() == 2 && std::all_of(talker.begin(), talker.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

void appendNmeaBroadcastBlock(std::string& out, const PositionInfo& position, std::string_view talker) {
  if (!validTalker(talker)) talker = kGps;
  const DateTimeParts t = splitDateTime(position.time);
  auto line = [&](auto body) {
    appendFramed(out, body);
    out += "\r\n";
  };
  line([&](std::string& o) { appendRmcBody(o, position, t, talker); });
  line([&](std::string& o) { appendGgaBody(o, position, t, talker); });
  line([&](std::string& o) { appendGllBody(o, position, t, talker); });
  line([&](std::string& o) { appendVtgBody(o, position, talker); });
  if (position.has(defPDOP) || position.has(defHDOP) || position.has(defVDOP)) {
    line([&](std::string& o) { appendGsaBody(o, position, talker); });
  }
  if (position.has(defTime)) line([&](std::string& o) { appendZdaBody(o, t, talker); });
}

std::string nmeaBlock(const PositionInfo& position) {
  std::string out;
  out.reserve(240);
  appendNmeaBlock(out, position);
  return out;
}

void NmeaFields::split(std::string_view payload) {
  m_count = 0;
  std::size_t from = 0;
  while (m_count < kCapacity) {
    const void* hit =
        from < payload.size() ? std::memchr(payload.data() + from, ',', payload.size() - from) : nullptr;
    if (hit == nullptr) {
      m_fields[m_count++] = payload.substr(from);
      return;
    }
    const auto comma = static_cast<std::size_t>(static_cast<const char*>(hit) - payload.data());
    m_fields[m_count++] = payload.substr(from, comma - from);
    from = comma + 1;
  }
}

}  // namespace geomuxer
