#include "server/multipart_form.h"

#include <openssl/evp.h>

#include <memory>

namespace geomuxer {

namespace {

char lowerAscii(char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; }

bool equalNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  return true;
}

std::size_t findNoCase(std::string_view text, std::string_view what) {
  if (what.size() > text.size()) return std::string_view::npos;
  for (std::size_t i = 0; i + what.size() <= text.size(); ++i)
    if (equalNoCase(text.substr(i, what.size()), what)) return i;
  return std::string_view::npos;
}

/// Removes characters below 33 (blanks, tabs, line breaks, other controls) from both ends.
std::string_view trimControls(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) < 33) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) < 33) s.remove_suffix(1);
  return s;
}

/// Blanks and tabs that may follow a boundary line ("transport padding").
std::string_view trimPadding(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

/// Lines of the body, split at LF with a CR before it dropped.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : m_text(text) {}
  [[nodiscard]] bool atEnd() const { return m_pos >= m_text.size(); }
  std::optional<std::string_view> next() {
    if (atEnd()) return std::nullopt;
    const auto lf = m_text.find('\n', m_pos);
    const std::size_t end = lf == std::string_view::npos ? m_text.size() : lf;
    std::string_view line = m_text.substr(m_pos, end - m_pos);
    m_pos = lf == std::string_view::npos ? m_text.size() : lf + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
  }

 private:
  std::string_view m_text;
  std::size_t m_pos = 0;
};

/// The header block of a part read as name=value entries: the lines are cut again at ";", the
/// first ":" or "=" of each piece separates name and value, quotes are dropped. This is how
/// "Content-Disposition: form-data; name=\"lat\"" yields the entry name=lat.
class PartHeaders {
 public:
  explicit PartHeaders(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
      if (!text.empty()) text += '\n';
      text += line;
    }
    std::string current;
    auto flush = [&]() {
      std::string_view piece = trimControls(current);
      if (!piece.empty()) {
        const auto eq = piece.find('=');
        if (eq == std::string_view::npos)
          m_entries.push_back({std::string(piece), {}});
        else
          m_entries.push_back({std::string(trimControls(piece.substr(0, eq))),
                               std::string(trimControls(piece.substr(eq + 1)))});
      }
      current.clear();
    };
    for (char ch : text) {
      if (ch == '\n' || ch == ';') {
        flush();
      } else if (ch == ':') {
        current += '=';
      } else if (ch != '"') {
        current += ch;
      }
    }
    flush();
  }

  [[nodiscard]] std::string_view value(std::string_view name) const {
    for (const auto& [n, v] : m_entries)
      if (equalNoCase(n, name)) return v;
    return {};
  }

 private:
  std::vector<std::pair<std::string, std::string>> m_entries;
};

int hexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

}  // namespace

std::string multipartBoundary(std::string_view contentType) {
  const auto at = findNoCase(contentType, "boundary");
  if (at == std::string_view::npos) return {};
  std::string_view rest = contentType.substr(at + 8);
  rest = rest.substr(0, rest.find(';'));
  rest = trimControls(rest);
  if (!rest.empty() && rest.front() == '=') rest = trimControls(rest.substr(1));
  if (!rest.empty() && rest.front() == '"') {
    rest.remove_prefix(1);
    rest = rest.substr(0, rest.find('"'));
  }
  return std::string(rest);
}

std::optional<std::string> decodeBase64(std::string_view text) {
  std::unique_ptr<EVP_ENCODE_CTX, decltype(&EVP_ENCODE_CTX_free)> ctx(EVP_ENCODE_CTX_new(), EVP_ENCODE_CTX_free);
  if (!ctx) return std::nullopt;
  // The decoder takes line breaks but not blanks; drop every character below 33 first.
  std::string clean;
  clean.reserve(text.size());
  for (char ch : text)
    if (static_cast<unsigned char>(ch) >= 33) clean += ch;
  std::string out(clean.size() / 4 * 3 + 3, '\0');
  int written = 0;
  int last = 0;
  EVP_DecodeInit(ctx.get());
  auto* dst = reinterpret_cast<unsigned char*>(out.data());
  if (EVP_DecodeUpdate(ctx.get(), dst, &written, reinterpret_cast<const unsigned char*>(clean.data()),
                       static_cast<int>(clean.size())) < 0)
    return std::nullopt;
  if (EVP_DecodeFinal(ctx.get(), dst + written, &last) < 0) return std::nullopt;
  out.resize(static_cast<std::size_t>(written + last));
  return out;
}

