#include "settings/iconv.h"

#include <iconv.h>
#include <langinfo.h>

#include <cctype>
#include <cerrno>
#include <utility>

namespace geomuxer {

namespace {

constexpr std::size_t kChunk = 4096;

iconv_t handleOf(void* h) { return static_cast<iconv_t>(h); }

std::string describe(const std::string& from, const std::string& to) {
  return "\"" + from + "\" to \"" + to + "\"";
}

std::string canonical(std::string_view name) {
  std::string out;
  for (const char c : name) {
    if (c == '-' || c == '_') continue;
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return out;
}

}  // namespace

bool sameCharsetName(std::string_view a, std::string_view b) { return canonical(a) == canonical(b); }

std::string Iconv::localCharset() {
  const char* name = nl_langinfo(CODESET);
  return name != nullptr && *name != '\0' ? std::string(name) : std::string("ANSI_X3.4-1968");
}

Iconv::Iconv(std::string_view fromCharset, std::string_view toCharset)
    : m_from(fromCharset.empty() ? localCharset() : std::string(fromCharset)),
      m_to(toCharset.empty() ? localCharset() : std::string(toCharset)) {
  iconv_t h = iconv_open(m_to.c_str(), m_from.c_str());
  if (h == reinterpret_cast<iconv_t>(-1)) {
    throw CharsetError("Cannot convert text from " + describe(m_from, m_to) + ".");
  }
  m_handle = h;
}

Iconv::~Iconv() {
  if (m_handle != nullptr) iconv_close(handleOf(m_handle));
}

Iconv::Iconv(Iconv&& other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr)),
      m_from(std::move(other.m_from)),
      m_to(std::move(other.m_to)) {}

Iconv& Iconv::operator=(Iconv&& other) noexcept {
  if (this != &other) {
    if (m_handle != nullptr) iconv_close(handleOf(m_handle));
    m_handle = std::exchange(other.m_handle, nullptr);
    m_from = std::move(other.m_from);
    m_to = std::move(other.m_to);
  }
  return *this;
}

std::size_t Iconv::convertPart(std::string_view text, std::string& out) {
  if (m_handle == nullptr) throw CharsetError("Character set converter is closed.");
  // iconv's interface takes non-const input pointers but never writes through them.
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  while (inLeft > 0) {
    const std::size_t start = out.size();
    const std::size_t room = kChunk + inLeft * 2;
    out.resize(start + room);
    char* dst = out.data() + start;
    std::size_t outLeft = room;
    const std::size_t rc = iconv(handleOf(m_handle), &in, &inLeft, &dst, &outLeft);
    const int err = errno;
    out.resize(start + (room - outLeft));
    if (rc != static_cast<std::size_t>(-1)) break;
    if (err == E2BIG) continue;
    if (err == EINVAL) break;  // incomplete sequence at the end: leave it to the next piece
    const auto at = static_cast<std::size_t>(in - text.data());
    throw CharsetError("Text cannot be converted from " + describe(m_from, m_to) + " (byte " +
                       std::to_string(at + 1) + ").");
  }
  return text.size() - inLeft;
}

void Iconv::finish(std::string& out) {
  if (m_handle == nullptr) return;
  char buf[64];
  char* dst = buf;
  std::size_t outLeft = sizeof buf;
  iconv(handleOf(m_handle), nullptr, nullptr, &dst, &outLeft);
  out.append(buf, sizeof buf - outLeft);
  iconv(handleOf(m_handle), nullptr, nullptr, nullptr, nullptr);
}

std::string Iconv::convert(std::string_view text) {
  std::string out;
  if (text.empty()) return out;
  if (m_handle == nullptr) throw CharsetError("Character set converter is closed.");
  out.reserve(text.size() + text.size() / 2);
  // A failure mid-way must not leave shift state behind for the next text.
  iconv(handleOf(m_handle), nullptr, nullptr, nullptr, nullptr);
  const std::size_t used = convertPart(text, out);
  if (used != text.size()) {
    iconv(handleOf(m_handle), nullptr, nullptr, nullptr, nullptr);
    throw CharsetError("Text ends inside a character when converting from " + describe(m_from, m_to) +
                       ".");
  }
  finish(out);
  return out;
}

}  // namespace geomuxer
