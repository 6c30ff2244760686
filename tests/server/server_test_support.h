#pragma once
// A position server on a loopback port with a fresh database and web root, and plain socket
// helpers for requests that real clients refuse to send.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <httplib.h>

#include "server/current_position.h"
#include "server/sqlite_store.h"
#include "server/position_server.h"
#include "support/temp_dir.h"

namespace geomuxer::test {

/// Collects log lines from the server's worker threads.
class LogRecorder {
 public:
  void add(const std::string& line) {
    std::lock_guard lock(m_mutex);
    m_lines.push_back(line);
  }
  [[nodiscard]] std::vector<std::string> lines() const {
    std::lock_guard lock(m_mutex);
    return m_lines;
  }
  void clear() {
    std::lock_guard lock(m_mutex);
    m_lines.clear();
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

class ServerFixture {
 public:
  explicit ServerFixture(bool withDatabase = true) {
    writeFile(m_dir / "http" / "index.html", "<html>root</html>");
    if (withDatabase) {
      m_database = std::make_unique<SqliteStore>(m_dir / "geomuxer.db",
                                              std::filesystem::path(GEOMUXER_SOURCE_DIR) / "data");
    }
    m_config.port = 0;
    m_config.bindAddress = "127.0.0.1";
    m_config.webRoot = m_dir / "http";
    m_config.logRequests = true;
    m_server = std::make_unique<PositionServer>(m_current, m_database.get(),
                                                [this](const std::string& line) { m_log.add(line); });
  }
  ~ServerFixture() { m_server->stop(); }

  void start() {
    m_server->setConfig(m_config);
    m_server->start();
  }
  void restart() {
    m_server->stop();
    start();
  }

  [[nodiscard]] httplib::Client client() const {
    httplib::Client c("127.0.0.1", m_server->port());
    c.set_read_timeout(10, 0);
    return c;
  }

  /// The id of a new client account with this name and password.
  std::int64_t addClient(const std::string& name, const std::string& password) {
    UserFields user;
    user.name = name;
    user.passwordHash = hashPassword(password);
    return m_database->addUser(user);
  }

  TempDir m_dir;
  CurrentPosition m_current;
  std::unique_ptr<Database> m_database;
  PositionServerConfig m_config;
  LogRecorder m_log;
  std::unique_ptr<PositionServer> m_server;
};

/// A connected loopback socket, closed at scope end.
class RawSocket {
 public:
  explicit RawSocket(int port) {
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(m_fd);
      m_fd = -1;
    }
    timeval tv{10, 0};  // a stalled server fails the test instead of hanging it
    if (m_fd >= 0) ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~RawSocket() {
    if (m_fd >= 0) ::close(m_fd);
  }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;

  [[nodiscard]] bool connected() const { return m_fd >= 0; }
  [[nodiscard]] int fd() const { return m_fd; }
  bool send(std::string_view bytes) {
    return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  /// Everything until the server closes the connection (or the receive time-out).
  std::string receiveAll() {
    std::string out;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

 private:
  int m_fd = -1;
};

/// Sends `request` as it stands and returns the whole reply.
inline std::string rawExchange(int port, std::string_view request) {
  RawSocket s(port);
  if (!s.connected() || !s.send(request)) return {};
  return s.receiveAll();
}

/// The status code of a raw reply, or 0.
inline int rawStatus(std::string_view reply) {
  if (reply.size() < 12 || reply.substr(0, 5) != "HTTP/") return 0;
  return std::atoi(std::string(reply.substr(9, 3)).c_str());
}

inline std::string rawBody(std::string_view reply) {
  const auto end = reply.find("\r\n\r\n");
  return end == std::string_view::npos ? std::string() : std::string(reply.substr(end + 4));
}

/// Runs a shell command and returns its standard output; the exit status goes to `status`.
inline std::string runCommand(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  const int rc = ::pclose(pipe);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

inline bool haveProgram(const std::string& name) {
  int status = 0;
  runCommand("command -v " + name + " >/dev/null 2>&1", &status);
  return status == 0;
}

}  // namespace geomuxer::test
