// The position server's connection handling: our own accept loop, the request guard in front of
// the router, and the replies. One I/O thread owns every connection that is being read or written
// (non-blocking sockets, poll); complete requests go to the workers, which run the router and
// write what the socket takes at once, then hand the rest back.
#include "server/position_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <fstream>
#include <list>
#include <vector>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "server/multipart_form.h"
#include "server/server_feeds.h"

namespace geomuxer {

namespace {

using Clock = std::chrono::steady_clock;

// --- TLS -------------------------------------------------------------------------------------

std::string opensslErrors() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    std::array<char, 256> buf{};
    ERR_error_string_n(code, buf.data(), buf.size());
    if (!text.empty()) text += "; ";
    text += buf.data();
  }
  return text.empty() ? std::string("unknown error") : text;
}

void checkReadable(const std::filesystem::path& file, std::string_view what) {
  if (file.empty()) throw ServerError("No " + std::string(what) + " file is set for the secure server");
  std::ifstream in(file, std::ios::binary);
  if (!in) throw ServerError("Cannot read the " + std::string(what) + " file \"" + file.string() + "\"");
}

struct TlsFiles {
  std::filesystem::path cert;
  std::filesystem::path key;
  std::filesystem::path root;
};

/// Sets up the context; on failure returns the reason.
std::string setupTls(SSL_CTX& ctx, const TlsFiles& files) {
  ERR_clear_error();
  SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(&ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION);
  if (SSL_CTX_use_certificate_chain_file(&ctx, files.cert.c_str()) != 1) {
    return "Cannot load the certificate file \"" + files.cert.string() + "\": " + opensslErrors();
  }
  if (SSL_CTX_use_PrivateKey_file(&ctx, files.key.c_str(), SSL_FILETYPE_PEM) != 1) {
    return "Cannot load the private key file \"" + files.key.string() + "\": " + opensslErrors();
  }
  if (SSL_CTX_check_private_key(&ctx) != 1) {
    return "The private key \"" + files.key.string() + "\" does not belong to the certificate \"" +
           files.cert.string() + "\"";
  }
  if (SSL_CTX_load_verify_locations(&ctx, files.root.c_str(), nullptr) != 1) {
    return "Cannot load the root certificate file \"" + files.root.string() + "\": " + opensslErrors();
  }
  if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(files.root.c_str())) {
    SSL_CTX_set_client_CA_list(&ctx, names);
  }
  // A client certificate is asked for once per session but not required.
  SSL_CTX_set_verify(&ctx, SSL_VERIFY_PEER | SSL_VERIFY_CLIENT_ONCE, nullptr);
  SSL_CTX_set_verify_depth(&ctx, 1);
  ERR_clear_error();
  return {};
}

// --- requests and replies --------------------------------------------------------------------

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

/// Basic credentials, split at the first ':'. Any other scheme or a broken value counts as no
/// credentials.
void readCredentials(const std::string* header, HttpRequest& out) {
  if (header == nullptr) return;
  std::string_view value = *header;
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  const auto blank = value.find(' ');
  if (blank == std::string_view::npos || !equalsIgnoreCase(value.substr(0, blank), "Basic")) return;
  const auto decoded = decodeBase64(value.substr(blank + 1));
  if (!decoded) return;
  const auto colon = decoded->find(':');
  out.user = decoded->substr(0, colon);
  if (colon != std::string::npos) out.password = decoded->substr(colon + 1);
}

std::string headerOr(const RequestHead& head, std::string_view name) {
  const std::string* value = head.header(name);
  return value ? *value : std::string();
}

HttpRequest toHttpRequest(const RequestHead& head, std::string peer) {
  HttpRequest out;
  out.method = head.method;
  out.document = decodeUrl(head.path(), false);
  out.query = head.query();
  readCredentials(head.header("Authorization"), out);
  out.remoteAddress = std::move(peer);
  out.host = headerOr(head, "Host");
  out.origin = headerOr(head, "Origin");
  out.referer = headerOr(head, "Referer");
  out.contentType = headerOr(head, "Content-Type");
  return out;
}

/// The POST documents whose body is worth reading; every other request is answered before it.
constexpr std::array<std::string_view, 6> kPostDocuments{
    "/onclientpos", "/admin/deleteclient", "/admin/editclient", "/admin/addclient", "/admin/deletetrack", "/test",
};

