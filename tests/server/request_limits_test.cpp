// The position server against clients that try to exhaust it: unbounded bodies and heads,
// trickling and idle connections, many ranges, more connections than it takes, and a stop while
// all of that goes on.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <fstream>
#include <thread>

#include "server_test_support.h"

namespace geomuxer::test {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

/// Resident memory of this process in bytes.
std::size_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  std::size_t resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

/// Sends `head`, then `piece` over and over (at most `limit` bytes of it) until the server
/// answers or closes; returns the reply.
std::string pushUntilAnswered(int port, const std::string& head, const std::string& piece, std::size_t limit) {
  RawSocket s(port);
  if (!s.connected() || !s.send(head)) return {};
  std::string reply;
  for (std::size_t sent = 0; sent < limit; sent += piece.size()) {
    char buf[4096];
    const ssize_t n = ::recv(s.fd(), buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) reply.append(buf, static_cast<std::size_t>(n));
    if (n == 0 || !reply.empty()) break;
    if (!s.send(piece)) break;
  }
  return reply + s.receiveAll();
}

class RequestLimitsTest : public ::testing::Test, public ServerFixture {
 protected:
  void SetUp() override { start(); }
};

TEST_F(RequestLimitsTest, UnboundedBodiesAndHeadsAreRefusedWithoutGrowingMemory) {
  const int port = m_server->port();
  // Warm up the allocator and the server's threads first.
  ASSERT_EQ(client().Get("/pos.xml")->status, 200);
  const std::size_t before = residentBytes();

  // A chunked body without end to a route that reads bodies, without credentials.
  const std::string chunk = "10000\r\n" + std::string(0x10000, 'x') + "\r\n";
  std::string reply = pushUntilAnswered(
      port, "POST /admin/addclient HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=b\r\n"
            "Transfer-Encoding: chunked\r\n\r\n",
      chunk, 300u << 20);
  EXPECT_EQ(rawStatus(reply), 413) << reply.substr(0, 200);
  EXPECT_THAT(reply, HasSubstr("Connection: close"));

  // A compressed body is refused before it is read, whatever it inflates to.
  reply = pushUntilAnswered(port,
                            "POST /onclientpos HTTP/1.1\r\nHost: x\r\nContent-Encoding: gzip\r\n"
                            "Content-Length: 1000000\r\n\r\n",
                            std::string(0x10000, '\x1f'), 1000000);
  EXPECT_EQ(rawStatus(reply), 415);
  // A declared length past the limit: refused before a byte of it is read.
  EXPECT_EQ(rawStatus(rawExchange(port, "POST /onclientpos HTTP/1.1\r\nContent-Length: 314572800\r\n\r\n")), 413);

  // A header line without an end, and a flood of header lines.
  reply = pushUntilAnswered(port, "GET /pos.xml HTTP/1.1\r\nX-Long: ", std::string(0x10000, 'a'), 100u << 20);
  EXPECT_EQ(rawStatus(reply), 431);
  reply = pushUntilAnswered(port, "GET /pos.xml HTTP/1.1\r\n", "X-Flood: 1\r\n", 10u << 20);
  EXPECT_EQ(rawStatus(reply), 431);

  EXPECT_LT(residentBytes(), before + (10u << 20));
  EXPECT_EQ(client().Get("/pos.xml")->status, 200);
}

TEST_F(RequestLimitsTest, ChunkedAndContinuedBodiesWithinTheLimitAreRead) {
  const auto id = addClient("rover", "pw");
  const std::string body =
      "--b\r\nContent-Disposition: form-data; name=\"lat\"\r\n\r\n1\r\n"
      "--b\r\nContent-Disposition: form-data; name=\"lon\"\r\n\r\n2\r\n--b--\r\n";
  const std::string head =
      "POST /onclientpos HTTP/1.1\r\nHost: x\r\nAuthorization: Basic cm92ZXI6cHc=\r\n"
      "Content-Type: multipart/form-data; boundary=b\r\n";
  std::string chunked;
  for (std::size_t at = 0; at < body.size(); at += 7) {
    const std::string piece = body.substr(at, 7);
    chunked += std::to_string(piece.size()) + "\r\n" + piece + "\r\n";  // sizes below 10: decimal = hex
  }
  EXPECT_EQ(rawStatus(rawExchange(m_server->port(), head + "Transfer-Encoding: chunked\r\n\r\n" + chunked + "0\r\n\r\n")),
            200);

  // "Expect: 100-continue": the server invites the body before it comes.
  RawSocket s(m_server->port());
  ASSERT_TRUE(s.send(head + "Expect: 100-continue\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n"));
  char buf[64] = {};
  const ssize_t n = ::recv(s.fd(), buf, sizeof buf - 1, 0);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0), "HTTP/1.1 100 Continue\r\n\r\n");
  ASSERT_TRUE(s.send(body));
  EXPECT_EQ(rawStatus(s.receiveAll()), 200);
  EXPECT_EQ(m_database->positionsOfUser(id).size(), 2u);
}

