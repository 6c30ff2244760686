#include "server/request_guard.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <limits>

namespace geomuxer {

namespace {

constexpr std::array<std::string_view, 9> kMethods{"GET",     "HEAD",  "POST",  "PUT",    "DELETE",
                                                   "OPTIONS", "PATCH", "TRACE", "CONNECT"};

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool isTokenChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (std::isalnum(u)) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar); }

/// The comma-separated items of a header value, trimmed, empty ones left out.
std::vector<std::string_view> listItems(std::string_view value) {
  std::vector<std::string_view> items;
  while (true) {
    const auto comma = value.find(',');
    const std::string_view item = trim(value.substr(0, comma));
    if (!item.empty()) items.push_back(item);
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return items;
}

/// Decimal digits only; saturates at the largest value instead of wrapping.
std::optional<std::uint64_t> parseDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
      value = std::numeric_limits<std::uint64_t>::max();
    } else {
      value = value * 10 + digit;
    }
  }
  return value;
}

bool isCompression(std::string_view coding) {
  static constexpr std::array<std::string_view, 7> kCompressions{"gzip",       "x-gzip", "deflate", "compress",
                                                                 "x-compress", "br",     "zstd"};
  return std::find(kCompressions.begin(), kCompressions.end(), lower(coding)) != kCompressions.end();
}

}  // namespace

// --- the head --------------------------------------------------------------------------------

const std::string* RequestHead::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoreCase(key, name)) return &value;
  }
  return nullptr;
}

std::string RequestHead::path() const { return target.substr(0, target.find('?')); }

std::string RequestHead::query() const {
  const auto question = target.find('?');
  return question == std::string::npos ? std::string() : target.substr(question + 1);
}

// --- the reader ------------------------------------------------------------------------------

RequestReader::RequestReader(RequestLimits limits) : m_limits(limits) {}

void RequestReader::fail(int status, std::string text) {
  m_state = State::failed;
  m_errorStatus = status;
  m_errorText = std::move(text);
  m_body.clear();
}

bool RequestReader::collectLine(std::string_view bytes, std::size_t& used, std::size_t limit, int status) {
  const std::string_view rest = bytes.substr(used);
  const auto end = rest.find('\n');
  const std::string_view piece = rest.substr(0, end);
  // One more byte for the carriage return before the line feed.
  if (m_line.size() + piece.size() > limit + 1) {
    fail(status, "A line of the request is longer than " + std::to_string(limit) + " bytes");
    return false;
  }
  m_line.append(piece);
  if (end == std::string_view::npos) {
    used = bytes.size();
    return false;
  }
  used += end + 1;
  if (!m_line.empty() && m_line.back() == '\r') m_line.pop_back();
  if (m_line.size() > limit) {
    fail(status, "A line of the request is longer than " + std::to_string(limit) + " bytes");
    return false;
  }
  return true;
}

std::size_t RequestReader::feed(std::string_view bytes) {
  std::size_t used = 0;
  if (m_state == State::head) {
    while (used < bytes.size() && m_state == State::head) {
      const std::size_t before = used;
      const int status = m_haveRequestLine ? 431 : 414;
      const bool line = collectLine(bytes, used, m_limits.maxLine, status);
      // The head's size counts from the request line on; blank lines before it are counted apart.
      if (m_haveRequestLine) m_headBytes += used - before;
      if (m_state == State::failed) break;
      if (m_headBytes > m_limits.maxHead) {
        fail(431, "The request head is longer than " + std::to_string(m_limits.maxHead) + " bytes");
        break;
      }
      if (!line) break;
      const std::string text = std::move(m_line);
      m_line.clear();
      headLine(text);
    }
    m_bytesRead += used;
    return used;  // the caller looks at the head before any of the body
  }
  if (m_state != State::body) return 0;

  if (m_chunked) {
    used = feedChunked(bytes);
  } else {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(m_remaining, bytes.size()));
    if (m_keepBody) m_body.append(bytes.substr(0, take));
    m_bodySize += take;
    m_remaining -= take;
    used = take;
    if (m_remaining == 0) m_state = State::complete;
  }
  m_bytesRead += used;
  return used;
}