bool isPostDocument(std::string_view path) {
  return std::find(kPostDocuments.begin(), kPostDocuments.end(), path) != kPostDocuments.end();
}

std::string errorPage(int status) {
  return "<html><body><h1>" + std::to_string(status) + "</h1><p>" + std::string(reasonPhrase(status)) +
         "</p><hr><address>" + serverSoftware() + "</address></body></html>";
}

/// What goes out on a connection: the head and body text, then perhaps a piece of a file.
struct Outgoing {
  std::string text;
  int file = -1;
  std::uint64_t fileOffset = 0;
  std::uint64_t fileLeft = 0;
};

void appendHead(std::string& out, int status, const std::vector<std::pair<std::string, std::string>>& headers,
                std::string_view contentType, std::uint64_t contentLength) {
  out += "HTTP/1.1 " + std::to_string(status) + " " + std::string(reasonPhrase(status)) + "\r\n";
  out += "Server: " + serverSoftware() + "\r\n";
  if (!contentType.empty()) out += "Content-Type: " + std::string(contentType) + "\r\n";
  out += "Content-Length: " + std::to_string(contentLength) + "\r\n";
  for (const auto& [name, value] : headers) out += name + ": " + value + "\r\n";
  out += "Connection: close\r\n\r\n";
}

void buildPlainReply(Outgoing& out, int status, std::vector<std::pair<std::string, std::string>> headers,
                     std::string contentType, std::string body, bool headOnly) {
  appendHead(out.text, status, headers, contentType, body.size());
  if (!headOnly) out.text += body;
}

/// A static file, with one range when asked; false when the file cannot be opened.
bool buildFileReply(Outgoing& out, const HttpReply& reply, const std::string* rangeHeader, bool headOnly) {
  const int fd = ::open(reply.file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return false;
  }
  const auto size = static_cast<std::uint64_t>(info.st_size);
  std::vector<std::pair<std::string, std::string>> headers = reply.headers;
  headers.emplace_back("Accept-Ranges", "bytes");
  ByteRange range{0, size};
  int status = reply.status;
  if (rangeHeader != nullptr && status == 200) {
    switch (readRange(*rangeHeader, size, range)) {
      case RangeAnswer::whole:
        range = {0, size};
        break;
      case RangeAnswer::part:
        status = 206;
        headers.emplace_back("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                  std::to_string(range.first + range.length - 1) + "/" +
                                                  std::to_string(size));
        break;
      case RangeAnswer::unsatisfiable:
        ::close(fd);
        headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
        buildPlainReply(out, 416, std::move(headers), "text/html", errorPage(416), headOnly);
        return true;
    }
  }
  appendHead(out.text, status, headers, reply.contentType, range.length);
  if (headOnly || range.length == 0) {
    ::close(fd);
    return true;
  }
  out.file = fd;
  out.fileOffset = range.first;
  out.fileLeft = range.length;
  return true;
}

void buildReply(Outgoing& out, const HttpRequest& request, HttpReply reply, const std::string* rangeHeader) {
  const bool headOnly = request.method == "HEAD";
  if (!reply.realm.empty()) {
    buildPlainReply(out, 401, {{"WWW-Authenticate", "Basic realm=\"" + reply.realm + "\""}}, "text/html",
                    unauthorizedPage(), headOnly);
    return;
  }
  if (!reply.file.empty()) {
    // Ranges are honoured for static files only; every other reply ignores them.
    if (buildFileReply(out, reply, rangeHeader, headOnly)) return;
    setStatusPage(request, reply, 404);
  }
  auto headers = std::move(reply.headers);
  if (!reply.contentDisposition.empty()) headers.emplace_back("Content-Disposition", reply.contentDisposition);
  if (!reply.location.empty()) headers.emplace_back("Location", reply.location);
  std::string type = reply.contentType;
  if (type.empty() && !reply.body.empty()) type = "text/plain";
  buildPlainReply(out, reply.status, std::move(headers), std::move(type), std::move(reply.body), headOnly);
}

// --- connections -----------------------------------------------------------------------------

enum class Io { done, again, closed, failed };

