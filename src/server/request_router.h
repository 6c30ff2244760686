#pragma once
// What the position server answers: authentication, the routing table, status pages, feeds,
// intake, administration and static files, on plain request and reply values. The HTTP machinery
// (position_server.h) fills an HttpRequest and writes the HttpReply.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <string_view>
#include <utility>
#include <vector>

#include "server/current_position.h"
#include "server/web_root.h"

namespace geomuxer {

class Database;
class StatusBoard;

struct HttpRequest {
  std::string method;         ///< "GET", "POST", ...
  std::string document;       ///< the path, URL-decoded, without the query
  std::string query;          ///< the raw text after '?', empty when none
  std::string user;           ///< Basic credentials; empty when none
  std::string password;
  std::string remoteAddress;
  std::string host;           ///< the Host header; empty when none
  std::string origin;         ///< the Origin header; empty when none
  std::string referer;        ///< the Referer header; empty when none
  std::string contentType;
  std::string body;

  /// A query parameter, decoded; names match without regard to case and the first one wins.
  /// Empty when missing.
  [[nodiscard]] std::string param(std::string_view name) const;
};

struct HttpReply {
  int status = 200;
  std::string contentType;         ///< empty: none
  std::string body;
  std::filesystem::path file;      ///< when set, the reply's content is this file, not `body`
  std::string contentDisposition;  ///< empty: none
  std::string location;            ///< redirect target
  std::string realm;               ///< non-empty: the reply becomes a 401 Basic challenge
  std::vector<std::pair<std::string, std::string>> headers;  ///< further reply headers
};

/// Who may do what, and where the pages are. Fixed for the life of a router.
struct RouterSettings {
  bool auth = false;       ///< GETs and administration posts need the server account
  std::string user;        ///< the server account, compared exactly
  std::string password;
  std::filesystem::path webRoot;
  /// The Retry-After of a position that could not be stored (a locked or full database).
  std::chrono::seconds storeRetryAfter{30};
  /// Refused logins from one address within `failedLoginWindow` before its logins are answered
  /// 429 for `loginBlockTime`.
  int maxFailedLogins = 5;
  std::chrono::seconds failedLoginWindow{60};
  std::chrono::seconds loginBlockTime{60};
};

inline constexpr std::string_view kLoginRealm = "Please Login";

/// The request handler. handle() runs on the server's worker threads, several at once; it may
/// throw (a bad posted number, a database failure in a feed), and the server answers 500 with the
/// message. Log lines go to the sink from the calling worker thread.
class RequestRouter {
 public:
  using LogSink = std::function<void(const std::string& line)>;

  /// `current` and `database` (null: no database) must outlive the router.
  RequestRouter(RouterSettings settings, const CurrentPosition& current, Database* database, LogSink log);

  [[nodiscard]] HttpReply handle(const HttpRequest& request) const;
  /// The refusal of a request that can be judged before its body is read, or nothing. handle()
  /// applies the same checks.
  [[nodiscard]] std::optional<HttpReply> screen(const HttpRequest& request) const;
  /// The request's log line, when request lines are logged.
  void logRequest(const HttpRequest& request, int status) const;

  /// What "/status.json" shows (null: the program is stopped); may change at any time, from any
  /// thread. The board must outlive the router.
  void setStatusBoard(const StatusBoard* board) { m_statusBoard.store(board, std::memory_order_release); }

  /// Whether each handled request writes a log line; may change at any time.
  void setLogRequests(bool on) { m_logRequests.store(on, std::memory_order_relaxed); }
  [[nodiscard]] bool logRequests() const { return m_logRequests.load(std::memory_order_relaxed); }

 private:
  [[nodiscard]] bool serverAccountAccepted(const HttpRequest& request) const;
  /// Whether a server account is set (authentication on, with a name or a password).
  [[nodiscard]] bool accountSet() const;
  /// Counts a refused login from the request's address; no credentials: not a login.
  void loginFailed(const HttpRequest& request) const;
  /// Seconds until the address may log in again; 0 when it may now.
  [[nodiscard]] long long loginBlockedFor(const std::string& address) const;

  void handleGet(const HttpRequest& request, HttpReply& reply) const;
  void handlePost(const HttpRequest& request, HttpReply& reply) const;
  void acceptClientPosition(const HttpRequest& request, HttpReply& reply) const;
  /// Runs one administration operation; false after a database error (the page is set) or
  /// without a database.
  [[nodiscard]] bool runAdministration(HttpReply& reply, const std::function<bool(Database&)>& operation) const;
  void sendStaticFile(const HttpRequest& request, HttpReply& reply) const;
  void log(const std::string& line) const;

  RouterSettings m_settings;
  WebRoot m_webRoot;
  const CurrentPosition& m_current;
  Database* m_database;
  LogSink m_log;
  std::atomic<bool> m_logRequests{false};
  std::atomic<const StatusBoard*> m_statusBoard{nullptr};

  struct LoginFailures {
    std::vector<std::chrono::steady_clock::time_point> times;  // within the window
    std::chrono::steady_clock::time_point blockedUntil{};
  };
  mutable std::mutex m_loginMutex;
  mutable std::unordered_map<std::string, LoginFailures> m_loginFailures;
};

/// Whether the address (as the server writes it) is on the loopback interface.
[[nodiscard]] bool isLoopbackAddress(std::string_view address);

/// Sets the status and the page of a status reply (200, 404, 405, ...).
void setStatusPage(const HttpRequest& request, HttpReply& reply, int status);
/// The body of the 401 reply.
[[nodiscard]] std::string unauthorizedPage();

/// Decodes %XX escapes, and '+' as a blank when `plusIsBlank`; a broken escape stays as written.
[[nodiscard]] std::string decodeUrl(std::string_view text, bool plusIsBlank);

}  // namespace geomuxer
