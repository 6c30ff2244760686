#pragma once
// The embedded HTTP/1.1 position server: listens on a port (optionally with TLS), one request per
// connection, and answers through RequestRouter. One I/O thread accepts connections, reads and
// checks each request through the request guard under deadlines and writes the replies; a small
// pool of workers runs the router on complete, bounded requests and never waits for a client.
// No Qt; the controller owns it and calls start()/stop() from its own thread.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "server/current_position.h"
#include "server/request_guard.h"
#include "server/request_router.h"

namespace geomuxer {

class Database;
class StatusBoard;

/// Starting failed: the port cannot be bound, or a TLS file is missing or unusable.
class ServerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PositionServerConfig {
  int port = 8087;                 ///< 0 picks a free port (see PositionServer::port())
  std::string bindAddress = "0.0.0.0";
  bool auth = false;               ///< GETs and administration posts need the server account
  std::string user;
  std::string password;            ///< plain text
  std::filesystem::path webRoot;

  bool useTls = false;
  std::filesystem::path certFile;
  std::filesystem::path keyFile;       ///< empty: the certificate file
  std::filesystem::path rootCertFile;  ///< empty: the certificate file

  bool logRequests = false;
  /// What a poster is told to wait when its position could not be stored.
  std::chrono::seconds storeRetryAfter{30};
  /// The head of a request (and a TLS handshake) must arrive within this time of the connection,
  /// the body within the second; else 408 and the connection is closed.
  std::chrono::milliseconds headerTimeout{10000};
  std::chrono::milliseconds bodyTimeout{30000};
  /// A reply whose client takes nothing for this long is dropped.
  std::chrono::milliseconds writeTimeout{10000};
  RequestLimits limits;
  /// Open connections; one past this is closed at once.
  std::size_t maxConnections = 512;
  /// Complete requests waiting for a worker; past this they are answered 503 at once. Also the
  /// listen backlog (connections the system holds before they are accepted).
  std::size_t maxQueued = 128;
  /// Threads that run the router; none of them ever waits for a client.
  std::size_t workers = 8;
};

class PositionServer {
 public:
  using LogSink = RequestRouter::LogSink;

  /// `current` and `database` (null: none) must outlive the server. `log` receives the request
  /// lines and "SQL ERROR: " lines on worker threads; hand them to the owner's thread.
  PositionServer(const CurrentPosition& current, Database* database, LogSink log);
  ~PositionServer();
  PositionServer(const PositionServer&) = delete;
  PositionServer& operator=(const PositionServer&) = delete;

  /// Takes effect at the next start().
  void setConfig(const PositionServerConfig& config);
  [[nodiscard]] PositionServerConfig config() const;
  /// The store (null: none), for a store that opened after the server was made; takes effect at
  /// the next start().
  void setDatabase(Database* database);
  /// What "/status.json" shows (null: none, the page says "stopped"). Takes effect at once, also
  /// while running. The board must outlive the server.
  void setStatusBoard(const StatusBoard* board);

  /// Binds and starts listening; returns once requests are being accepted. Throws ServerError.
  /// Does nothing when already running.
  void start();
  /// Stops listening and closes every connection at once, whatever their clients do; waits only
  /// for router calls in progress (a database statement).
  void stop();
  [[nodiscard]] bool running() const;
  /// The listening port while running, else the configured one.
  [[nodiscard]] int port() const;
  /// "http://<first IPv4 address of this host>:<port>/" ("https" with TLS); the host is
  /// "localhost" when the host name cannot be read, the text empty when it does not resolve.
  [[nodiscard]] std::string serverUrl() const;

  /// Whether each request writes a log line; takes effect at once.
  void setLogRequests(bool on);

 private:
  struct Running;

  const CurrentPosition& m_current;
  Database* m_database;
  const StatusBoard* m_statusBoard = nullptr;
  LogSink m_log;
  mutable std::mutex m_mutex;  // guards everything below; start/stop hold it throughout
  PositionServerConfig m_config;
  std::unique_ptr<Running> m_running;
};

/// The first IPv4 address the local host name resolves to, dotted; "localhost" when the host
/// name cannot be read; empty when it does not resolve.
[[nodiscard]] std::string localHostAddress();

}  // namespace geomuxer