void RequestReader::headLine(std::string_view line) {
  if (!m_haveRequestLine) {
    if (line.empty()) {
      // A few blank lines before a request are tolerated, not an endless stream of them.
      if (++m_lineCount > m_limits.maxHeaderLines) fail(400, "The request line is missing");
      return;
    }
    const auto first = line.find(' ');
    const auto second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos) {
      fail(400, "The request line is not \"METHOD target HTTP/1.x\"");
      return;
    }
    const std::string_view method = line.substr(0, first);
    std::string_view target = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    if (std::find(kMethods.begin(), kMethods.end(), method) == kMethods.end()) {
      fail(400, "Unknown method");
      return;
    }
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || !std::isdigit(static_cast<unsigned char>(version[5])) ||
        version[6] != '.' || !std::isdigit(static_cast<unsigned char>(version[7]))) {
      fail(400, "The request line has no HTTP version");
      return;
    }
    if (version[5] != '1') {
      fail(505, "Only HTTP/1.x is spoken here");
      return;
    }
    if (target.empty() || std::any_of(target.begin(), target.end(), [](char c) {
          const auto u = static_cast<unsigned char>(c);
          return u <= 0x20 || u == 0x7f;
        })) {
      fail(400, "The request target holds control characters");
      return;
    }
    if (startsWithIgnoreCase(target, "http://") || startsWithIgnoreCase(target, "https://")) {
      // Absolute form: only the path and query count.
      const auto authority = target.find("//") + 2;
      const auto slash = target.find_first_of("/?", authority);
      target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
      m_head.target = target.front() == '?' ? "/" + std::string(target) : std::string(target);
    } else if (target.front() == '/' || (target == "*" && method == "OPTIONS")) {
      m_head.target = std::string(target);
    } else {
      fail(400, "The request target is not a path");
      return;
    }
    m_head.method = std::string(method);
    m_head.minorVersion = version[7] - '0';
    m_haveRequestLine = true;
    m_lineCount = 0;
    return;
  }
  if (line.empty()) {
    finishHead();
    return;
  }
  if (++m_lineCount > m_limits.maxHeaderLines) {
    fail(431, "The request has more than " + std::to_string(m_limits.maxHeaderLines) + " header lines");
    return;
  }
  if (line.front() == ' ' || line.front() == '\t') {
    fail(400, "Folded header lines are not accepted");
    return;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) {
    fail(400, "A header line is not \"Name: value\"");
    return;
  }
  const std::string_view value = trim(line.substr(colon + 1));
  if (std::any_of(value.begin(), value.end(), [](char c) { return c == '\0' || c == '\r'; })) {
    fail(400, "A header value holds control characters");
    return;
  }
  m_head.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
}

void RequestReader::finishHead() {
  std::vector<std::string_view> codings;
  std::optional<std::uint64_t> length;
  bool haveLength = false;
  for (const auto& [name, value] : m_head.headers) {
    if (equalsIgnoreCase(name, "Transfer-Encoding")) {
      for (const auto item : listItems(value)) codings.push_back(item);
      if (listItems(value).empty()) {
        fail(400, "An empty Transfer-Encoding");
        return;
      }
    } else if (equalsIgnoreCase(name, "Content-Length")) {
      for (const auto item : listItems(value)) {
        const auto parsed = parseDecimal(item);
        if (!parsed || (haveLength && length != parsed)) {
          fail(400, "The Content-Length is not one number");
          return;
        }
        length = parsed;
        haveLength = true;
      }
      if (listItems(value).empty()) {
        fail(400, "An empty Content-Length");
        return;
      }
    } else if (equalsIgnoreCase(name, "Content-Encoding")) {
      for (const auto item : listItems(value)) {
        if (!equalsIgnoreCase(item, "identity")) {
          fail(415, "Encoded request bodies are not accepted");
          return;
        }
      }
    } else if (equalsIgnoreCase(name, "Expect")) {
      if (!equalsIgnoreCase(value, "100-continue")) {
        fail(417, "Only \"Expect: 100-continue\" is understood");
        return;
      }
      m_expectContinue = true;
    }
  }

  if (!codings.empty()) {
    if (haveLength) {
      fail(400, "A request cannot have both a Content-Length and a Transfer-Encoding");
      return;
    }
    if (std::any_of(codings.begin(), codings.end(), isCompression)) {
      fail(415, "Compressed request bodies are not accepted");
      return;
    }
    if (codings.size() != 1 || !equalsIgnoreCase(codings.front(), "chunked")) {
      fail(501, "Only the chunked transfer coding is understood");
      return;
    }
    m_chunked = true;
    m_chunk = Chunk::size;
  } else if (haveLength) {
    if (*length > m_limits.maxBody) {
      fail(413, "A body of " + std::to_string(*length) + " bytes exceeds the limit of " +
                    std::to_string(m_limits.maxBody));
      return;
    }
    m_remaining = *length;
  }
  if (!hasBody()) m_expectContinue = false;
  m_state = hasBody() ? State::body : State::complete;
}