std::string decodeQuotedPrintable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (ch != '=') {
      out += ch;
      continue;
    }
    // Soft line break: "=" at the end of a line joins it with the next one.
    std::size_t j = i + 1;
    while (j < text.size() && (text[j] == ' ' || text[j] == '\t')) ++j;
    if (j < text.size() && (text[j] == '\r' || text[j] == '\n')) {
      if (text[j] == '\r' && j + 1 < text.size() && text[j + 1] == '\n') ++j;
      i = j;
      continue;
    }
    if (j == text.size()) {
      i = j;
      continue;
    }
    if (i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
      continue;
    }
    out += ch;  // not an escape: keep it as written
  }
  return out;
}

MultipartForm MultipartForm::parse(std::string_view contentType, std::string_view body, const Limits& limits) {
  MultipartForm form;
  const std::string boundary = multipartBoundary(contentType);
  if (boundary.empty()) return form;
  if (body.size() > limits.maxBodySize)
    throw MultipartError("Form data of " + std::to_string(body.size()) + " bytes exceeds the limit of " +
                         std::to_string(limits.maxBodySize) + " bytes");
  const std::string delimiter = "--" + boundary;
  const std::string closing = delimiter + "--";

  LineReader reader(body);
  bool found = false;
  while (auto line = reader.next()) {
    if (equalNoCase(trimPadding(*line), delimiter)) {
      found = true;
      break;
    }
  }
  if (!found) return form;

  std::size_t parts = 0;
  bool another = true;
  while (another && !reader.atEnd()) {
    if (++parts > limits.maxParts)
      throw MultipartError("Form data has more than " + std::to_string(limits.maxParts) + " parts");

    std::vector<std::string> headerLines;
    while (auto line = reader.next()) {
      if (line->empty()) break;
      if ((line->front() == ' ' || line->front() == '\t') && !headerLines.empty()) {
        headerLines.back() += ' ';
        headerLines.back() += trimControls(*line);
      } else {
        headerLines.emplace_back(*line);
      }
    }
    const PartHeaders headers(headerLines);

    std::string value;
    bool firstLine = true;
    another = false;
    while (auto line = reader.next()) {
      const std::string_view bare = trimPadding(*line);
      if (equalNoCase(bare, delimiter)) {
        another = true;
        break;
      }
      if (equalNoCase(bare, closing)) break;
      if (!firstLine) value += "\r\n";
      value += *line;
      firstLine = false;
    }

    const std::string_view encoding = headers.value("Content-Transfer-Encoding");
    if (equalNoCase(encoding, "base64")) {
      auto decoded = decodeBase64(value);
      if (!decoded) throw MultipartError("Invalid base64 data in form field \"" + std::string(headers.value("name")) + "\"");
      value = std::move(*decoded);
    } else if (equalNoCase(encoding, "quoted-printable")) {
      value = decodeQuotedPrintable(value);
    }

    if (equalNoCase(headers.value("Content-Type"), "application/octet-stream")) continue;
    form.m_fields.push_back({std::string(headers.value("name")), std::string(trimControls(value))});
  }
  return form;
}

std::string MultipartForm::value(std::string_view name) const {
  const auto index = indexOf(name);
  return index ? m_fields[*index].value : std::string();
}

std::optional<std::size_t> MultipartForm::indexOf(std::string_view name) const {
  for (std::size_t i = 0; i < m_fields.size(); ++i)
    if (equalNoCase(m_fields[i].name, name)) return i;
  return std::nullopt;
}

}  // namespace geomuxer