class Connection {
 public:
  enum class Phase { handshake, reading, writing, lingering };

  Connection(int fd, SSL* ssl, std::string peer, const RequestLimits& limits, std::atomic<std::size_t>& open)
      : reader(limits), m_fd(fd), m_ssl(ssl), m_peer(std::move(peer)), m_open(open) {}
  ~Connection() {
    if (m_ssl != nullptr) SSL_free(m_ssl);
    if (out.file >= 0) ::close(out.file);
    ::close(m_fd);
    m_open.fetch_sub(1, std::memory_order_relaxed);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  [[nodiscard]] int fd() const { return m_fd; }
  [[nodiscard]] const std::string& peer() const { return m_peer; }
  [[nodiscard]] bool tls() const { return m_ssl != nullptr; }

  Io handshake() {
    ERR_clear_error();
    const int rc = SSL_do_handshake(m_ssl);
    return rc == 1 ? Io::done : sslResult(rc);
  }

  /// Reads what is there into `buf`; `got` says how much.
  Io read(char* buf, std::size_t size, std::size_t& got) {
    got = 0;
    if (m_ssl != nullptr) {
      ERR_clear_error();
      const int rc = SSL_read(m_ssl, buf, static_cast<int>(size));
      if (rc > 0) {
        got = static_cast<std::size_t>(rc);
        return Io::done;
      }
      return sslResult(rc);
    }
    const ssize_t n = ::recv(m_fd, buf, size, 0);
    if (n > 0) {
      got = static_cast<std::size_t>(n);
      return Io::done;
    }
    if (n == 0) return Io::closed;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Io::again : Io::failed;
  }

  /// More of the reply; done once all of it is out.
  Io write() {
    for (;;) {
      if (m_sent == out.text.size()) {
        out.text.clear();
        m_sent = 0;
        if (out.fileLeft == 0) return Io::done;
        // The next piece of the file.
        constexpr std::size_t kPiece = 64 * 1024;
        out.text.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, out.fileLeft)));
        const ssize_t n = ::pread(out.file, out.text.data(), out.text.size(), static_cast<off_t>(out.fileOffset));
        if (n <= 0) return Io::failed;  // a file that shrank while being sent ends the connection
        out.text.resize(static_cast<std::size_t>(n));
        out.fileOffset += static_cast<std::uint64_t>(n);
        out.fileLeft -= static_cast<std::uint64_t>(n);
      }
      const char* data = out.text.data() + m_sent;
      const std::size_t size = out.text.size() - m_sent;
      if (m_ssl != nullptr) {
        ERR_clear_error();
        const int rc = SSL_write(m_ssl, data, static_cast<int>(std::min<std::size_t>(size, 1 << 20)));
        if (rc <= 0) return sslResult(rc);
        m_sent += static_cast<std::size_t>(rc);
      } else {
        const ssize_t n = ::send(m_fd, data, size, MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Io::again : Io::failed;
        m_sent += static_cast<std::size_t>(n);
      }
      lastProgress = Clock::now();
    }
  }

  /// Sends what remains of a reply that is already out, then tells the client no more comes.
  void halfClose() {
    if (m_ssl != nullptr) {
      ERR_clear_error();
      SSL_shutdown(m_ssl);
    }
    ::shutdown(m_fd, SHUT_WR);
  }

  /// When the last operation returned again: whether it waits for the socket to take bytes.
  [[nodiscard]] bool wantsWrite() const { return m_wantWrite; }

  Phase phase = Phase::handshake;
  RequestReader reader;
  Clock::time_point headDeadline;
  Clock::time_point bodyDeadline;
  Clock::time_point lastProgress;
  Clock::time_point lingerDeadline;
  std::size_t lingered = 0;
  Outgoing out;
  std::string interim;   ///< "100 Continue", sent while the body is read
  bool linger = false;   ///< the request was not read to its end: drain before closing

 private:
  Io sslResult(int rc) {
    switch (SSL_get_error(m_ssl, rc)) {
      case SSL_ERROR_WANT_READ:
        m_wantWrite = false;
        return Io::again;
      case SSL_ERROR_WANT_WRITE:
        m_wantWrite = true;
        return Io::again;
      case SSL_ERROR_ZERO_RETURN:
        return Io::closed;
      default:
        return Io::failed;
    }
  }

  int m_fd;
  SSL* m_ssl;
  std::string m_peer;
  std::atomic<std::size_t>& m_open;
  std::size_t m_sent = 0;
  bool m_wantWrite = false;
};