std::size_t RequestReader::feedChunked(std::string_view bytes) {
  std::size_t used = 0;
  while (used < bytes.size() && m_state == State::body) {
    switch (m_chunk) {
      case Chunk::size: {
        if (!collectLine(bytes, used, m_limits.maxLine, 400)) break;
        const std::string line = std::move(m_line);
        m_line.clear();
        chunkLine(line);
        break;
      }
      case Chunk::data: {
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(m_remaining, bytes.size() - used));
        if (m_keepBody) m_body.append(bytes.substr(used, take));
        m_bodySize += take;
        m_remaining -= take;
        used += take;
        if (m_remaining == 0) m_chunk = Chunk::dataEnd;
        break;
      }
      case Chunk::dataEnd: {
        if (!collectLine(bytes, used, 0, 400)) {
          if (m_state == State::failed) m_errorText = "A chunk does not end with a line end";
          break;
        }
        m_line.clear();
        m_chunk = Chunk::size;
        break;
      }
      case Chunk::trailer: {
        const std::size_t before = used;
        const bool line = collectLine(bytes, used, m_limits.maxLine, 431);
        m_headBytes += used - before;
        if (m_state == State::failed) break;
        if (m_headBytes > m_limits.maxHead) {
          fail(431, "The request head and trailer are longer than " + std::to_string(m_limits.maxHead) + " bytes");
          break;
        }
        if (!line) break;
        const bool last = m_line.empty();
        m_line.clear();
        if (last) {
          m_state = State::complete;
        } else if (++m_lineCount > m_limits.maxHeaderLines) {
          fail(431, "The request has more than " + std::to_string(m_limits.maxHeaderLines) + " header lines");
        }
        break;
      }
    }
  }
  return used;
}

void RequestReader::chunkLine(std::string_view line) {
  const std::string_view digits = trim(line.substr(0, line.find(';')));
  if (digits.empty() || digits.size() > 16 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
    fail(400, "A chunk size is not a hexadecimal number");
    return;
  }
  std::uint64_t size = 0;
  for (const char c : digits) {
    const auto u = static_cast<unsigned char>(c);
    size = size * 16 + static_cast<std::uint64_t>(std::isdigit(u) ? c - '0' : std::tolower(u) - 'a' + 10);
  }
  if (size == 0) {
    m_chunk = Chunk::trailer;
    return;
  }
  if (size > m_limits.maxBody - std::min(m_bodySize, m_limits.maxBody)) {
    fail(413, "The chunked body exceeds the limit of " + std::to_string(m_limits.maxBody) + " bytes");
    return;
  }
  m_remaining = size;
  m_chunk = Chunk::data;
}

// --- ranges ----------------------------------------------------------------------------------

RangeAnswer readRange(std::string_view header, std::uint64_t size, ByteRange& range) {
  std::string_view spec = trim(header);
  const auto equals = spec.find('=');
  if (equals == std::string_view::npos || !equalsIgnoreCase(trim(spec.substr(0, equals)), "bytes")) {
    return RangeAnswer::whole;
  }
  spec = trim(spec.substr(equals + 1));
  if (spec.find(',') != std::string_view::npos) return RangeAnswer::whole;  // one range or none
  const auto dash = spec.find('-');
  if (dash == std::string_view::npos) return RangeAnswer::whole;
  const std::string_view firstText = trim(spec.substr(0, dash));
  const std::string_view lastText = trim(spec.substr(dash + 1));
  if (firstText.empty()) {
    const auto suffix = parseDecimal(lastText);
    if (!suffix) return RangeAnswer::whole;
    if (*suffix == 0 || size == 0) return RangeAnswer::unsatisfiable;
    range.length = std::min(*suffix, size);
    range.first = size - range.length;
    return RangeAnswer::part;
  }
  const auto first = parseDecimal(firstText);
  if (!first) return RangeAnswer::whole;
  std::uint64_t last = std::numeric_limits<std::uint64_t>::max();
  if (!lastText.empty()) {
    const auto parsed = parseDecimal(lastText);
    if (!parsed || *parsed < *first) return RangeAnswer::whole;
    last = *parsed;
  }
  if (*first >= size) return RangeAnswer::unsatisfiable;
  range.first = *first;
  range.length = std::min(last, size - 1) - *first + 1;
  return RangeAnswer::part;
}

std::string_view reasonPhrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 206: return "Partial Content";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 416: return "Range Not Satisfiable";
    case 417: return "Expectation Failed";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
  }
}

}  // namespace geomuxer
