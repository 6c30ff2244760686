// Reading SML documents. The reader works on bytes: the markup is ASCII, and text is converted
// from the declared encoding piece by piece, so any ASCII-compatible set can be read.

#include <algorithm>
#include <cctype>
#include <fstream>
#include <istream>
#include <iterator>
#include <optional>

#include "settings/iconv.h"
#include "settings/sml_node.h"
#include "settings/text_stream.h"

namespace geomuxer {

namespace detail {
std::vector<SmlAttribute> parseAttributes(std::string_view text,
                                          const std::function<std::string(std::string_view)>& decode);
}

namespace {

constexpr std::string_view kUnexpectedEnd = "Unexpected end of file.";
// Deeper documents are refused so that reading (which recurses per level) cannot exhaust the stack.
constexpr int kMaxDepth = 256;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// A name as quoted in a message: a binary file can make the "name" megabytes long.
std::string quotedName(std::string_view name) {
  constexpr std::size_t kMax = 64;
  if (name.size() <= kMax) return std::string(name);
  return std::string(name.substr(0, kMax)) + "...";
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (std::tolower(x) != std::tolower(y)) return false;
  }
  return true;
}

}  // namespace

class SmlParser {
 public:
  SmlParser(std::string_view data, const SmlProgressHandler& progress, bool unicode)
      : m_data(data), m_progress(progress), m_unicode(unicode) {}

  void parseDocument(SmlNode& root) {
    m_root = &root;
    const std::string_view name = prolog(root);
    body(root, name, 0);
  }

 private:
  [[noreturn]] void fail(std::string_view message, std::size_t at) const {
    const auto [line, column] = lineAndColumn(at);
    throw SmlParseError(std::string(message), line, column, at);
  }

