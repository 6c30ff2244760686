#pragma once
// User-facing texts for distances, speeds, headings and coordinates. These follow the user's
// locale (decimal and thousands separators); machine-read numbers use number_text.h instead.

#include <locale>
#include <optional>
#include <string>
#include <string_view>

#include "core/position_info.h"

namespace geomuxer {

/// Units of lengths and speeds (settings key general\distunit).
enum class DistUnit : int { metric = 0, statute = 1, nautic = 2 };
/// Coordinate text form (settings key general\posunit).
enum class PosUnit : int { decimalDegree = 0, decimalMinute = 1, decimalSecond = 2 };

inline constexpr std::string_view kDegreeSymbol = "\u00B0";
inline constexpr std::string_view kTimesSymbol = "\u00D7";
inline constexpr std::string_view kPlusMinusSymbol = "\u00B1";
inline constexpr std::string_view kMinuteSymbol = "\u2032";
inline constexpr std::string_view kSecondSymbol = "\u2033";
inline constexpr std::string_view kNotAvailable = "n.a.";

/// Separators of user-facing numbers.
struct NumberFormat {
  std::string decimalPoint = ".";
  std::string thousandsSep = ",";

  /// The separators of `loc`. A locale without digit grouping (the C locale) gets "," so that large
  /// values stay readable.
  [[nodiscard]] static NumberFormat fromLocale(const std::locale& loc);
  /// The environment's locale, read once.
  [[nodiscard]] static const NumberFormat& user();
};

/// The program-wide display settings; the controller owns one and hands it to whoever formats.
struct DisplayFormat {
  DistUnit distUnit = DistUnit::metric;
  PosUnit posUnit = PosUnit::decimalMinute;
  NumberFormat number = NumberFormat::user();
};

/// `value` with `decimals` digits and, when `grouped`, thousands separators.
[[nodiscard]] std::string formatNumber(double value, int decimals, bool grouped, const NumberFormat& nf);

[[nodiscard]] std::string formatDistance(DistUnit unit, double metres, const NumberFormat& nf = NumberFormat::user());
/// "±" and the distance text; "n.a." for an unknown unit system.
[[nodiscard]] std::string formatPrecision(DistUnit unit, double metres, const NumberFormat& nf = NumberFormat::user());
[[nodiscard]] std::string formatSpeed(DistUnit unit, double kmh, const NumberFormat& nf = NumberFormat::user());
[[nodiscard]] std::string formatVertSpeed(DistUnit unit, double metresPerSecond, const NumberFormat& nf = NumberFormat::user());
/// Style 0: "90° true" / "90° mag" (reference 0 / 1); style 1: compass point N .. NW; else "".
[[nodiscard]] std::string formatHeading(int style, int reference, double degrees, const NumberFormat& nf = NumberFormat::user());
[[nodiscard]] std::string formatMagVar(double degrees, const NumberFormat& nf = NumberFormat::user());
/// Non-negative degrees as "47.26962°", "47° 16.177′" or "47° 16′ 10.6″".
[[nodiscard]] std::string formatCoord(double degrees, PosUnit unit, const NumberFormat& nf = NumberFormat::user());
/// "N47° 16.177′ E11° 23.593′": latitude, then longitude.
[[nodiscard]] std::string formatLatLon(Point point, PosUnit unit, const NumberFormat& nf = NumberFormat::user());

/// Reads a coordinate back from any text the formatters above produce, from plain decimal degrees
/// ("-11.5", "11,5"), and from the ASCII stand-ins of the symbols ("*", "'", "\""). A hemisphere
/// letter (N, S, E, W) may stand before or after the number; S and W and a minus sign give negative
/// values. Nothing when the text is not a coordinate or minutes or seconds are 60 or more.
struct ParsedCoord {
  double degrees = 0.0;  ///< signed
  char hemisphere = 0;   ///< 'N', 'S', 'E', 'W' or 0 when none was given
};
[[nodiscard]] std::optional<ParsedCoord> parseCoord(std::string_view text, const NumberFormat& nf = NumberFormat::user());
/// Reads formatLatLon's text back into a point; nothing unless both halves are valid coordinates.
[[nodiscard]] std::optional<Point> parseLatLon(std::string_view text, const NumberFormat& nf = NumberFormat::user());

}  // namespace geomuxer
