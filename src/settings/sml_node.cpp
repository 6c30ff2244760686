#include "settings/sml_node.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <ostream>
#include <utility>

#include "core/number_text.h"
#include "settings/text_stream.h"

namespace geomuxer {

namespace {

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool isNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool isNameChar(char c) {
  return isNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':';
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

[[noreturn]] void invalidEntity() { throw SmlError("There is an invalid Entity"); }

void checkAttributeName(std::string_view name) {
  if (isValidSmlName(name)) return;
  // Damaged input can make the "name" very long; the message keeps its start.
  constexpr std::size_t kMax = 64;
  const std::string shown = name.size() <= kMax ? std::string(name) : std::string(name.substr(0, kMax)) + "...";
  throw SmlError("\"" + shown + "\" is not a valid attribute name.");
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Escapes a value and, unlike smlEscape, also the blanks at its ends: the reader drops the blanks
// that lay a document out, and these must survive a round trip.
void appendEncodedValue(std::string& out, std::string_view value) {
  std::size_t lead = 0;
  while (lead < value.size() && isBlank(value[lead])) ++lead;
  std::size_t trail = value.size();
  while (trail > lead && isBlank(value[trail - 1])) --trail;
  auto blanks = [&out](std::string_view part) {
    for (const char c : part) {
      out += "&#";
      out += c == ' ' ? "032" : c == '\t' ? "009" : c == '\r' ? "013" : "010";
      out += ';';
    }
  };
  blanks(value.substr(0, lead));
  out += smlEscape(value.substr(lead, trail - lead));
  blanks(value.substr(trail));
}

constexpr std::string_view kCrLf = "\r\n";

}  // namespace

// ---------------------------------------------------------------------------------------------
// Texts

std::string_view boolToText(bool value) { return value ? "true" : "false"; }

bool textToBool(std::string_view text) {
  static constexpr std::array<std::string_view, 6> kTrue{"true", "t", "1", "yes", "y", "-1"};
  return std::any_of(kTrue.begin(), kTrue.end(), [text](std::string_view t) { return iequals(t, text); });
}

bool isValidSmlName(std::string_view name) {
  return !name.empty() && isNameStart(name.front()) && std::all_of(name.begin() + 1, name.end(), isNameChar);
}

std::string smlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '"': out += "&#034;"; break;
      case '&': out += "&#038;"; break;
      case '<': out += "&#060;"; break;
      case '>': out += "&#062;"; break;
      default: out += c;
    }
  }
  return out;
}

// References are resolved from the last one to the first, and a reference reaches to the next ';'
// of the text as it is at that moment. Resolved text is kept reversed in `rev` so that each step
// is cheap; `semis` holds the places of the ';' in it.
std::string smlUnescape(std::string_view text) {
  if (text.find('&') == std::string_view::npos) return std::string(text);
  std::string rev;
  rev.reserve(text.size());
  std::vector<std::size_t> semis;
  auto push = [&](char c) {
    if (c == ';') semis.push_back(rev.size());
    rev.push_back(c);
  };
  for (std::size_t p = text.size(); p-- > 0;) {
    const char c = text[p];
    if (c != '&' || rev.empty() || rev.back() != '#' || semis.empty()) {
      push(c);
      continue;
    }
    // rev.back() is '#', the ';' is at rev[semis.back()]; the digits lie between them.
    const std::size_t semi = semis.back();
    std::size_t i = rev.size() - 1;  // at '#'
    bool hex = false;
    if (i > semi && rev[i - 1] == 'x') {
      hex = true;
      --i;
    }
    if (i - 1 == semi) invalidEntity();  // no digits
    std::uint32_t value = 0;
    for (std::size_t k = i; k-- > semi + 1;) {
      const char d = rev[k];
      int digit = -1;
      if (d >= '0' && d <= '9') digit = d - '0';
      else if (hex && d >= 'a' && d <= 'f') digit = d - 'a' + 10;
      else if (hex && d >= 'A' && d <= 'F') digit = d - 'A' + 10;
      if (digit < 0) invalidEntity();
      value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit);
      if (value > 0x10FFFF) invalidEntity();
    }
    if (value == 0 || (value >= 0xD800 && value <= 0xDFFF)) invalidEntity();
    rev.resize(semi);
    semis.pop_back();
    std::string bytes;
    appendUtf8(bytes, value);
    for (auto it = bytes.rbegin(); it != bytes.rend(); ++it) push(*it);
  }
  std::reverse(rev.begin(), rev.end());
  return rev;
}

// An empty value is written as name="" rather than as the bare name: the reader takes both, and
// documents that leave here as XML must stay well-formed.
std::string SmlAttribute::asText() const { return name + "=\"" + smlEscape(value) + "\""; }