TEST_F(RequestLimitsTest, SlowHeadsAndBodiesMeetTheirDeadlines) {
  m_config.headerTimeout = 1s;
  m_config.bodyTimeout = 1s;
  restart();
  // A client that trickles its head keeps sending and still gets 408 at the deadline.
  RawSocket trickler(m_server->port());
  std::string reply;
  for (int i = 0; i < 40 && reply.empty(); ++i) {
    trickler.send("X");
    std::this_thread::sleep_for(100ms);
    char buf[512];
    const ssize_t n = ::recv(trickler.fd(), buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) reply.assign(buf, static_cast<std::size_t>(n));
    if (n == 0) break;
  }
  EXPECT_EQ(rawStatus(reply), 408);
  // A body that stops halfway.
  EXPECT_EQ(rawStatus(rawExchange(m_server->port(), "POST /onclientpos HTTP/1.1\r\nContent-Length: 100\r\n\r\nshort")),
            408);
  // A client that says nothing at all.
  RawSocket silent(m_server->port());
  EXPECT_EQ(rawStatus(silent.receiveAll()), 408);
}

TEST_F(RequestLimitsTest, TricklingClientsDoNotStopOthers) {
  m_config.workers = 2;
  restart();
  std::vector<std::unique_ptr<RawSocket>> tricklers;
  for (int i = 0; i < 300; ++i) {
    tricklers.push_back(std::make_unique<RawSocket>(m_server->port()));
    ASSERT_TRUE(tricklers.back()->connected());
    tricklers.back()->send("POST /onclientpos HTTP/1.1\r\nContent-Length: 1000\r\n\r\nab");
  }
  httplib::Client c("127.0.0.1", m_server->port());
  c.set_read_timeout(5, 0);
  c.set_connection_timeout(5, 0);
  for (int i = 0; i < 10; ++i) {
    for (auto& t : tricklers) t->send("c");
    auto res = c.Get("/pos.xml");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
  }
}

TEST_F(RequestLimitsTest, ConnectionsPastTheCapAreClosedAtOnce) {
  m_config.maxConnections = 4;
  restart();
  std::vector<std::unique_ptr<RawSocket>> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(std::make_unique<RawSocket>(m_server->port()));
    held.back()->send("G");  // held open, head unfinished
  }
  std::this_thread::sleep_for(200ms);  // let the server take them
  RawSocket extra(m_server->port());
  ASSERT_TRUE(extra.connected());  // the system completes the handshake; the server closes it
  extra.send("GET /pos.xml HTTP/1.1\r\n\r\n");
  EXPECT_EQ(extra.receiveAll(), "");
  held.clear();
  std::string reply;
  for (int i = 0; i < 50 && rawStatus(reply) != 200; ++i) {
    std::this_thread::sleep_for(20ms);
    reply = rawExchange(m_server->port(), "GET /pos.xml HTTP/1.1\r\n\r\n");
  }
  EXPECT_EQ(rawStatus(reply), 200);
}

TEST_F(RequestLimitsTest, StopReturnsAtOnceWhateverTheClientsDo) {
  writeFile(m_dir / "http" / "big.bin", std::string(8u << 20, 'b'));
  std::vector<std::unique_ptr<RawSocket>> clients;
  for (int i = 0; i < 50; ++i) {
    clients.push_back(std::make_unique<RawSocket>(m_server->port()));
    clients.back()->send(i % 2 ? "GET /pos" : "GET /big.bin HTTP/1.1\r\n\r\n");  // trickling, and never reading
  }
  std::this_thread::sleep_for(200ms);
  const auto started = std::chrono::steady_clock::now();
  m_server->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  // Every connection is gone: each client sees its end.
  for (auto& c : clients) {
    pollfd p{c->fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 2000), 1);
  }
}

TEST_F(RequestLimitsTest, OneRangeOrNoneAndOnlyOnStaticFiles) {
  const std::string page(226, 'p');
  writeFile(m_dir / "http" / "page.html", page);
  const int port = m_server->port();
  std::string many = "bytes=0-0";
  for (int i = 1; i < 1000; ++i) many += "," + std::to_string(i % 226) + "-" + std::to_string(i % 226);
  std::string reply = rawExchange(port, "GET /page.html HTTP/1.1\r\nRange: " + many + "\r\n\r\n");
  EXPECT_EQ(rawStatus(reply), 200);
  EXPECT_EQ(rawBody(reply), page);

  reply = rawExchange(port, "GET /page.html HTTP/1.1\r\nRange: bytes=10-19\r\n\r\n");
  EXPECT_EQ(rawStatus(reply), 206);
  EXPECT_THAT(reply, HasSubstr("Content-Range: bytes 10-19/226\r\n"));
  EXPECT_EQ(rawBody(reply), page.substr(10, 10));
  reply = rawExchange(port, "GET /page.html HTTP/1.1\r\nRange: bytes=500-\r\n\r\n");
  EXPECT_EQ(rawStatus(reply), 416);
  EXPECT_THAT(reply, HasSubstr("Content-Range: bytes */226\r\n"));

  // Generated replies ignore the header.
  const std::string whole = rawBody(rawExchange(port, "GET /pos.xml HTTP/1.1\r\n\r\n"));
  reply = rawExchange(port, "GET /pos.xml HTTP/1.1\r\nRange: bytes=0-3\r\n\r\n");
  EXPECT_EQ(rawStatus(reply), 200);
  EXPECT_EQ(rawBody(reply), whole);
}

}  // namespace
}  // namespace geomuxer::test
