#include "core/units.h"

#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "core/geodesy.h"
#include "core/number_text.h"

namespace geomuxer {

namespace {

struct DistScale {
  double toSmall;         // metres -> small unit
  std::string_view small;
  double switchAt;        // metres of one large unit
  std::string_view large;
  std::string_view zero;  // unit word of a zero distance
};

constexpr std::array<DistScale, 3> kDistScales = {{
    {1.0, "m", 1000.0, "km", "m"},
    {3.28084, "ft", 1609.3, "mi", "nm"},
    {3.28084, "ft", 1852.0, "nm", "nm"},
}};

constexpr std::array<std::string_view, 8> kCompassPoints = {"N", "NE", "E", "SE", "S", "SW", "W", "NW"};

const DistScale* scaleOf(DistUnit unit) {
  const auto i = static_cast<std::size_t>(unit);
  return i < kDistScales.size() ? &kDistScales[i] : nullptr;
}

std::string padLeft(std::string text, std::size_t width, char fill) {
  if (text.size() < width) text.insert(0, width - text.size(), fill);
  return text;
}

std::string localised(std::string text, const NumberFormat& nf) {
  const auto dot = text.find('.');
  if (dot != std::string::npos) text.replace(dot, 1, nf.decimalPoint);
  return text;
}

std::string twoDigits(long long value) { return padLeft(std::to_string(value), 2, '0'); }

}  // namespace

NumberFormat NumberFormat::fromLocale(const std::locale& loc) {
  const auto& punct = std::use_facet<std::numpunct<char>>(loc);
  NumberFormat nf;
  nf.decimalPoint = std::string(1, punct.decimal_point());
  const std::string grouping = punct.grouping();
  if (!grouping.empty() && grouping[0] > 0 && punct.thousands_sep() != punct.decimal_point())
    nf.thousandsSep = std::string(1, punct.thousands_sep());
  else
    nf.thousandsSep = nf.decimalPoint == "," ? "." : ",";
  return nf;
}

const NumberFormat& NumberFormat::user() {
  static const NumberFormat nf = [] {
    try {
      return fromLocale(std::locale(""));
    } catch (const std::runtime_error&) {  // the environment names a locale that is not installed
      return NumberFormat{};
    }
  }();
  return nf;
}

std::string formatNumber(double value, int decimals, bool grouped, const NumberFormat& nf) {
  if (!std::isfinite(value)) return std::string(kNotAvailable);
  std::string fixed = formatFixed(value, decimals);
  std::string sign;
  if (!fixed.empty() && fixed.front() == '-') {
    sign = "-";
    fixed.erase(0, 1);
  }
  const auto dot = fixed.find('.');
  const std::string whole = fixed.substr(0, dot);
  std::string out = sign;
  if (grouped) {
    for (std::size_t i = 0; i < whole.size(); ++i) {
      if (i > 0 && (whole.size() - i) % 3 == 0) out += nf.thousandsSep;
      out += whole[i];
    }
  } else {
    out += whole;
  }
  if (dot != std::string::npos) {
    out += nf.decimalPoint;
    out.append(fixed, dot + 1);
  }
  return out;
}

std::string formatDistance(DistUnit unit, double metres, const NumberFormat& nf) {
  const DistScale* scale = scaleOf(unit);
  if (scale == nullptr || !std::isfinite(metres)) return std::string(kNotAvailable);
  if (metres == 0.0) return "0 " + std::string(scale->zero);
  if (metres < scale->switchAt) return formatNumber(metres * scale->toSmall, 1, true, nf) + " " + std::string(scale->small);
  const double large = metres / scale->switchAt;
  const int decimals = std::llround(large) > 9 ? 0 : 1;
  return formatNumber(large, decimals, true, nf) + " " + std::string(scale->large);
}

std::string formatPrecision(DistUnit unit, double metres, const NumberFormat& nf) {
  if (scaleOf(unit) == nullptr) return std::string(kNotAvailable);
  return std::string(kPlusMinusSymbol) + " " + formatDistance(unit, metres, nf);
}

std::string formatSpeed(DistUnit unit, double kmh, const NumberFormat& nf) {
  switch (unit) {
    case DistUnit::metric: return formatNumber(kmh, 1, false, nf) + " km/h";
    case DistUnit::statute: return formatNumber(kmh / 1.6093, 1, false, nf) + " mph";
    case DistUnit::nautic: return formatNumber(kmh / 1.852, 1, false, nf) + " kt";
  }
  return std::string(kNotAvailable);
}

std::string formatVertSpeed(DistUnit unit, double metresPerSecond, const NumberFormat& nf) {
  switch (unit) {
    case DistUnit::metric: return formatNumber(metresPerSecond, 1, false, nf) + " m/s";
    case DistUnit::statute:
    case DistUnit::nautic: return formatNumber(metresPerSecond * 3.28084, 1, false, nf) + " ft/s";
  }
  return std::string(kNotAvailable);
}

std::string formatHeading(int style, int reference, double degrees, const NumberFormat& nf) {
  if (style == 0)
    return formatNumber(degrees, 0, false, nf) + std::string(kDegreeSymbol) + (reference == 1 ? " mag" : " true");
  if (style == 1 && std::isfinite(degrees)) {
    // Normalised first, so that -90 reads W like 270.
    const auto index = static_cast<std::size_t>(std::trunc((floatMod(360.0, degrees) + 22.5) / 45.0));
    return std::string(kCompassPoints[index % 8]);
  }
  return {};
}

std::string formatMagVar(double degrees, const NumberFormat& nf) {
  return formatNumber(degrees, 0, false, nf) + std::string(kDegreeSymbol);
}

std::string formatCoord(double degrees, PosUnit unit, const NumberFormat& nf) {
  if (!std::isfinite(degrees)) return std::string(kNotAvailable);
  const std::string sign = degrees < 0 ? "-" : "";
  const double x = std::fabs(degrees);
  switch (unit) {
    case PosUnit::decimalDegree:
      return sign + formatNumber(x, 5, false, nf) + std::string(kDegreeSymbol);
    case PosUnit::decimalMinute: {
      auto d = static_cast<long long>(std::trunc(x));
      const double m = (x - static_cast<double>(d)) * 60.0;
      std::string minutes;
      if (std::trunc((m - std::trunc(m)) * 1000.0) != 0.0) {
        minutes = padLeft(formatFixed(m, 3), 6, '0');
        if (minutes.find("000") != std::string::npos) minutes.erase(minutes.find('.'));
      } else {
        minutes = twoDigits(static_cast<long long>(std::trunc(m)));
      }
      if (minutes == "60") {  // rounded up to a whole degree
        ++d;
        minutes = "00";
      }
      return sign + std::to_string(d) + std::string(kDegreeSymbol) + " " + localised(minutes, nf) +
             std::string(kMinuteSymbol);
    }
    case PosUnit::decimalSecond: {
      // Round once to tenths of a second so that a carry reaches the minutes and the degrees.
      const long long tenths = std::llround(x * 36000.0);
      const long long d = tenths / 36000;
      const long long w = (tenths % 36000) / 600;
      const long long s10 = tenths % 600;
      std::string seconds = formatNumber(static_cast<double>(s10) / 10.0, 1, false, nf);
      if (s10 < 100) seconds.insert(0, "0");
      return sign + std::to_string(d) + std::string(kDegreeSymbol) + " " + twoDigits(w) + std::string(kMinuteSymbol) +
             " " + seconds + std::string(kSecondSymbol);
    }
  }
  return std::string(kNotAvailable);
}

std::string formatLatLon(Point point, PosUnit unit, const NumberFormat& nf) {
  const double lat = point.y;
  const double lon = point.x;
  return (lat >= 0 ? "N" : "S") + formatCoord(std::fabs(lat), unit, nf) + " " + (lon >= 0 ? "E" : "W") +
         formatCoord(std::fabs(lon), unit, nf);
}

namespace {

bool isHemisphere(char c) {
  switch (c) {
    case 'N': case 'S': case 'E': case 'W': case 'n': case 's': case 'e': case 'w': return true;
    default: return false;
  }
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

}  // namespace

std::optional<ParsedCoord> parseCoord(std::string_view text, const NumberFormat& nf) {
  text = trim(text);
  ParsedCoord result;
  if (!text.empty() && isHemisphere(text.front())) {
    result.hemisphere = static_cast<char>(std::toupper(static_cast<unsigned char>(text.front())));
    text = trim(text.substr(1));
  } else if (!text.empty() && isHemisphere(text.back())) {
    result.hemisphere = static_cast<char>(std::toupper(static_cast<unsigned char>(text.back())));
    text = trim(text.substr(0, text.size() - 1));
  }
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text = trim(text.substr(1));
  }

