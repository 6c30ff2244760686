#pragma once
// Numbers in machine-read text (sentences, files, form fields, settings). Always "." as decimal
// separator and never dependent on the process locale, which Qt sets from the environment.

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace geomuxer {

/// A text that should hold a number or a date does not.
class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Decimal integer with an optional sign; nothing when the whole text is not one or it overflows.
[[nodiscard]] std::optional<int> parseInt(std::string_view text);
[[nodiscard]] std::optional<long long> parseInt64(std::string_view text);
/// Finite decimal number with "." as separator and an optional exponent; the whole text must match.
[[nodiscard]] std::optional<double> parseDouble(std::string_view text);

/// parseInt / parseDouble that throw ConversionError naming the text.
[[nodiscard]] int toInt(std::string_view text);
[[nodiscard]] double toDouble(std::string_view text);

/// Fixed notation with `decimals` digits after the point, like printf's "%.Nf" in the C locale.
[[nodiscard]] std::string formatFixed(double value, int decimals);
/// Appends formatFixed without a temporary string.
void appendFixed(std::string& out, double value, int decimals);

/// General form with 15 significant digits, trailing zeros dropped: fixed notation for
/// 1e-5 <= |v| < 1e15, otherwise "d.dddE-7". A single widened to double shows its binary
/// value: 47.123f gives "47.1230010986328".
[[nodiscard]] std::string formatGeneral(double value);
/// The shortest fixed-notation text that reads back as the same single: 1.2f gives "1.2" where
/// formatGeneral of the widened value gives "1.20000004768372". Empty for NaN and infinities.
[[nodiscard]] std::string formatShortest(float value);

}  // namespace geomuxer
