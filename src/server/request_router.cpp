#include "server/request_router.h"

#include <array>
#include <cctype>
#include <optional>

#include "core/number_text.h"
#include "server/client_intake.h"
#include "server/database.h"
#include "server/multipart_form.h"
#include "server/program_status.h"
#include "server/server_feeds.h"
#include "server/sqlite.h"
#include "settings/sml_node.h"

namespace geomuxer {

namespace {

constexpr std::string_view kXmlType = "text/xml";
constexpr std::string_view kHtmlType = "text/html";
constexpr std::string_view kAdminPage = "/admin/";

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string pageFoot() { return "<hr><address>" + serverSoftware() + "</address></body></html>"; }

/// A parameter read as an id: -1 when missing or not a number.
std::int64_t integerParam(const HttpRequest& request, std::string_view name) {
  return parseInt64(request.param(name)).value_or(-1);
}

void sendDocument(HttpReply& reply, const SmlNode& root) {
  reply.status = 200;
  reply.contentType = kXmlType;
  reply.body = root.asText("UTF-8");
}

void sendGpx(const HttpRequest& request, HttpReply& reply, const std::vector<StoredPosition>& track,
             std::string_view fileName) {
  SmlNode root;
  buildGpxTrack(root, track, nowUtc());
  sendDocument(reply, root);
  if (textToBool(request.param("att"))) {
    reply.contentDisposition = "attachment; filename=\"" + std::string(fileName) + "\"";
  }
}

// --- GET routes ----------------------------------------------------------------------------
// Each answers true when it produced a document; false answers 404.

struct GetContext {
  const HttpRequest& request;
  HttpReply& reply;
  const CurrentPosition& current;
  Database* database;
  const StatusBoard* statusBoard;  // null: none
};

bool getPosition(const GetContext& c) {
  SmlNode root;
  buildPositionFeed(root, c.current.snapshot().position);
  sendDocument(c.reply, root);
  return true;
}

bool getPositionText(const GetContext& c) {
  const PositionSnapshot snapshot = c.current.snapshot();
  SmlNode root;
  buildPositionTextFeed(root, snapshot.position, snapshot.format);
  sendDocument(c.reply, root);
  return true;
}

bool getStatus(const GetContext& c) {
  c.reply.status = 200;
  c.reply.contentType = "application/json; charset=utf-8";
  // Without a board nothing runs that could report; a stopped program is still an answer.
  c.reply.body = c.statusBoard ? c.statusBoard->json() : statusJson(ProgramStatus{}, 0);
  // Pollers want the state of now, never a cached one.
  c.reply.headers.emplace_back("Cache-Control", "no-store");
  return true;
}

bool sendStoredPosition(const GetContext& c, const std::optional<StoredPosition>& position) {
  if (!position) return false;
  SmlNode root;
  buildStoredPositionFeed(root, *position);
  sendDocument(c.reply, root);
  return true;
}

bool getStoredPosition(const GetContext& c) {
  const auto id = integerParam(c.request, "id");
  if (id == -1 || !c.database) return false;
  return sendStoredPosition(c, c.database->position(id));
}

bool getLastPosition(const GetContext& c) {
  if (!c.database) return false;
  const auto user = integerParam(c.request, "user");
  if (user != -1) return sendStoredPosition(c, c.database->lastPositionOfUser(user));
  const std::string trackId = c.request.param("tid");
  if (trackId.empty()) return false;
  return sendStoredPosition(c, c.database->lastPositionOfTrack(trackId));
}

bool getClientTrackGpx(const GetContext& c) {
  const std::string trackId = c.request.param("id");
  if (trackId.empty() || !c.database) return false;
  sendGpx(c.request, c.reply, c.database->track(trackId), "clienttrack.gpx");
  return true;
}

bool getLastTrackGpx(const GetContext& c) {
  const auto user = integerParam(c.request, "user");
  if (user == -1 || !c.database) return false;
  sendGpx(c.request, c.reply, c.database->lastTrackOfUser(user), "lasttrack.gpx");
  return true;
}

bool getClientTracks(const GetContext& c) {
  const auto user = integerParam(c.request, "user");
  if (user == -1 || !c.database) return false;
  SmlNode root;
  buildTrackListFeed(root, user, c.database->tracksOfUser(user));
  sendDocument(c.reply, root);
  return true;
}

bool getLastTrack(const GetContext& c) {
  const auto user = integerParam(c.request, "user");
  if (user == -1 || !c.database) return false;
  SmlNode root;
  buildPositionListFeed(root, "track", user, c.database->lastTrackOfUser(user));
  sendDocument(c.reply, root);
  return true;
}

bool getTracks(const GetContext& c) {
  const auto user = integerParam(c.request, "user");
  if (user == -1 || !c.database) return false;
  SmlNode root;
  buildPositionListFeed(root, "tracks", user, c.database->positionsOfUser(user));
  sendDocument(c.reply, root);
  return true;
}

bool getClients(const GetContext& c) {
  if (!c.database) return false;
  SmlNode root;
  buildClientsFeed(root, c.database->users());
  sendDocument(c.reply, root);
  return true;
}

bool getClient(const GetContext& c) {
  const auto id = integerParam(c.request, "id");
  if (id == -1 || !c.database) return false;
  const auto user = c.database->user(id);
  if (!user) return false;
  SmlNode root;
  buildClientFeed(root, *user);
  sendDocument(c.reply, root);
  return true;
}

struct GetRoute {
  std::string_view document;
  bool (*answer)(const GetContext&);
};

constexpr std::array kGetRoutes{
    GetRoute{"/pos.xml", getPosition},
    GetRoute{"/postext.xml", getPositionText},
    GetRoute{"/status.json", getStatus},
    GetRoute{"/admin/position.xml", getStoredPosition},
    GetRoute{"/admin/lastpos.xml", getLastPosition},
    GetRoute{"/admin/clienttrack.gpx", getClientTrackGpx},
    GetRoute{"/admin/lasttrack.gpx", getLastTrackGpx},
    GetRoute{"/admin/clienttracks.xml", getClientTracks},
    GetRoute{"/admin/lasttrack.xml", getLastTrack},
    GetRoute{"/admin/tracks.xml", getTracks},
    GetRoute{"/admin/clients.xml", getClients},
    GetRoute{"/admin/client.xml", getClient},
};

}  // namespace

// --- plain helpers ---------------------------------------------------------------------------

std::string decodeUrl(std::string_view text, bool plusIsBlank) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      const int high = hexDigit(text[i + 1]);
      const int low = hexDigit(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    out += (plusIsBlank && c == '+') ? ' ' : c;
  }
  return out;
}

