// The request guard on its own: framing, limits at their edges, and the same answer however the
// bytes are split.

#include <gtest/gtest.h>

#include <string>

#include "server/request_guard.h"

namespace geomuxer {
namespace {

using State = RequestReader::State;

/// Feeds `bytes` in pieces of `piece` bytes, as a socket might deliver them; stops when the
/// reader stops taking bytes.
RequestReader readAll(const std::string& bytes, std::size_t piece = 1 << 20, RequestLimits limits = {}) {
  RequestReader reader(limits);
  std::size_t at = 0;
  while (at < bytes.size() && (reader.state() == State::head || reader.state() == State::body)) {
    const std::string_view chunk = std::string_view(bytes).substr(at, piece);
    std::size_t used = 0;
    while (used < chunk.size() && (reader.state() == State::head || reader.state() == State::body)) {
      const std::size_t n = reader.feed(chunk.substr(used));
      if (n == 0 && reader.state() != State::body) break;
      used += n;
    }
    at += used;
    if (used < chunk.size()) break;
  }
  return reader;
}

TEST(RequestGuard, ReadsHeadAndBodyWhateverTheSplit) {
  const std::string chunked =
      "POST /onclientpos?a=1 HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5;ext=1\r\nhello\r\n6\r\n world\r\n0\r\nTrailer: t\r\n\r\n";
  const std::string sized = "POST /x HTTP/1.0\nContent-Length: 11\n\nhello world";
  for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{1 << 20}}) {
    SCOPED_TRACE(piece);
    auto a = readAll(chunked, piece);
    ASSERT_EQ(a.state(), State::complete) << a.errorText();
    EXPECT_EQ(a.body(), "hello world");
    EXPECT_EQ(a.head().method, "POST");
    EXPECT_EQ(a.head().path(), "/onclientpos");
    EXPECT_EQ(a.head().query(), "a=1");
    ASSERT_NE(a.head().header("host"), nullptr);
    EXPECT_EQ(*a.head().header("HOST"), "x");
    auto b = readAll(sized, piece);
    ASSERT_EQ(b.state(), State::complete) << b.errorText();
    EXPECT_EQ(b.body(), "hello world");
    EXPECT_EQ(b.head().minorVersion, 0);
  }
}

TEST(RequestGuard, StopsAtTheEndOfTheHeadAndOfTheRequest) {
  const std::string request = "POST /x HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcEXTRA";
  RequestReader reader;
  const std::size_t head = reader.feed(request);
  EXPECT_EQ(reader.state(), State::body);
  EXPECT_EQ(request.substr(head), "abcEXTRA");
  reader.setKeepBody(false);  // read and counted, not kept
  EXPECT_EQ(reader.feed(std::string_view(request).substr(head)), 3u);
  EXPECT_EQ(reader.state(), State::complete);
  EXPECT_TRUE(reader.body().empty());
}

TEST(RequestGuard, LineAndHeaderLimitsAtTheirEdges) {
  const RequestLimits limits{.maxLine = 100, .maxHeaderLines = 3, .maxHead = 1000, .maxBody = 10};
  auto line = [](std::size_t length) { return "X: " + std::string(length - 3, 'v') + "\r\n"; };
  EXPECT_EQ(readAll("GET / HTTP/1.1\r\n" + line(100) + "\r\n", 1 << 20, limits).state(), State::complete);
  auto longLine = readAll("GET / HTTP/1.1\r\n" + line(101) + "\r\n", 1 << 20, limits);
  EXPECT_EQ(longLine.errorStatus(), 431);
  // A line that never ends is refused as soon as it is too long, not buffered.
  auto endless = readAll("GET / HTTP/1.1\r\nX: " + std::string(5000, 'v'), 1 << 20, limits);
  EXPECT_EQ(endless.errorStatus(), 431);
  EXPECT_LE(endless.bytesRead(), 200u);
  EXPECT_EQ(readAll("GET /" + std::string(200, 'a') + " HTTP/1.1\r\n\r\n", 1 << 20, limits).errorStatus(), 414);

  std::string three = "GET / HTTP/1.1\r\n" + line(10) + line(10) + line(10);
  EXPECT_EQ(readAll(three + "\r\n", 1 << 20, limits).state(), State::complete);
  EXPECT_EQ(readAll(three + line(10) + "\r\n", 1 << 20, limits).errorStatus(), 431);
  // Many lines within their own limit still cannot add up past the head limit.
  const RequestLimits small{.maxLine = 100, .maxHeaderLines = 100, .maxHead = 500, .maxBody = 10};
  std::string flood = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 20; ++i) flood += line(90);
  EXPECT_EQ(readAll(flood + "\r\n", 1 << 20, small).errorStatus(), 431);
}

