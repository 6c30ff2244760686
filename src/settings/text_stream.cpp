#include "settings/text_stream.h"

#include <array>
#include <istream>
#include <ostream>
#include <sstream>

namespace geomuxer {

namespace {

struct FormInfo {
  UnicodeForm form;
  std::string_view charset;
  std::string_view mark;
};

// UTF-32LE comes before UTF-16LE: FF FE 00 00 also starts with the UTF-16 mark.
constexpr std::array<FormInfo, 5> kForms{{
    {UnicodeForm::utf32le, "UTF-32LE", std::string_view("\xFF\xFE\x00\x00", 4)},
    {UnicodeForm::utf32be, "UTF-32BE", std::string_view("\x00\x00\xFE\xFF", 4)},
    {UnicodeForm::utf16le, "UTF-16LE", "\xFF\xFE"},
    {UnicodeForm::utf16be, "UTF-16BE", "\xFE\xFF"},
    {UnicodeForm::utf8, "UTF-8", "\xEF\xBB\xBF"},
}};

const FormInfo& infoOf(UnicodeForm form) {
  for (const auto& f : kForms) {
    if (f.form == form) return f;
  }
  return kForms.back();
}

struct NamedForm {
  std::string_view name;
  UnicodeForm form;
};
constexpr std::array<NamedForm, 9> kFormNames{{
    {"UTF-8", UnicodeForm::utf8},
    {"UTF-16", UnicodeForm::utf16le},
    {"UTF-16LE", UnicodeForm::utf16le},
    {"UTF-16BE", UnicodeForm::utf16be},
    {"UCS-2", UnicodeForm::utf16le},
    {"UTF-32", UnicodeForm::utf32le},
    {"UTF-32LE", UnicodeForm::utf32le},
    {"UTF-32BE", UnicodeForm::utf32be},
    {"UCS-4", UnicodeForm::utf32le},
}};

}  // namespace

std::string_view charsetName(UnicodeForm form) { return infoOf(form).charset; }
std::string_view byteOrderMark(UnicodeForm form) { return infoOf(form).mark; }

std::optional<DetectedMark> detectByteOrderMark(std::string_view head) {
  for (const auto& f : kForms) {
    if (head.substr(0, f.mark.size()) == f.mark) return DetectedMark{f.form, f.mark.size()};
  }
  return std::nullopt;
}

std::optional<UnicodeForm> unicodeFormOf(std::string_view charset) {
  for (const auto& n : kFormNames) {
    if (sameCharsetName(n.name, charset)) return n.form;
  }
  return std::nullopt;
}

std::size_t completeUtf8Prefix(std::string_view text) {
  // Look back at most three bytes for the lead byte of the last sequence.
  const std::size_t n = text.size();
  for (std::size_t back = 1; back <= 4 && back <= n; ++back) {
    const auto c = static_cast<unsigned char>(text[n - back]);
    if ((c & 0xC0) == 0x80) continue;  // continuation byte
    std::size_t need = 1;
    if (c >= 0xF0) need = 4;
    else if (c >= 0xE0) need = 3;
    else if (c >= 0xC0) need = 2;
    return need > back ? n - back : n;
  }
  return n;
}

// ---------------------------------------------------------------------------------------------

TextReader::TextReader(std::istream& in, std::string_view charset) : m_in(in) {
  std::array<char, 4> head{};
  m_in.read(head.data(), head.size());
  const auto got = static_cast<std::size_t>(m_in.gcount());
  m_atEnd = got < head.size();
  std::string_view bytes(head.data(), got);

  std::optional<UnicodeForm> form;
  if (const auto mark = detectByteOrderMark(bytes)) {
    form = mark->form;
    m_hadMark = true;
    bytes.remove_prefix(mark->length);
  } else {
    form = unicodeFormOf(charset);
  }
  m_pending.assign(bytes);

  if (form) {
    m_charset = std::string(charsetName(*form));
    m_utf8 = *form == UnicodeForm::utf8;
  } else {
    m_charset = charset.empty() ? Iconv::localCharset() : std::string(charset);
  }
  if (!m_utf8) m_iconv.emplace(m_charset, "UTF-8");
}

std::string TextReader::read(std::size_t maxBytes) {
  std::string raw = std::move(m_pending);
  m_pending.clear();
  if (!m_atEnd && maxBytes > 0) {
    const std::size_t start = raw.size();
    raw.resize(start + maxBytes);
    m_in.read(raw.data() + start, static_cast<std::streamsize>(maxBytes));
    const auto got = static_cast<std::size_t>(m_in.gcount());
    raw.resize(start + got);
    if (got < maxBytes) m_atEnd = true;
  }

  std::string out;
  if (m_utf8) {
    // A cut sequence is completed by the next chunk; at the end its bytes go out as they are.
    const std::size_t complete = m_atEnd ? raw.size() : completeUtf8Prefix(raw);
    m_pending.assign(raw, complete, std::string::npos);
    raw.resize(complete);
    return raw;
  }
  const std::size_t used = m_iconv->convertPart(raw, out);
  m_pending.assign(raw, used, std::string::npos);
  if (m_atEnd) {
    if (!m_pending.empty()) {
      m_pending.clear();
      throw CharsetError("Text in \"" + m_charset + "\" ends inside a character.");
    }
    m_iconv->finish(out);
  }
  return out;
}

std::string TextReader::readAll() {
  std::string out;
  while (!atEnd()) out += read();
  return out;
}

// ---------------------------------------------------------------------------------------------

TextWriter::TextWriter(std::ostream& out, std::string_view charset, Mode mode, Options options)
    : m_out(out) {
  const auto form = unicodeFormOf(charset);
  if (form) {
    m_charset = std::string(charsetName(*form));
  } else {
    m_charset = charset.empty() ? Iconv::localCharset() : std::string(charset);
  }
  if (!form || *form != UnicodeForm::utf8) m_iconv.emplace("UTF-8", m_charset);

  if (!form) return;
  bool writeMark = *form != UnicodeForm::utf8 || options.utf8ByteOrderMark;
  if (writeMark && mode == Mode::append) {
    m_out.seekp(0, std::ios::end);
    writeMark = m_out.tellp() == std::streampos(0);
    m_out.clear();  // an unseekable stream is taken as not empty
  }
  if (writeMark) {
    const auto mark = byteOrderMark(*form);
    m_out.write(mark.data(), static_cast<std::streamsize>(mark.size()));
  }
}

bool TextWriter::write(std::string_view utf8) {
  if (utf8.empty()) return true;
  if (m_iconv) {
    const std::string bytes = m_iconv->convert(utf8);
    m_out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  } else {
    m_out.write(utf8.data(), static_cast<std::streamsize>(utf8.size()));
  }
  return m_out.good();
}

bool TextWriter::finish() {
  m_out.flush();
  return m_out.good();
}

// ---------------------------------------------------------------------------------------------

std::string decodeText(std::string_view bytes, std::string_view charset, std::optional<DetectedMark>* mark) {
  const auto found = detectByteOrderMark(bytes);
  if (mark != nullptr) *mark = found;
  std::optional<UnicodeForm> form = found ? std::optional(found->form) : unicodeFormOf(charset);
  if (found) bytes.remove_prefix(found->length);
  if (form == UnicodeForm::utf8) return std::string(bytes);
  Iconv conv(form ? charsetName(*form) : charset, "UTF-8");
  return conv.convert(bytes);
}

std::string encodeText(std::string_view utf8, std::string_view charset, TextWriter::Options options) {
  std::ostringstream out;
  TextWriter writer(out, charset, TextWriter::Mode::write, options);
  (void)writer.write(utf8);
  return std::move(out).str();
}

}  // namespace geomuxer