namespace detail {

std::vector<SmlAttribute> parseAttributes(std::string_view text,
                                          const std::function<std::string(std::string_view)>& decode) {
  std::vector<SmlAttribute> result;
  std::size_t pos = 0;
  while (pos < text.size()) {
    // One token: up to a blank, or to the end of a quoted part.
    std::size_t end = pos;
    while (end < text.size() && text[end] != ' ') {
      const char c = text[end];
      if (c == '"' || c == '\'') {
        const std::size_t close = text.find(c, end + 1);
        end = close == std::string_view::npos ? text.size() : close + 1;
        break;
      }
      ++end;
    }
    const std::string_view token = trimmed(text.substr(pos, end - pos));
    pos = end < text.size() && text[end] == ' ' ? end + 1 : end;
    if (token.empty()) break;  // two blanks in a row end the list

    const std::size_t eq = token.find('=');
    if (eq == std::string_view::npos) {
      checkAttributeName(token);
      result.push_back({std::string(token), {}});
      continue;
    }
    const std::string_view name = trimmed(token.substr(0, eq));
    checkAttributeName(name);
    std::string_view raw;
    const std::size_t q1 = token.find('"', eq + 1);
    const std::size_t q2 = q1 == std::string_view::npos ? q1 : token.find('"', q1 + 1);
    if (q2 != std::string_view::npos) {
      raw = token.substr(q1 + 1, q2 - q1 - 1);
    } else {
      const std::size_t a1 = token.find('\'');
      const std::size_t a2 = a1 == std::string_view::npos ? a1 : token.find('\'', a1 + 1);
      if (a2 == std::string_view::npos) throw SmlError("Expected either a single or a double quote.");
      raw = token.substr(a1 + 1, a2 - a1 - 1);
    }
    result.push_back({std::string(name), decode(raw)});
  }
  return result;
}

}  // namespace detail

std::vector<SmlAttribute> parseSmlAttributes(std::string_view text) {
  return detail::parseAttributes(text, [](std::string_view raw) { return smlUnescape(raw); });
}

