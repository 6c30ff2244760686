#pragma once
// Text files in any character set, read into and written from the program's UTF-8 strings.
// Byte order marks are detected on reading and written for UTF-16 and UTF-32 (for UTF-8 only on
// request, since many tools stumble over it).

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "settings/iconv.h"

namespace geomuxer {

/// The Unicode forms a byte order mark can announce.
enum class UnicodeForm { utf8, utf16le, utf16be, utf32le, utf32be };

/// iconv name of a form ("UTF-16LE"); the byte order is always explicit.
[[nodiscard]] std::string_view charsetName(UnicodeForm form);
/// The mark bytes of a form.
[[nodiscard]] std::string_view byteOrderMark(UnicodeForm form);

struct DetectedMark {
  UnicodeForm form;
  std::size_t length;  ///< bytes of the mark
};
/// The mark at the start of `head`, if any. UTF-32 little-endian is tried before UTF-16, because
/// its mark starts with the UTF-16 one.
[[nodiscard]] std::optional<DetectedMark> detectByteOrderMark(std::string_view head);

/// The Unicode form a character-set name stands for, if it is one. "UTF-16" and "UTF-32" without an
/// order mean little-endian, the order we write.
[[nodiscard]] std::optional<UnicodeForm> unicodeFormOf(std::string_view charset);

/// Reads text from a byte stream (not owned) and hands it out as UTF-8. Used from one thread.
class TextReader {
 public:
  /// Looks for a byte order mark at the stream's current position and skips it. Without one the
  /// bytes are taken to be in `charset` (empty: the local character set). Throws CharsetError when
  /// no converter exists for that set.
  explicit TextReader(std::istream& in, std::string_view charset = "UTF-8");

  /// The set the text is read in: the mark's form when there was one.
  [[nodiscard]] const std::string& charset() const { return m_charset; }
  [[nodiscard]] bool hadByteOrderMark() const { return m_hadMark; }

  /// Reads up to `maxBytes` bytes of the stream and returns their text. A character cut by the
  /// chunk boundary is held back and completed by the next call. Empty once the stream is done.
  /// Throws CharsetError for bytes that are not text in the set.
  [[nodiscard]] std::string read(std::size_t maxBytes = 64 * 1024);
  /// Everything up to the end of the stream.
  [[nodiscard]] std::string readAll();
  [[nodiscard]] bool atEnd() const { return m_atEnd && m_pending.empty(); }

 private:
  std::istream& m_in;
  std::string m_charset;
  bool m_hadMark = false;
  bool m_utf8 = false;
  bool m_atEnd = false;
  std::optional<Iconv> m_iconv;
  std::string m_pending;  // bytes of an incomplete character
};

/// Writes UTF-8 text into a byte stream (not owned) in a chosen character set.
class TextWriter {
 public:
  enum class Mode {
    write,   ///< new text: the mark is written first (the caller hands over an empty or truncated stream)
    append,  ///< more text at the end: the mark is written only when the stream is still empty
  };
  struct Options {
    bool utf8ByteOrderMark = false;  ///< UTF-16 and UTF-32 always get a mark, UTF-8 only with this
  };

  /// Throws CharsetError when no converter exists for `charset` (empty: the local set).
  TextWriter(std::ostream& out, std::string_view charset, Mode mode, Options options);
  TextWriter(std::ostream& out, std::string_view charset, Mode mode)
      : TextWriter(out, charset, mode, Options{}) {}

  [[nodiscard]] const std::string& charset() const { return m_charset; }

  /// Writes `utf8`; true when every byte reached the stream (an empty text is true at once).
  /// UTF-8 goes out byte for byte; for other sets a CharsetError reports text that is not valid
  /// UTF-8 or that the set cannot hold, before anything of it is written.
  [[nodiscard]] bool write(std::string_view utf8);
  /// Ends the text for stateful character sets and flushes; true when the stream is still good.
  [[nodiscard]] bool finish();

 private:
  std::ostream& m_out;
  std::string m_charset;
  std::optional<Iconv> m_iconv;  // none for UTF-8, which is written as it is
};

/// The text of a whole byte buffer in UTF-8: a byte order mark decides the set, otherwise `charset`.
/// `mark` receives what was found. Throws CharsetError like TextReader.
[[nodiscard]] std::string decodeText(std::string_view bytes, std::string_view charset = "UTF-8",
                                     std::optional<DetectedMark>* mark = nullptr);
/// `utf8` as bytes in `charset` with the mark the writer would put first.
[[nodiscard]] std::string encodeText(std::string_view utf8, std::string_view charset,
                                     TextWriter::Options options = {});

/// Length of the longest prefix of `text` that does not end inside a UTF-8 sequence.
[[nodiscard]] std::size_t completeUtf8Prefix(std::string_view text);

}  // namespace geomuxer