  // Symbols become separators; decimal separators become ".".
  std::string plain(text);
  for (std::string_view symbol : {kDegreeSymbol, kMinuteSymbol, kSecondSymbol, std::string_view("\u00BA")}) {
    for (auto at = plain.find(symbol); at != std::string::npos; at = plain.find(symbol)) plain.replace(at, symbol.size(), " ");
  }
  if (nf.decimalPoint != "." && !nf.decimalPoint.empty())
    for (auto at = plain.find(nf.decimalPoint); at != std::string::npos; at = plain.find(nf.decimalPoint))
      plain.replace(at, nf.decimalPoint.size(), ".");
  for (char& c : plain) {
    if (c == '*' || c == '\'' || c == '"') c = ' ';
    if (c == ',') c = '.';
  }

  std::array<double, 3> parts{};
  std::size_t count = 0;
  std::string_view rest(plain);
  while (!(rest = trim(rest)).empty()) {
    if (count == parts.size()) return std::nullopt;
    const auto end = rest.find(' ');
    const std::string_view token = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
    const auto value = parseDouble(token);
    if (!value || *value < 0.0) return std::nullopt;
    parts[count++] = *value;
  }
  if (count == 0) return std::nullopt;
  for (std::size_t i = 0; i + 1 < count; ++i)
    if (parts[i] != std::trunc(parts[i])) return std::nullopt;  // only the last part may have a fraction
  if (count > 1 && parts[1] >= 60.0) return std::nullopt;
  if (count > 2 && parts[2] >= 60.0) return std::nullopt;

  double degrees = parts[0] + parts[1] / 60.0 + parts[2] / 3600.0;
  if (negative || result.hemisphere == 'S' || result.hemisphere == 'W') degrees = -degrees;
  result.degrees = degrees;
  return result;
}

std::optional<Point> parseLatLon(std::string_view text, const NumberFormat& nf) {
  text = trim(text);
  for (std::size_t i = 1; i < text.size(); ++i) {
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    if (c != 'E' && c != 'W') continue;
    const auto lat = parseCoord(text.substr(0, i), nf);
    const auto lon = parseCoord(text.substr(i), nf);
    if (!lat || !lon || (lat->hemisphere != 0 && lat->hemisphere != 'N' && lat->hemisphere != 'S') ||
        std::fabs(lat->degrees) > 90.0 || std::fabs(lon->degrees) > 180.0)
      return std::nullopt;
    return Point{lon->degrees, lat->degrees};
  }
  return std::nullopt;
}

}  // namespace geomuxer