std::string smlAttributesText(const std::vector<SmlAttribute>& attributes) {
  std::string out;
  for (const auto& a : attributes) {
    if (!out.empty()) out += ' ';
    out += a.asText();
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// The tree

SmlNode::SmlNode(std::string_view name) {
  if (!name.empty()) setName(name);
}

SmlNode::SmlNode(SmlNode* parent, std::string_view name) : m_parent(parent), m_name(name) {}

// clear() frees the subtree without recursing per level.
SmlNode::~SmlNode() { clear(); }

void SmlNode::setName(std::string_view name) {
  if (!isValidSmlName(name)) {
    throw SmlError("Sorry, but \"" + std::string(name) + "\" is not a valid name for a Node");
  }
  m_name = name;
}

void SmlNode::setInteger(long long value) { m_value = std::to_string(value); }
void SmlNode::setFloat(double value) { m_value = formatGeneral(value); }
void SmlNode::setBool(bool value) { m_value = boolToText(value); }

std::string SmlNode::encoding() const {
  if (m_header.empty()) return {};
  for (const auto& a : parseSmlAttributes(m_header)) {
    if (iequals(a.name, "encoding")) return a.value;
  }
  return {};
}

void SmlNode::setEncoding(std::string_view encoding) {
  if (m_header.empty()) {
    m_header = "version=\"1.0\" encoding=\"" + std::string(encoding) + "\"";
    return;
  }
  auto items = parseSmlAttributes(m_header);
  auto it = std::find_if(items.begin(), items.end(), [](const SmlAttribute& a) { return iequals(a.name, "encoding"); });
  if (it != items.end()) {
    it->value = encoding;
  } else {
    items.push_back({"encoding", std::string(encoding)});
  }
  // A '?' would end the declaration early; inside an item it can only be a value's.
  m_header.clear();
  for (const char c : smlAttributesText(items)) {
    if (c == '?') {
      m_header += "&#063;";
    } else {
      m_header += c;
    }
  }
}

const SmlAttribute* SmlNode::findAttribute(std::string_view name) const {
  for (const auto& a : m_attributes) {
    if (iequals(a.name, name)) return &a;
  }
  return nullptr;
}

SmlNode& SmlNode::setAttribute(std::string_view name, std::string_view value) {
  for (auto& a : m_attributes) {
    if (iequals(a.name, name)) {
      a.value = value;
      return *this;
    }
  }
  return addAttribute(name, value);
}

SmlNode& SmlNode::addAttribute(std::string_view name, std::string_view value) {
  checkAttributeName(name);
  m_attributes.push_back({std::string(name), std::string(value)});
  return *this;
}

void SmlNode::removeAttribute(std::string_view name) {
  std::erase_if(m_attributes, [name](const SmlAttribute& a) { return iequals(a.name, name); });
}

SmlNode& SmlNode::addChild(std::string_view name, std::string_view value) {
  if (!isValidSmlName(name)) {
    throw SmlError("Sorry, but \"" + std::string(name) + "\" is not a valid name for a Node");
  }
  auto& child = *m_children.emplace_back(new SmlNode(this, name));
  child.m_value = value;
  return child;
}

void SmlNode::removeChild(std::size_t index) {
  if (index < m_children.size()) m_children.erase(m_children.begin() + static_cast<std::ptrdiff_t>(index));
}

const SmlNode* SmlNode::findNode(std::string_view path) const {
  const SmlNode* node = this;
  while (!path.empty()) {
    const std::size_t sep = path.find('\\');
    const std::string_view step = path.substr(0, sep);
    const SmlNode* next = nullptr;
    for (const auto& c : node->m_children) {
      if (iequals(c->m_name, step)) {
        next = c.get();
        break;
      }
    }
    if (next == nullptr) return nullptr;
    node = next;
    path = sep == std::string_view::npos ? std::string_view{} : path.substr(sep + 1);
  }
  return node;
}

SmlNode* SmlNode::findNode(std::string_view path) {
  return const_cast<SmlNode*>(std::as_const(*this).findNode(path));
}

SmlNode& SmlNode::createNode(std::string_view path) {
  SmlNode* node = this;
  while (!path.empty()) {
    const std::size_t sep = path.find('\\');
    const std::string_view step = path.substr(0, sep);
    SmlNode* next = nullptr;
    for (const auto& c : node->m_children) {
      if (iequals(c->m_name, step)) {
        next = c.get();
        break;
      }
    }
    node = next != nullptr ? next : &node->addChild(step);
    path = sep == std::string_view::npos ? std::string_view{} : path.substr(sep + 1);
  }
  return *node;
}

void SmlNode::clear() {
  m_attributes.clear();
  // Deep trees are freed from the leaves up so that destruction does not recurse per level.
  while (!m_children.empty()) {
    std::vector<std::unique_ptr<SmlNode>> stack;
    stack.swap(m_children);
    while (!stack.empty()) {
      auto node = std::move(stack.back());
      stack.pop_back();
      for (auto& c : node->m_children) stack.push_back(std::move(c));
      node->m_children.clear();
    }
  }
  m_value.clear();
}

// ---------------------------------------------------------------------------------------------
// Writing

void SmlNode::writeTo(std::string& out, int indent) const {
  const std::string pad(static_cast<std::size_t>(indent), ' ');
  out += pad;
  out += '<';
  out += m_name;
  for (const auto& a : m_attributes) {
    out += ' ';
    out += a.asText();
  }
  if (m_value.empty() && m_children.empty()) {
    out += "/>";
    out += kCrLf;
    return;
  }
  out += '>';
  if (!m_children.empty()) out += kCrLf;
  if (!m_value.empty()) {
    if (m_children.empty()) {
      appendEncodedValue(out, m_value);
    } else {
      out += pad;
      out += "  ";
      appendEncodedValue(out, m_value);
      out += kCrLf;  // the encoded value never ends in a raw line break
    }
  }
  for (const auto& c : m_children) c->writeTo(out, indent + 2);
  if (!m_children.empty()) out += pad;
  out += "</";
  out += m_name;
  out += '>';
  out += kCrLf;
}

std::string SmlNode::asText(std::string_view charset) const {
  if (m_name.empty()) throw SmlError("Sorry, but \"\" is not a valid name for a Node");
  std::string text;
  std::string header = m_header;
  if (m_parent == nullptr) {
    // A root always declares the set it is written in.
    // A declaration that cannot be read as items is replaced rather than written back unreadable.
    SmlNode probe;
    probe.m_header = m_header;
    try {
      probe.setEncoding(charset.empty() ? "UTF-8" : charset);
    } catch (const SmlError&) {
      probe.m_header.clear();
      probe.setEncoding(charset.empty() ? "UTF-8" : charset);
    }
    header = std::move(probe.m_header);
  }
  if (!header.empty()) {
    text += "<?xml ";
    text += header;
    text += "?>";
    text += kCrLf;
  }
  if (!m_docType.empty()) {
    text += "<!DOCTYPE ";
    text += m_docType;
    text += '>';
    text += kCrLf;
  }
  writeTo(text, 0);
  if (m_parent != nullptr || charset.empty() || unicodeFormOf(charset) == UnicodeForm::utf8) return text;
  return encodeText(text, charset);
}

bool SmlNode::save(std::ostream& out, std::string_view charset) const {
  const std::string text = asText(charset);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.flush();
  return out.good();
}

}  // namespace geomuxer
