#pragma once
// Conversion between named character sets through the iconv of the C library.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace geomuxer {

/// A converter cannot be opened for a pair of character sets, or text is not valid in its source set
/// or has no form in the target set.
class CharsetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// One conversion direction. Not copyable; each object keeps its own shift state, so one converter
/// belongs to one thread at a time.
class Iconv {
 public:
  /// Opens a conversion from `fromCharset` to `toCharset` (iconv names such as "ISO-8859-1");
  /// an empty name means the local character set. Throws CharsetError for an unknown set.
  Iconv(std::string_view fromCharset, std::string_view toCharset);
  /// From `fromCharset` to the local character set.
  explicit Iconv(std::string_view fromCharset) : Iconv(fromCharset, {}) {}
  ~Iconv();
  Iconv(Iconv&& other) noexcept;
  Iconv& operator=(Iconv&& other) noexcept;
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  [[nodiscard]] const std::string& fromCharset() const { return m_from; }
  [[nodiscard]] const std::string& toCharset() const { return m_to; }

  /// The whole of `text` converted; the output grows as needed, nothing is cut off. Throws
  /// CharsetError for an invalid or incomplete sequence or a character the target cannot hold.
  [[nodiscard]] std::string convert(std::string_view text);

  /// Converts the complete sequences of `text` and appends them to `out`; returns how many input
  /// bytes were used. A sequence cut off at the end stays unused so that the caller can complete it
  /// with the next piece of input. Throws CharsetError like convert().
  std::size_t convertPart(std::string_view text, std::string& out);

  /// Ends the output (shift sequences of stateful sets) and resets the state for new text.
  void finish(std::string& out);

  /// The name of the machine's 8-bit character set, from the C library's current locale.
  [[nodiscard]] static std::string localCharset();

 private:
  void* m_handle = nullptr;
  std::string m_from;
  std::string m_to;
};

/// True when `a` and `b` name the same character set, compared without case, '-' and '_'
/// ("utf8" and "UTF-8" match).
[[nodiscard]] bool sameCharsetName(std::string_view a, std::string_view b);

}  // namespace geomuxer