TEST(RequestGuard, BodyLimitWhateverTheFraming) {
  const RequestLimits limits{.maxLine = 100, .maxHeaderLines = 10, .maxHead = 1000, .maxBody = 10};
  EXPECT_EQ(readAll("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789", 1 << 20, limits).state(),
            State::complete);
  auto tooLong = readAll("POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n", 1 << 20, limits);
  EXPECT_EQ(tooLong.errorStatus(), 413);
  EXPECT_EQ(readAll("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n", 1 << 20, limits).errorStatus(),
            413);
  // Chunked: refused at the chunk that passes the limit, before its data is read.
  EXPECT_EQ(readAll("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n01234\r\n5\r\n56789\r\n0\r\n\r\n", 1,
                    limits)
                .state(),
            State::complete);
  auto chunked = readAll("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n01234\r\n6\r\n", 1, limits);
  EXPECT_EQ(chunked.errorStatus(), 413);
  EXPECT_EQ(readAll("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffffffffff\r\n", 1, limits).errorStatus(),
            400);
  EXPECT_EQ(readAll("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffff\r\n", 1, limits).errorStatus(),
            413);
  EXPECT_EQ(readAll("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 1, limits).errorStatus(), 400);
  EXPECT_EQ(readAll("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabX\r\n", 1, limits).errorStatus(), 400);
}

TEST(RequestGuard, FramingThatCannotBeTrustedIsRefused) {
  struct Case {
    const char* headers;
    int status;
  };
  const Case cases[] = {
      {"Content-Length: 3\r\nTransfer-Encoding: chunked\r\n", 400},  // the classic smuggling pair
      {"Content-Length: 3\r\nContent-Length: 4\r\n", 400},
      {"Content-Length: 3, 4\r\n", 400},
      {"Content-Length: -1\r\n", 400},
      {"Content-Length: 0x10\r\n", 400},
      {"Transfer-Encoding: gzip, chunked\r\n", 415},
      {"Transfer-Encoding: identity\r\n", 501},
      {"Transfer-Encoding: chunked, chunked\r\n", 501},
      {"Content-Encoding: gzip\r\nContent-Length: 3\r\n", 415},
      {"Content-Encoding: br\r\n", 415},
      {"Expect: something-else\r\n", 417},
      {" folded: value\r\n", 400},
      {"No colon\r\n", 400},
      {"Bad Name: x\r\n", 400},
      {": empty name\r\n", 400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.headers);
    auto reader = readAll(std::string("POST / HTTP/1.1\r\n") + c.headers + "\r\nabc");
    EXPECT_EQ(reader.state(), State::failed);
    EXPECT_EQ(reader.errorStatus(), c.status);
    EXPECT_FALSE(reader.errorText().empty());
  }
  // Equal repeats and "identity" are harmless.
  EXPECT_EQ(readAll("POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc").state(), State::complete);
  EXPECT_EQ(readAll("POST / HTTP/1.1\r\nContent-Encoding: identity\r\nContent-Length: 1\r\n\r\na").state(),
            State::complete);
  auto expect = readAll("POST / HTTP/1.1\r\nExpect: 100-Continue\r\nContent-Length: 1\r\n\r\n");
  EXPECT_TRUE(expect.expectsContinue());
}

TEST(RequestGuard, RequestLines) {
  EXPECT_EQ(readAll("\r\n\r\nGET / HTTP/1.1\r\n\r\n").state(), State::complete);  // blank lines first
  auto absolute = readAll("GET http://example.org:8087/pos.xml?x=1 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(absolute.head().target, "/pos.xml?x=1");
  EXPECT_EQ(readAll("GET http://example.org HTTP/1.1\r\n\r\n").head().target, "/");
  EXPECT_EQ(readAll("OPTIONS * HTTP/1.1\r\n\r\n").state(), State::complete);
  for (const char* bad : {"GET * HTTP/1.1", "GET pos.xml HTTP/1.1", "GET / HTTP/1.1 extra", "GET  / HTTP/1.1",
                          "GET /", "BREW /pot HTTP/1.1", "get / HTTP/1.1", "GET / HTTP/1", "GET / FTP/1.1",
                          "GET /a\x01 HTTP/1.1"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(readAll(std::string(bad) + "\r\n\r\n").errorStatus(), 400);
  }
  EXPECT_EQ(readAll("GET / HTTP/2.0\r\n\r\n").errorStatus(), 505);
}

TEST(RequestGuard, OneRangeOrNone) {
  ByteRange r;
  EXPECT_EQ(readRange("bytes=10-19", 226, r), RangeAnswer::part);
  EXPECT_EQ(r.first, 10u);
  EXPECT_EQ(r.length, 10u);
  EXPECT_EQ(readRange("bytes=200-", 226, r), RangeAnswer::part);
  EXPECT_EQ(r.length, 26u);
  EXPECT_EQ(readRange("bytes=-26", 226, r), RangeAnswer::part);
  EXPECT_EQ(r.first, 200u);
  EXPECT_EQ(readRange("bytes=-1000", 226, r), RangeAnswer::part);
  EXPECT_EQ(r.first, 0u);
  EXPECT_EQ(r.length, 226u);
  EXPECT_EQ(readRange("bytes=100-99999999999999999999999", 226, r), RangeAnswer::part);
  EXPECT_EQ(r.length, 126u);
  EXPECT_EQ(readRange("bytes=226-", 226, r), RangeAnswer::unsatisfiable);
  EXPECT_EQ(readRange("bytes=-0", 226, r), RangeAnswer::unsatisfiable);
  EXPECT_EQ(readRange("bytes=0-0", 0, r), RangeAnswer::unsatisfiable);
  for (const char* ignored : {"bytes=0-0,1-1", "bytes=5-1", "items=0-1", "bytes=a-b", "bytes=", "bytes 0-1", ""}) {
    SCOPED_TRACE(ignored);
    EXPECT_EQ(readRange(ignored, 226, r), RangeAnswer::whole);
  }
  std::string many = "bytes=0-0";
  for (int i = 1; i < 1000; ++i) many += "," + std::to_string(i) + "-" + std::to_string(i);
  EXPECT_EQ(readRange(many, 226, r), RangeAnswer::whole);
}

}  // namespace
}  // namespace geomuxer
