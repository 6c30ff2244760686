#pragma once
// The request guard: reads one HTTP/1.x request from the bytes a connection delivers and holds it
// to fixed bounds before anything else sees it — line lengths, header count, the size of the head,
// the body's size whatever its framing (chunked bodies are counted as they arrive), no compressed
// or otherwise encoded bodies. No I/O: the server feeds it what the socket gave and watches its
// state; the deadlines are the server's.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace geomuxer {

struct RequestLimits {
  std::size_t maxLine = 8 * 1024;        ///< the request line, each header line, each chunk-size line
  std::size_t maxHeaderLines = 100;      ///< header and trailer lines together
  std::size_t maxHead = 64 * 1024;       ///< the whole head, so that 100 long lines cannot add up
  std::size_t maxBody = 1024 * 1024;     ///< the body as delivered, after chunked framing is removed
};

struct RequestHead {
  std::string method;
  std::string target;   ///< as sent: origin form ("/a?b"), absolute form reduced to it
  int minorVersion = 1; ///< HTTP/1.x
  std::vector<std::pair<std::string, std::string>> headers;  ///< in order, values trimmed

  /// The first header of this name (case does not matter), or nothing.
  [[nodiscard]] const std::string* header(std::string_view name) const;
  [[nodiscard]] std::string path() const;   ///< target before '?'
  [[nodiscard]] std::string query() const;  ///< target after '?', empty when none
};

class RequestReader {
 public:
  enum class State {
    head,      ///< still reading the request line and headers
    body,      ///< head accepted; the body follows
    complete,  ///< a whole request is here
    failed,    ///< refused: see errorStatus()
  };

  explicit RequestReader(RequestLimits limits = {});

  /// Takes the next bytes of the connection and returns how many of them were used. Stops at the
  /// end of the head (so the caller can look at it before the body is read) and at the end of the
  /// request; bytes after the request are not used.
  std::size_t feed(std::string_view bytes);

  [[nodiscard]] State state() const { return m_state; }
  /// 400, 413, 414, 415, 417, 431, 501 or 505 once failed.
  [[nodiscard]] int errorStatus() const { return m_errorStatus; }
  [[nodiscard]] const std::string& errorText() const { return m_errorText; }

  [[nodiscard]] const RequestHead& head() const { return m_head; }
  /// Whether the body is kept; when not, it is still read and counted, then dropped. Set it
  /// when the head is done, before feeding the body.
  void setKeepBody(bool keep) { m_keepBody = keep; }
  [[nodiscard]] const std::string& body() const { return m_body; }
  [[nodiscard]] std::string takeBody() { return std::move(m_body); }
  /// The client waits for "100 Continue" before it sends the body.
  [[nodiscard]] bool expectsContinue() const { return m_expectContinue; }
  /// Whether the request has a body at all (a length above zero, or chunked).
  [[nodiscard]] bool hasBody() const { return m_chunked || m_remaining > 0; }
  /// Every byte that came in so far, head and body, framing included.
  [[nodiscard]] std::size_t bytesRead() const { return m_bytesRead; }

 private:
  enum class Chunk { size, data, dataEnd, trailer };

  void fail(int status, std::string text);
  /// Takes one line of the head (without its line end).
  void headLine(std::string_view line);
  void finishHead();
  std::size_t feedChunked(std::string_view bytes);
  /// Collects a line into m_line; true when it is complete. `limit` bounds its length.
  bool collectLine(std::string_view bytes, std::size_t& used, std::size_t limit, int status);
  void chunkLine(std::string_view line);

  RequestLimits m_limits;
  State m_state = State::head;
  int m_errorStatus = 0;
  std::string m_errorText;
  RequestHead m_head;
  bool m_haveRequestLine = false;
  std::size_t m_headBytes = 0;
  std::size_t m_lineCount = 0;
  std::string m_line;

  bool m_keepBody = true;
  bool m_expectContinue = false;
  bool m_chunked = false;
  Chunk m_chunk = Chunk::size;
  std::uint64_t m_remaining = 0;  // of the body (length framing) or of the current chunk
  std::string m_body;
  std::size_t m_bodySize = 0;
  std::size_t m_bytesRead = 0;
};

/// A single byte range of a file, resolved against its size.
struct ByteRange {
  std::uint64_t first = 0;
  std::uint64_t length = 0;
};

enum class RangeAnswer {
  whole,          ///< no usable Range header: send the whole file
  part,           ///< send `range` with 206
  unsatisfiable,  ///< 416
};

/// Reads a Range header for a file of `size` bytes. Only one "bytes=" range is honoured; several
/// ranges, other units and broken headers are ignored (the whole file is sent).
[[nodiscard]] RangeAnswer readRange(std::string_view header, std::uint64_t size, ByteRange& range);

/// The reason phrase of a status code.
[[nodiscard]] std::string_view reasonPhrase(int status);

}  // namespace geomuxer