std::string HttpRequest::param(std::string_view name) const {
  std::string_view rest = query;
  while (!rest.empty()) {
    const auto amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
    const auto eq = pair.find('=');
    const std::string key = decodeUrl(pair.substr(0, eq), true);
    if (!equalsIgnoreCase(key, name)) continue;
    return eq == std::string_view::npos ? std::string() : decodeUrl(pair.substr(eq + 1), true);
  }
  return {};
}

void setStatusPage(const HttpRequest& request, HttpReply& reply, int status) {
  reply.status = status;
  reply.contentType = kHtmlType;
  reply.file.clear();
  switch (status) {
    case 200:
      reply.body = "<html><body><h1>200</h1><p>OK</p>";
      break;
    case 404:
      // Escaped: the page must not carry markup a client smuggled into the address.
      reply.body = "<html><body><h1>404</h1><p>Object " +
                   smlEscape(request.document + (request.query.empty() ? std::string() : "?" + request.query)) +
                   " not found</p>";
      break;
    case 405:
      reply.body = "<html><body><h1>405</h1><p>Method Not Allowed</p>";
      break;
    case 503:
      reply.body = "<html><body><h1>503</h1><p>The position was not stored; try again later</p>";
      break;
    default:
      reply.body = "<html><body><h1>" + std::to_string(status) + "</h1>";
      break;
  }
  reply.body += pageFoot();
}

std::string unauthorizedPage() { return "<html><body><h1>401</h1><p>Unauthorized</p>" + pageFoot(); }

// --- the router ------------------------------------------------------------------------------

RequestRouter::RequestRouter(RouterSettings settings, const CurrentPosition& current, Database* database,
                             LogSink log)
    : m_settings(std::move(settings)),
      m_webRoot(m_settings.webRoot),
      m_current(current),
      m_database(database),
      m_log(std::move(log)) {}

void RequestRouter::log(const std::string& line) const {
  if (m_log) m_log(line);
}

bool RequestRouter::serverAccountAccepted(const HttpRequest& request) const {
  return !m_settings.auth || (request.user == m_settings.user && request.password == m_settings.password);
}

bool isLoopbackAddress(std::string_view address) {
  return address.starts_with("127.") || address == "::1";
}