using ConnectionPtr = std::unique_ptr<Connection>;

std::string peerAddress(const sockaddr_storage& addr) {
  std::array<char, INET6_ADDRSTRLEN> buf{};
  if (addr.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
    if (inet_ntop(AF_INET, &in->sin_addr, buf.data(), buf.size())) return buf.data();
  } else if (addr.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
      // A dual-stack socket: an IPv4 client is shown as one.
      if (inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], buf.data(), buf.size())) return buf.data();
    } else if (inet_ntop(AF_INET6, &in6->sin6_addr, buf.data(), buf.size())) {
      return buf.data();
    }
  }
  return {};
}

/// Server threads never die of SIGPIPE when a TLS peer goes away mid-write (plain sends use
/// MSG_NOSIGNAL; OpenSSL's socket writes cannot).
void blockSigpipe() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

// --- the running server ----------------------------------------------------------------------

struct PositionServer::Running {
  struct Job {
    ConnectionPtr connection;
    HttpRequest request;
    std::optional<std::string> range;
    std::optional<HttpReply> reply;  ///< set when the answer is already known
  };

  PositionServerConfig config;
  LogSink log;
  std::unique_ptr<RequestRouter> router;
  SSL_CTX* tls = nullptr;
  int listenFd = -1;
  int wakeFd = -1;
  int port = 0;

  std::atomic<bool> stopping{false};
  std::atomic<std::size_t> open{0};
  std::thread ioThread;
  std::vector<std::thread> workers;

  std::mutex jobMutex;
  std::condition_variable jobReady;
  std::deque<Job> jobs;

  std::mutex backMutex;
  std::vector<ConnectionPtr> handedBack;

  ~Running() {
    if (listenFd >= 0) ::close(listenFd);
    if (wakeFd >= 0) ::close(wakeFd);
    if (tls != nullptr) SSL_CTX_free(tls);
  }

