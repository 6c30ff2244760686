#pragma once
// Reader of multipart/form-data request bodies: the text fields of a form as name=value pairs.

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace geomuxer {

/// A body beyond the parser's limits or a part that cannot be decoded.
class MultipartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The fields of one form, in the order of the parts. Immutable once parsed; safe to read from
/// several threads.
class MultipartForm {
 public:
  struct Limits {
    std::size_t maxBodySize = 1024 * 1024;  ///< position posts are a few hundred bytes
    std::size_t maxParts = 256;
  };

  struct Field {
    std::string name;
    std::string value;
  };

  MultipartForm() = default;

  /// Splits `body` by the boundary named in `contentType`. A content type without a boundary, a
  /// boundary that never occurs, or a body that is no multipart text give an empty form; a body
  /// cut off inside a part keeps what was read. Parts of type application/octet-stream are
  /// dropped; values are decoded (base64, quoted-printable) and trimmed of control characters and
  /// blanks at both ends. Throws MultipartError when a limit is exceeded or base64 text is broken.
  [[nodiscard]] static MultipartForm parse(std::string_view contentType, std::string_view body,
                                           const Limits& limits);
  [[nodiscard]] static MultipartForm parse(std::string_view contentType, std::string_view body) {
    return parse(contentType, body, Limits{});
  }

  /// The value of the first field whose name matches without regard to case; empty when none.
  [[nodiscard]] std::string value(std::string_view name) const;
  /// Whether a field of that name exists, whatever its value.
  [[nodiscard]] bool contains(std::string_view name) const { return indexOf(name).has_value(); }
  [[nodiscard]] std::optional<std::size_t> indexOf(std::string_view name) const;

  [[nodiscard]] const std::vector<Field>& fields() const { return m_fields; }
  [[nodiscard]] std::size_t size() const { return m_fields.size(); }
  [[nodiscard]] bool empty() const { return m_fields.empty(); }

 private:
  std::vector<Field> m_fields;
};

/// The boundary named in a content type ("multipart/form-data; boundary=xyz" or
/// boundary="xyz"); empty when there is none.
[[nodiscard]] std::string multipartBoundary(std::string_view contentType);

/// Decodes base64 text (line breaks allowed); nothing when it is not valid base64.
[[nodiscard]] std::optional<std::string> decodeBase64(std::string_view text);
/// Decodes quoted-printable text: "=XX" escapes and soft line breaks; a malformed escape is kept
/// as it stands.
[[nodiscard]] std::string decodeQuotedPrintable(std::string_view text);

}  // namespace geomuxer