  std::pair<int, int> lineAndColumn(std::size_t at) const {
    at = std::min(at, m_data.size());
    int line = 1;
    int column = 1;
    for (std::size_t i = 0; i < at; ++i) {
      const char c = m_data[i];
      if (c == '\n') {
        ++line;
        column = 1;
      } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
        ++column;  // counts characters, not the continuation bytes of UTF-8
      }
    }
    return {line, column};
  }

  [[nodiscard]] bool atEnd() const { return m_pos >= m_data.size(); }
  char need() const {
    if (atEnd()) fail(kUnexpectedEnd, m_pos);
    return m_data[m_pos];
  }
  bool startsWith(std::string_view s) const { return m_data.substr(m_pos, s.size()) == s; }
  void skipBlanks() {
    while (!atEnd() && isBlank(m_data[m_pos])) ++m_pos;
  }
  // Moves past the next `what`; the end of the data is an error.
  std::size_t findFrom(std::size_t from, std::string_view what) const {
    const std::size_t at = m_data.find(what, from);
    if (at == std::string_view::npos) fail(kUnexpectedEnd, m_data.size());
    return at;
  }
  void skipComment() {  // m_pos at the "!--"
    m_pos = findFrom(m_pos + 3, "-->") + 3;
  }
  std::string_view tagName() {  // up to a blank, '>' or '/'
    const std::size_t start = m_pos;
    while (true) {
      const char c = need();
      if (isBlank(c) || c == '>' || c == '/') break;
      ++m_pos;
    }
    return m_data.substr(start, m_pos - start);
  }

  // Declaration, document type and comments before the root; returns the root's name with m_pos
  // on the byte after it.
  std::string_view prolog(SmlNode& root) {
    while (true) {
      m_pos = findFrom(m_pos, "<") + 1;
      if (startsWith("!--")) {
        skipComment();
        continue;
      }
      const std::size_t tokenAt = m_pos;
      const std::string_view token = tagName();
      if (iequals(token, "?xml")) {
        skipBlanks();
        const std::size_t start = m_pos;
        const std::size_t q = findFrom(m_pos, "?");
        std::string_view header = m_data.substr(start, q - start);
        while (!header.empty() && isBlank(header.back())) header.remove_suffix(1);
        root.m_header = header;
        m_pos = q + 1;
        if (need() != '>') fail("Expecting \">\"", m_pos);
        ++m_pos;
      } else if (iequals(token, "!DOCTYPE")) {
        skipBlanks();
        const std::size_t start = m_pos;
        const std::size_t gt = findFrom(m_pos, ">");
        root.m_docType = m_data.substr(start, gt - start);
        m_pos = gt + 1;
      } else {
        if (!isValidSmlName(token)) fail("Invalid Node name \"" + quotedName(token) + "\"", tokenAt);
        return token;
      }
    }
  }

  // The rest of one element: m_pos is on the byte after its name.
  void body(SmlNode& node, std::string_view name, int depth) {
    node.m_name = name;
    if (startTag(node)) {
      content(node, depth);
    }
    if (m_progress && m_progress(node, m_data.size(), m_pos) == SmlProgress::abort) {
      const auto [line, column] = lineAndColumn(m_pos);
      throw SmlAbortError("Aborted parsing.", line, column, m_pos);
    }
  }

  // Attributes up to '>' (true: content follows) or "/>" (false: an empty element).
  bool startTag(SmlNode& node) {
    while (true) {
      const char c = need();
      if (c == '/') {
        ++m_pos;
        if (need() == '>') {
          ++m_pos;
          return false;
        }
      } else if (c == '>') {
        ++m_pos;
        return true;
      } else if (isLetter(c) || c == '_') {
        const std::size_t start = m_pos;
        char quote = 0;
        while (true) {
          const char d = need();
          if (quote != 0) {
            if (d == quote) quote = 0;
          } else if (d == '"' || d == '\'') {
            quote = d;
          } else if (d == '>' || d == '/') {
            break;
          }
          ++m_pos;
        }
        const std::string_view text = m_data.substr(start, m_pos - start);
        try {
          auto list = detail::parseAttributes(text, [&](std::string_view raw) { return decode(raw); });
          for (auto& a : list) node.m_attributes.push_back(std::move(a));
        } catch (const std::exception& e) {
          fail(e.what(), start);
        }
      } else {
        ++m_pos;
      }
    }
  }

  // Text, children and comments up to the closing tag.
  void content(SmlNode& node, int depth) {
    while (true) {
      skipBlanks();
      const std::size_t start = m_pos;
      const std::size_t lt = findFrom(m_pos, "<");
      m_pos = lt + 1;
      const char next = need();
      std::string_view text = m_data.substr(start, lt - start);
      const bool childFollows = next != '/' && next != '!';
      if (childFollows) {
        // The blanks before a child element are layout.
        while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
      }
      if (!text.empty()) {
        try {
          node.m_value += decode(text);
        } catch (const std::exception& e) {
          fail(e.what(), start);
        }
      }

      if (next == '/') {
        ++m_pos;
        skipBlanks();
        const std::size_t gt = findFrom(m_pos, ">");
        if (!iequals(m_data.substr(m_pos, gt - m_pos), node.m_name)) {
          fail("No matching Tag for \"" + node.m_name + "\"", m_pos);
        }
        m_pos = gt + 1;
        return;
      }
      if (next == '!') {
        if (!startsWith("!--")) fail("Unexpected \"<!\" inside an element.", lt);
        skipComment();
        continue;
      }
      const std::size_t tokenAt = m_pos;
      const std::string_view childName = tagName();
      if (!isValidSmlName(childName)) fail("Invalid Node name \"" + quotedName(childName) + "\"", tokenAt);
      if (depth + 1 >= kMaxDepth) fail("Elements are nested too deeply.", tokenAt);
      auto& child = *node.m_children.emplace_back(new SmlNode(&node, {}));
      body(child, childName, depth + 1);
    }
  }

  // Raw text or attribute value to UTF-8: first from the declared set, then the references.
  std::string decode(std::string_view raw) {
    if (!m_converterChecked) {
      m_converterChecked = true;
      const std::string declared = m_root->encoding();
      // With a byte order mark the text is UTF-8 already; a declared Unicode form without a mark
      // cannot be what the bytes are (they were read as ASCII markup), so it is left alone too.
      if (!m_unicode && !declared.empty() && !unicodeFormOf(declared)) m_converter.emplace(declared, "UTF-8");
    }
    if (!m_converter) return smlUnescape(raw);
    return smlUnescape(m_converter->convert(raw));
  }

  std::string_view m_data;
  const SmlProgressHandler& m_progress;
  bool m_unicode;
  std::size_t m_pos = 0;
  SmlNode* m_root = nullptr;
  bool m_converterChecked = false;
  std::optional<Iconv> m_converter;
};

void SmlNode::parse(std::string_view data, const SmlProgressHandler& progress) {
  clear();
  m_header.clear();
  m_docType.clear();
  m_name.clear();

  std::string converted;
  bool unicode = false;
  if (const auto mark = detectByteOrderMark(data)) {
    unicode = true;
    if (mark->form == UnicodeForm::utf8) {
      data.remove_prefix(mark->length);
    } else {
      try {
        converted = decodeText(data);
      } catch (const CharsetError& e) {
        throw SmlParseError(e.what(), 1, 1, 0);
      }
      data = converted;
    }
  }
  SmlParser parser(data, progress, unicode);
  parser.parseDocument(*this);
}

void SmlNode::load(std::istream& in, const SmlProgressHandler& progress) {
  std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) throw SmlParseError("The document cannot be read.", 1, 1, 0);
  parse(data, progress);
}

void SmlNode::loadFromFile(const std::string& fileName, const SmlProgressHandler& progress) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw SmlError("Cannot open \"" + fileName + "\".");
  load(in, progress);
}

}  // namespace geomuxer