  void wake() const {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wakeFd, &one, sizeof one);
  }

  // --- I/O thread ---

  enum class Next { keep, close, dispatch };

  void runIo() {
    blockSigpipe();
    std::list<ConnectionPtr> connections;
    std::vector<pollfd> fds;
    Clock::time_point acceptPausedUntil{};
    bool acceptFailureLogged = false;

    while (!stopping.load()) {
      {
        std::lock_guard lock(backMutex);
        for (auto& c : handedBack) connections.push_back(std::move(c));
        handedBack.clear();
      }
      auto now = Clock::now();
      fds.clear();
      fds.push_back({wakeFd, POLLIN, 0});
      const bool accepting = now >= acceptPausedUntil;
      fds.push_back({accepting ? listenFd : -1, POLLIN, 0});
      Clock::time_point next = now + std::chrono::seconds(1);
      if (!accepting) next = std::min(next, acceptPausedUntil);
      for (const auto& c : connections) {
        short events = POLLIN;
        switch (c->phase) {
          case Connection::Phase::handshake:
          case Connection::Phase::reading:
            if (c->wantsWrite()) events = POLLOUT;
            if (!c->interim.empty()) events |= POLLOUT;
            break;
          case Connection::Phase::writing:
            events = c->tls() && !c->wantsWrite() ? POLLIN : POLLOUT;
            break;
          case Connection::Phase::lingering:
            break;
        }
        fds.push_back({c->fd(), events, 0});
        next = std::min(next, deadlineOf(*c));
      }
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
      const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::clamp<long long>(wait, 0, 1000)));
      if (ready < 0 && errno != EINTR) break;
      if (stopping.load()) break;
      if (fds[0].revents != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto n = ::read(wakeFd, &count, sizeof count);
      }
      now = Clock::now();

      // The list and `fds` match entry by entry; refused dispatches rejoin after the walk.
      std::vector<ConnectionPtr> refused;
      std::size_t i = 2;
      for (auto it = connections.begin(); it != connections.end(); ++i) {
        const Next step = serve(**it, fds[i].revents != 0, now);
        if (step == Next::keep) {
          ++it;
          continue;
        }
        ConnectionPtr c = std::move(*it);
        it = connections.erase(it);
        if (step == Next::dispatch && (c = dispatch(std::move(c)))) refused.push_back(std::move(c));
      }
      for (auto& c : refused) connections.push_back(std::move(c));
      if (accepting && fds[1].revents != 0) acceptAll(connections, acceptPausedUntil, acceptFailureLogged);
    }
    for (const auto& c : connections) ::shutdown(c->fd(), SHUT_RDWR);
    connections.clear();
  }

  [[nodiscard]] Clock::time_point deadlineOf(const Connection& c) const {
    switch (c.phase) {
      case Connection::Phase::handshake:
        return c.headDeadline;
      case Connection::Phase::reading:
        return c.reader.state() == RequestReader::State::head ? c.headDeadline : c.bodyDeadline;
      case Connection::Phase::writing:
        return c.lastProgress + config.writeTimeout;
      case Connection::Phase::lingering:
        return c.lingerDeadline;
    }
    return c.headDeadline;
  }

  void acceptAll(std::list<ConnectionPtr>& connections, Clock::time_point& pausedUntil, bool& failureLogged) {
    for (int i = 0; i < 64; ++i) {
      sockaddr_storage addr{};
      socklen_t length = sizeof addr;
      const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&addr), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) return;
        // Out of descriptors or memory: say so once, and try again a little later instead of
        // spinning on a listening socket that stays readable.
        if (!failureLogged && log) log("HTTP server: cannot accept a connection: " + std::string(std::strerror(errno)));
        failureLogged = true;
        pausedUntil = Clock::now() + std::chrono::milliseconds(200);
        return;
      }
      failureLogged = false;
      if (open.load(std::memory_order_relaxed) >= config.maxConnections) {
        ::close(fd);  // past the cap: closed at once, never queued
        continue;
      }
      const int yes = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
      SSL* ssl = nullptr;
      if (tls != nullptr) {
        ssl = SSL_new(tls);
        if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
          if (ssl != nullptr) SSL_free(ssl);
          ::close(fd);
          continue;
        }
        SSL_set_accept_state(ssl);
      }
      open.fetch_add(1, std::memory_order_relaxed);
      auto c = std::make_unique<Connection>(fd, ssl, peerAddress(addr), config.limits, open);
      const auto now = Clock::now();
      c->headDeadline = now + config.headerTimeout;
      c->lastProgress = now;
      c->phase = ssl != nullptr ? Connection::Phase::handshake : Connection::Phase::reading;
      // Most clients send their request with the connection: try at once.
      const Next step = serve(*c, true, now);
      if (step == Next::dispatch) c = dispatch(std::move(c));
      if (c && step != Next::close) connections.push_back(std::move(c));
    }
  }

  /// Moves one connection on.
  Next serve(Connection& c, bool active, Clock::time_point now) {
    if (now >= deadlineOf(c)) return timedOut(c, now);
    if (!active) return Next::keep;
    switch (c.phase) {
      case Connection::Phase::handshake: {
        const Io io = c.handshake();
        if (io == Io::again) return Next::keep;
        if (io != Io::done) return Next::close;
        c.phase = Connection::Phase::reading;
        [[fallthrough]];
      }
      case Connection::Phase::reading:
        return readRequest(c, now);
      case Connection::Phase::writing:
        return writeReply(c, now);
      case Connection::Phase::lingering:
        return drain(c);
    }
    return Next::close;
  }

  Next timedOut(Connection& c, Clock::time_point now) {
    if (c.phase != Connection::Phase::reading) return Next::close;  // a handshake, reply or drain that stalled
    answer(c, 408, now);
    return writeReply(c, now);
  }

  /// Sets up an error reply to a request that was not read to its end.
  void answer(Connection& c, int status, Clock::time_point now,
              std::vector<std::pair<std::string, std::string>> headers = {}) {
    c.out = Outgoing{};
    c.interim.clear();
    buildPlainReply(c.out, status, std::move(headers), "text/html", errorPage(status), c.reader.head().method == "HEAD");
    c.linger = true;
    c.phase = Connection::Phase::writing;
    c.lastProgress = now;
  }

  Next readRequest(Connection& c, Clock::time_point now) {
    if (!c.interim.empty()) {
      c.out.text = std::move(c.interim);
      c.interim.clear();
      const Io io = c.write();
      if (io == Io::failed || io == Io::closed) return Next::close;
      if (io == Io::again) {
        c.interim = std::move(c.out.text);  // rarely: the socket took nothing of 25 bytes
        c.out = Outgoing{};
        return Next::keep;
      }
    }
    std::array<char, 16 * 1024> buf;
    for (;;) {
      std::size_t got = 0;
      const Io io = c.read(buf.data(), buf.size(), got);
      if (io == Io::again) return Next::keep;
      if (io != Io::done) return Next::close;  // the client went away before its request was complete
      std::string_view bytes(buf.data(), got);
      while (!bytes.empty()) {
        const auto before = c.reader.state();
        const std::size_t used = c.reader.feed(bytes);
        bytes.remove_prefix(used);
        const auto state = c.reader.state();
        if (state == RequestReader::State::failed) {
          answer(c, c.reader.errorStatus(), now);
          return writeReply(c, now);
        }
        if (before == RequestReader::State::head && state != RequestReader::State::head) {
          const Next step = headDone(c, now);
          if (step == Next::dispatch) return step;
          if (c.phase != Connection::Phase::reading) return writeReply(c, now);
        }
        if (c.reader.state() == RequestReader::State::complete) {
          if (!bytes.empty()) c.linger = true;  // nothing is read after the request
          return Next::dispatch;
        }
        if (used == 0) break;
      }
    }
  }

  /// The head is in. Decides whether the body is read, and answers at once what needs no body.
  Next headDone(Connection& c, Clock::time_point now) {
    const RequestHead& head = c.reader.head();
    const bool wanted = head.method == "POST" && isPostDocument(head.path());
    c.reader.setKeepBody(wanted);
    c.bodyDeadline = now + config.bodyTimeout;
    if (c.reader.state() == RequestReader::State::complete) return Next::keep;
    if (!wanted) {
      // Answered before its body; the body is drained after the reply.
      c.linger = true;
      return Next::dispatch;
    }
    // Refusals that need no body (administration from elsewhere, too many failed logins) come
    // before it is read.
    HttpRequest early = toHttpRequest(head, c.peer());
    if (auto refusal = router->screen(early)) {
      router->logRequest(early, refusal->status);
      c.out = Outgoing{};
      buildReply(c.out, early, std::move(*refusal), nullptr);
      c.linger = true;
      c.phase = Connection::Phase::writing;
      c.lastProgress = now;
      return Next::keep;
    }
    if (c.reader.expectsContinue()) c.interim = "HTTP/1.1 100 Continue\r\n\r\n";
    return Next::keep;
  }

  Next writeReply(Connection& c, Clock::time_point now) {
    c.phase = Connection::Phase::writing;
    const Io io = c.write();
    if (io == Io::again) return Next::keep;
    if (io != Io::done || !c.linger) return Next::close;
    // The client may still be sending what was not read; closing now would reset the connection
    // and could destroy the reply before it is read. Half-close, drain a while, then close.
    c.halfClose();
    c.phase = Connection::Phase::lingering;
    c.lingerDeadline = now + std::chrono::seconds(2);
    return drain(c);
  }

  Next drain(Connection& c) {
    std::array<char, 16 * 1024> buf;
    for (;;) {
      std::size_t got = 0;
      const Io io = c.read(buf.data(), buf.size(), got);
      if (io == Io::again) return Next::keep;
      if (io != Io::done) return Next::close;
      c.lingered += got;
      if (c.lingered > 4 * config.limits.maxBody) return Next::close;
    }
  }

  // --- workers ---

  /// Queues a complete request (or one answered before its body) for a worker. When the queue
  /// is full the connection comes back with a 503 to write.
  ConnectionPtr dispatch(ConnectionPtr c) {
    Job job;
    const RequestHead& head = c->reader.head();
    job.request = toHttpRequest(head, c->peer());
    if (const std::string* range = head.header("Range")) job.range = *range;
    if (c->reader.state() == RequestReader::State::complete) job.request.body = c->reader.takeBody();
    if (head.method != "GET" && head.method != "HEAD" && head.method != "POST") {
      job.reply = HttpReply{};  // other methods are accepted and do nothing
    }
    {
      std::lock_guard lock(jobMutex);
      if (jobs.size() >= config.maxQueued) {
        const auto now = Clock::now();
        answer(*c, 503, now, {{"Retry-After", "1"}});
        if (writeReply(*c, now) == Next::close) return nullptr;
        return c;
      }
      job.connection = std::move(c);
      jobs.push_back(std::move(job));
    }
    jobReady.notify_one();
    return nullptr;
  }

  void runWorker() {
    blockSigpipe();
    for (;;) {
      Job job;
      {
        std::unique_lock lock(jobMutex);
        jobReady.wait(lock, [this] { return stopping.load() || !jobs.empty(); });
        if (stopping.load()) return;
        job = std::move(jobs.front());
        jobs.pop_front();
      }
      HttpReply reply;
      if (job.reply) {
        reply = std::move(*job.reply);
      } else {
        try {
          reply = router->handle(job.request);
        } catch (const std::exception& e) {
          // No log line: the request did not complete.
          reply = HttpReply{};
          reply.status = 500;
          reply.contentType = "text/plain";
          reply.body = e.what();
        }
      }
      Connection& c = *job.connection;
      c.out = Outgoing{};
      buildReply(c.out, job.request, std::move(reply), job.range ? &*job.range : nullptr);
      c.phase = Connection::Phase::writing;
      c.lastProgress = Clock::now();
      finishInWorker(std::move(job.connection));
    }
  }

  /// Writes what the socket takes now; a reply that is all out and needs no drain is closed
  /// here, anything else goes back to the I/O thread.
  void finishInWorker(ConnectionPtr c) {
    const Io io = c->write();
    if (io == Io::failed || io == Io::closed) return;
    if (io == Io::done && !c->linger) return;
    if (io == Io::done) {
      c->halfClose();
      c->phase = Connection::Phase::lingering;
      c->lingerDeadline = Clock::now() + std::chrono::seconds(2);
    }
    std::lock_guard lock(backMutex);
    if (stopping.load()) return;
    handedBack.push_back(std::move(c));
    wake();
  }

};