namespace {

bool isAdministration(std::string_view document) { return document == "/admin" || document.starts_with("/admin/"); }

bool hasCredentials(const HttpRequest& request) { return !request.user.empty() || !request.password.empty(); }

/// "host[:port]" of an absolute URL ("scheme://host:port/path"); empty when it has none.
std::string_view authorityOf(std::string_view url) {
  const auto scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  url.remove_prefix(scheme + 3);
  return url.substr(0, url.find_first_of("/?#"));
}

/// An administration post must come from a page of this server: a foreign page in the
/// administrator's browser could otherwise post with the browser's stored credentials.
bool fromThisServer(const HttpRequest& request) {
  const std::string_view source = !request.origin.empty() ? std::string_view(request.origin) : request.referer;
  const std::string_view authority = authorityOf(source);
  return !authority.empty() && !request.host.empty() && equalsIgnoreCase(authority, request.host);
}

void setRefusal(HttpReply& reply, int status, std::string_view message) {
  reply.status = status;
  reply.contentType = kHtmlType;
  reply.body = "<html><body><h1>" + std::to_string(status) + "</h1><p>" + std::string(message) + "</p>" + pageFoot();
}

}  // namespace

bool RequestRouter::accountSet() const {
  return m_settings.auth && !(m_settings.user.empty() && m_settings.password.empty());
}

long long RequestRouter::loginBlockedFor(const std::string& address) const {
  std::lock_guard lock(m_loginMutex);
  const auto it = m_loginFailures.find(address);
  if (it == m_loginFailures.end()) return 0;
  const auto left = it->second.blockedUntil - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  return std::chrono::ceil<std::chrono::seconds>(left).count();
}

void RequestRouter::loginFailed(const HttpRequest& request) const {
  if (!hasCredentials(request)) return;  // the first, unauthenticated try of every browser
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(m_loginMutex);
  // Bounded: a flood of addresses cannot grow the table without end.
  constexpr std::size_t kMaxAddresses = 10000;
  if (m_loginFailures.size() >= kMaxAddresses) {
    std::erase_if(m_loginFailures, [&](const auto& entry) {
      return entry.second.blockedUntil <= now &&
             (entry.second.times.empty() || entry.second.times.back() + m_settings.failedLoginWindow <= now);
    });
    if (m_loginFailures.size() >= kMaxAddresses) m_loginFailures.clear();
  }
  LoginFailures& failures = m_loginFailures[request.remoteAddress];
  std::erase_if(failures.times, [&](const auto& t) { return t + m_settings.failedLoginWindow <= now; });
  failures.times.push_back(now);
  if (static_cast<int>(failures.times.size()) >= m_settings.maxFailedLogins) {
    failures.blockedUntil = now + m_settings.loginBlockTime;
    failures.times.clear();
  }
}

std::optional<HttpReply> RequestRouter::screen(const HttpRequest& request) const {
  HttpReply reply;
  const bool administration = isAdministration(request.document);
  if (administration && !accountSet() && !isLoopbackAddress(request.remoteAddress)) {
    setRefusal(reply, 403,
               "The administration pages answer only this computer while no server account is set. To administer "
               "the server from elsewhere, set a user name and password on the HTTP Server page of the options "
               "and tick &quot;Authentication required&quot; (settings http\\auth, http\\username, "
               "http\\password).");
    return reply;
  }
  if (hasCredentials(request)) {
    if (const auto wait = loginBlockedFor(request.remoteAddress); wait > 0) {
      setRefusal(reply, 429, "Too many failed logins from this address; try again later.");
      reply.headers.emplace_back("Retry-After", std::to_string(wait));
      return reply;
    }
  }
  if (administration && request.method == "POST" && accountSet() && !fromThisServer(request)) {
    setRefusal(reply, 403,
               "Administration posts are accepted only from the server's own pages (the Origin or Referer names "
               "another site, or none).");
    return reply;
  }
  return std::nullopt;
}

void RequestRouter::logRequest(const HttpRequest& request, int status) const {
  if (!logRequests()) return;
  log("HTTP " + request.method + ": " + request.document +
      (request.query.empty() ? std::string() : "?" + request.query) + " (" + std::to_string(status) + ") from " +
      request.remoteAddress);
}

HttpReply RequestRouter::handle(const HttpRequest& request) const {
  if (auto refusal = screen(request)) {
    logRequest(request, refusal->status);
    return std::move(*refusal);
  }
  HttpReply reply;
  if (request.document.find("/.") != std::string::npos) {
    setStatusPage(request, reply, 404);
  } else if (request.method == "GET") {
    if (!serverAccountAccepted(request)) {
      loginFailed(request);
      reply.realm = kLoginRealm;  // challenged at once: no page, no log line
      return reply;
    }
    handleGet(request, reply);
  } else if (request.method == "POST") {
    handlePost(request, reply);
    // A refused administration post is treated like a refused GET; a refused intake is logged.
    if (!reply.realm.empty() && request.document != "/onclientpos") return reply;
  } else {
    setStatusPage(request, reply, 405);
  }

  // The status is the handler's: a refused intake logs 200, its 401 is applied when written.
  logRequest(request, reply.status);
  return reply;
}

