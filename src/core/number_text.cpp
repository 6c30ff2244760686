#include "core/number_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

namespace geomuxer {

namespace {

template <typename T>
std::optional<T> parseIntegral(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  T value{};
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<int> parseInt(std::string_view text) { return parseIntegral<int>(text); }
std::optional<long long> parseInt64(std::string_view text) { return parseIntegral<long long>(text); }

std::optional<double> parseDouble(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  // from_chars also reads "inf" and "nan"; a number field never holds those.
  const char first = text.front() == '-' && text.size() > 1 ? text[1] : text.front();
  if (!(first >= '0' && first <= '9') && first != '.') return std::nullopt;
  double value = 0.0;
  const auto [ptr, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (ec != std::errc{} || ptr != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

int toInt(std::string_view text) {
  const auto v = parseInt(text);
  if (!v) throw ConversionError("'" + std::string(text) + "' is not a valid integer value");
  return *v;
}

double toDouble(std::string_view text) {
  const auto v = parseDouble(text);
  if (!v) throw ConversionError("'" + std::string(text) + "' is not a valid floating point value");
  return *v;
}

void appendFixed(std::string& out, double value, int decimals) {
  std::array<char, 350> buf{};
  const auto [ptr, ec] =
      std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed, decimals);
  if (ec != std::errc{}) {
    out += "0";
    return;
  }
  out.append(buf.data(), ptr);
}

std::string formatFixed(double value, int decimals) {
  std::string out;
  appendFixed(out, value, decimals);
  return out;
}

std::string formatShortest(float value) {
  if (!std::isfinite(value)) return {};
  std::array<char, 64> buf{};
  const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed);
  if (ec != std::errc{}) return {};
  return std::string(buf.data(), end);
}

std::string formatGeneral(double value) {
  if (value == 0.0) return "0";
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  // 15 significant digits in scientific form: "-d.ddddddddddddddde+XX".
  std::array<char, 64> buf{};
  const auto [end, ec] =
      std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::scientific, 14);
  if (ec != std::errc{}) return "0";
  std::string_view sci(buf.data(), static_cast<std::size_t>(end - buf.data()));
  const bool negative = sci.front() == '-';
  if (negative) sci.remove_prefix(1);
  const auto ePos = sci.find('e');
  const int exponent = *parseInt(sci.substr(ePos + 1));
  std::string digits;
  for (char c : sci.substr(0, ePos))
    if (c != '.') digits += c;
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string out = negative ? "-" : "";
  if (exponent >= 15 || exponent < -5) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'E';
    out += std::to_string(exponent);
    return out;
  }
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
    return out;
  }
  const auto intDigits = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= intDigits) {
    out += digits;
    out.append(intDigits - digits.size(), '0');
  } else {
    out.append(digits, 0, intDigits);
    out += '.';
    out.append(digits, intDigits);
  }
  return out;
}

}  // namespace geomuxer