// --- the server ------------------------------------------------------------------------------

PositionServer::PositionServer(const CurrentPosition& current, Database* database, LogSink log)
    : m_current(current), m_database(database), m_log(std::move(log)) {}

PositionServer::~PositionServer() { stop(); }

void PositionServer::setConfig(const PositionServerConfig& config) {
  std::lock_guard lock(m_mutex);
  m_config = config;
}

void PositionServer::setDatabase(Database* database) {
  std::lock_guard lock(m_mutex);
  m_database = database;
}

void PositionServer::setStatusBoard(const StatusBoard* board) {
  std::lock_guard lock(m_mutex);
  m_statusBoard = board;
  if (m_running) m_running->router->setStatusBoard(board);
}

PositionServerConfig PositionServer::config() const {
  std::lock_guard lock(m_mutex);
  return m_config;
}

void PositionServer::setLogRequests(bool on) {
  std::lock_guard lock(m_mutex);
  m_config.logRequests = on;
  if (m_running) m_running->router->setLogRequests(on);
}

bool PositionServer::running() const {
  std::lock_guard lock(m_mutex);
  return m_running != nullptr;
}

int PositionServer::port() const {
  std::lock_guard lock(m_mutex);
  return m_running ? m_running->port : m_config.port;
}

std::string PositionServer::serverUrl() const {
  bool tls = false;
  int listening = 0;
  {
    std::lock_guard lock(m_mutex);
    tls = m_running ? m_running->tls != nullptr : m_config.useTls;
    listening = m_running ? m_running->port : m_config.port;
  }
  const std::string host = localHostAddress();
  if (host.empty()) return {};
  return std::string(tls ? "https" : "http") + "://" + host + ":" + std::to_string(listening) + "/";
}