void RequestRouter::handleGet(const HttpRequest& request, HttpReply& reply) const {
  for (const auto& route : kGetRoutes) {
    if (route.document != request.document) continue;
    const GetContext context{request, reply, m_current, m_database, m_statusBoard.load(std::memory_order_acquire)};
    if (!route.answer(context)) setStatusPage(request, reply, 404);
    return;
  }
  sendStaticFile(request, reply);
}

void RequestRouter::sendStaticFile(const HttpRequest& request, HttpReply& reply) const {
  const auto file = m_webRoot.resolve(request.document);
  if (!file) {
    setStatusPage(request, reply, 404);
    return;
  }
  reply.status = 200;
  reply.file = *file;
  reply.contentType = contentTypeOfFile(*file);
}

void RequestRouter::handlePost(const HttpRequest& request, HttpReply& reply) const {
  const std::string_view document = request.document;
  if (document == "/onclientpos") {
    acceptClientPosition(request, reply);
    return;
  }
  if (document == "/test") {
    setStatusPage(request, reply, 200);
    return;
  }

  // Each operation answers whether it succeeded; success redirects to the administration page.
  struct AdminRoute {
    std::string_view document;
    bool (*operation)(Database&, const MultipartForm&);
  };
  static constexpr AdminRoute kAdminRoutes[] = {
      {"/admin/deleteclient",
       [](Database& db, const MultipartForm& form) {
         db.deleteUser(readClientId(form), !form.value("deltracks").empty());
         return true;
       }},
      {"/admin/editclient",
       [](Database& db, const MultipartForm& form) {
         db.updateUser(readClientId(form), readClientFields(form, true));
         return true;
       }},
      {"/admin/addclient",
       [](Database& db, const MultipartForm& form) { return db.addUser(readClientFields(form, false)) != 0; }},
      {"/admin/deletetrack",
       [](Database& db, const MultipartForm& form) {
         db.deleteTrack(form.value("id"));
         return true;
       }},
  };
  for (const auto& route : kAdminRoutes) {
    if (route.document != document) continue;
    // Administration changes stored data: it needs the same account as reading does.
    if (!serverAccountAccepted(request)) {
      loginFailed(request);
      reply.realm = kLoginRealm;
      return;
    }
    const auto operation = route.operation;
    if (runAdministration(reply, [&](Database& db) {
          return operation(db, MultipartForm::parse(request.contentType, request.body));
        })) {
      reply.status = 302;
      reply.location = kAdminPage;
    }
    return;
  }
  setStatusPage(request, reply, 404);
}

bool RequestRouter::runAdministration(HttpReply& reply, const std::function<bool(Database&)>& operation) const {
  if (!m_database) return false;
  try {
    return operation(*m_database);
  } catch (const StoreError& e) {
    reply.status = 200;
    reply.contentType = kHtmlType;
    reply.body = "<html><body><h1>SQL Error</h1><p>" + smlEscape(e.what()) + "</p>";
    log("SQL ERROR: " + std::string(e.what()));
    return false;
  }
}

void RequestRouter::acceptClientPosition(const HttpRequest& request, HttpReply& reply) const {
  if (!m_database) {  // not open (yet): the poster keeps the position for later
    setStatusPage(request, reply, 503);
    reply.headers.emplace_back("Retry-After", std::to_string(m_settings.storeRetryAfter.count()));
    return;
  }
  try {
    const std::int64_t client = m_database->checkLogin(request.user, request.password);
    if (client == -1) {
      loginFailed(request);
      reply.realm = kLoginRealm;
      return;
    }
    const PostedPosition posted = readPostedPosition(MultipartForm::parse(request.contentType, request.body));
    m_database->storePosition(client, posted.position, posted.comment, posted.trackId);
  } catch (const StoreError& e) {
    // Not stored: the poster keeps the position and tries again later.
    log("SQL ERROR: " + std::string(e.what()));
    setStatusPage(request, reply, 503);
    reply.headers.emplace_back("Retry-After", std::to_string(m_settings.storeRetryAfter.count()));
    return;
  }
  setStatusPage(request, reply, 200);
}

}  // namespace geomuxer