namespace {

/// A listening socket on the address and port; throws ServerError.
int listenOn(const std::string& address, int port, std::size_t backlog, int& boundPort) {
  const std::string where = port == 0 ? "a free port" : "port " + std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string host = address.empty() ? std::string("0.0.0.0") : address;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    throw ServerError("Cannot listen on " + where + ": the address \"" + host + "\" is unknown (" + gai_strerror(rc) + ")");
  }
  const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    const int error = errno;
    freeaddrinfo(found);
    throw ServerError("Cannot listen on " + where + ": " + std::strerror(error));
  }
  // Address reuse only; SO_REUSEPORT would let a second instance share the port silently.
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (found->ai_family == AF_INET6) {
    const int no = 0;  // "::" takes IPv4 clients as well
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
  }
  const bool bound = ::bind(fd, found->ai_addr, found->ai_addrlen) == 0;
  freeaddrinfo(found);
  if (!bound || ::listen(fd, static_cast<int>(std::clamp<std::size_t>(backlog, 1, SOMAXCONN))) != 0) {
    const int error = errno;
    ::close(fd);
    throw ServerError("Cannot listen on " + where + " of " + host + ": " + std::strerror(error));
  }
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  boundPort = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                                                : reinterpret_cast<sockaddr_in*>(&local)->sin_port);
  return fd;
}

}  // namespace

void PositionServer::start() {
  std::lock_guard lock(m_mutex);
  if (m_running) return;
  const PositionServerConfig& cfg = m_config;

  auto running = std::make_unique<Running>();
  running->config = cfg;
  running->config.workers = std::max<std::size_t>(cfg.workers, 1);
  running->log = m_log;
  running->router = std::make_unique<RequestRouter>(
      RouterSettings{.auth = cfg.auth,
                     .user = cfg.user,
                     .password = cfg.password,
                     .webRoot = cfg.webRoot,
                     .storeRetryAfter = cfg.storeRetryAfter},
      m_current, m_database, m_log);
  running->router->setLogRequests(cfg.logRequests);
  running->router->setStatusBoard(m_statusBoard);

  if (cfg.useTls) {
    TlsFiles files{cfg.certFile, cfg.keyFile.empty() ? cfg.certFile : cfg.keyFile,
                   cfg.rootCertFile.empty() ? cfg.certFile : cfg.rootCertFile};
    checkReadable(files.cert, "certificate");
    checkReadable(files.key, "private key");
    checkReadable(files.root, "root certificate");
    running->tls = SSL_CTX_new(TLS_server_method());
    if (running->tls == nullptr) throw ServerError("Cannot set up TLS: " + opensslErrors());
    const std::string error = setupTls(*running->tls, files);
    if (!error.empty()) throw ServerError(error);
    SSL_CTX_set_mode(running->tls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  }

  running->listenFd = listenOn(cfg.bindAddress, cfg.port, cfg.maxQueued, running->port);
  running->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (running->wakeFd < 0) throw ServerError("Cannot start the server: " + std::string(std::strerror(errno)));

  Running* r = running.get();
  r->ioThread = std::thread([r] { r->runIo(); });
  for (std::size_t i = 0; i < r->config.workers; ++i) r->workers.emplace_back([r] { r->runWorker(); });
  m_running = std::move(running);
}

void PositionServer::stop() {
  std::lock_guard lock(m_mutex);
  if (!m_running) return;
  Running& r = *m_running;
  {
    // Under both locks, so no job is queued and no connection handed back unseen.
    std::scoped_lock both(r.jobMutex, r.backMutex);
    r.stopping = true;
  }
  r.wake();
  r.jobReady.notify_all();
  // The I/O thread leaves within one poll wake-up and closes every connection it holds; the
  // workers finish the router call they are in (no client I/O blocks them).
  if (r.ioThread.joinable()) r.ioThread.join();
  for (auto& w : r.workers) w.join();
  r.jobs.clear();
  r.handedBack.clear();
  m_running.reset();
}

std::string localHostAddress() {
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0) return "localhost";
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name.data(), nullptr, &hints, &found) != 0 || !found) return {};
  std::string text;
  for (const addrinfo* a = found; a && text.empty(); a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    std::array<char, INET_ADDRSTRLEN> buf{};
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    if (inet_ntop(AF_INET, &in->sin_addr, buf.data(), buf.size())) text = buf.data();
  }
  freeaddrinfo(found);
  return text;
}

}  // namespace geomuxer
