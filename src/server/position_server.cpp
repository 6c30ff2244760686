// The only translation unit that includes httplib.h; the HTTP library is built with OpenSSL, and
// its class layouts depend on that, so the define comes from the build (see CMakeLists.txt).
#include "server/position_server.h"

#include <netdb.h>
#include <sys/socket.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <unordered_map>
#include <vector>

#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "server/multipart_form.h"
#include "server/server_feeds.h"

#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#error "The position server needs cpp-httplib with OpenSSL support"
#endif

namespace geomuxer {

namespace {

using Clock = std::chrono::steady_clock;

// --- worker threads --------------------------------------------------------------------------

/// A pool that grows to one thread per open connection, up to a limit, and shrinks back after a
/// quiet spell. A fixed pool lets a handful of idle connections block everyone else.
class ElasticTaskQueue final : public httplib::TaskQueue {
 public:
  ElasticTaskQueue(std::size_t keep, std::size_t max) : m_keep(std::max<std::size_t>(keep, 1)), m_max(std::max(max, m_keep)) {}
  ~ElasticTaskQueue() override { shutdown(); }

  void enqueue(std::function<void()> fn) override {
    std::vector<std::thread> finished;
    {
      std::lock_guard lock(m_mutex);
      m_jobs.push_back(std::move(fn));
      finished = takeFinished();
      if (m_jobs.size() > m_idle && m_threads.size() < m_max) spawn();
    }
    m_wake.notify_one();
    for (auto& t : finished) t.join();
  }

  void shutdown() override {
    std::unordered_map<std::thread::id, std::thread> threads;
    std::vector<std::thread> finished;
    {
      std::lock_guard lock(m_mutex);
      m_shutdown = true;
      threads.swap(m_threads);
      finished = takeFinished();
    }
    m_wake.notify_all();
    for (auto& [id, t] : threads) t.join();
    for (auto& t : finished) t.join();
  }

 private:
  static constexpr auto kIdleTimeout = std::chrono::seconds(10);

  void spawn() {
    std::thread t([this] { work(); });
    const auto id = t.get_id();
    m_threads.emplace(id, std::move(t));
  }

  std::vector<std::thread> takeFinished() {
    std::vector<std::thread> out;
    for (const auto& id : m_finishedIds) {
      const auto it = m_threads.find(id);
      if (it == m_threads.end()) continue;
      out.push_back(std::move(it->second));
      m_threads.erase(it);
    }
    m_finishedIds.clear();
    return out;
  }

  void work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(m_mutex);
        ++m_idle;
        const bool woken = m_wake.wait_for(lock, kIdleTimeout, [this] { return m_shutdown || !m_jobs.empty(); });
        --m_idle;
        if (!m_jobs.empty()) {
          job = std::move(m_jobs.front());
          m_jobs.pop_front();
        } else if (m_shutdown) {
          return;
        } else if (!woken && m_threads.size() - m_finishedIds.size() > m_keep) {
          // Leave; the next enqueue or the shutdown joins this thread.
          m_finishedIds.push_back(std::this_thread::get_id());
          return;
        } else {
          continue;
        }
      }
      job();
    }
  }

  const std::size_t m_keep;
  const std::size_t m_max;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::deque<std::function<void()>> m_jobs;
  std::unordered_map<std::thread::id, std::thread> m_threads;
  std::vector<std::thread::id> m_finishedIds;
  std::size_t m_idle = 0;
  bool m_shutdown = false;
};

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
void readCredentials(const httplib::Request& req, HttpRequest& out) {
  if (!req.has_header("Authorization")) return;
  const std::string header = req.get_header_value("Authorization");
  std::string_view value = header;
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  const auto blank = value.find(' ');
  if (blank == std::string_view::npos || !equalsIgnoreCase(value.substr(0, blank), "Basic")) return;
  const auto decoded = decodeBase64(value.substr(blank + 1));
  if (!decoded) return;
  const auto colon = decoded->find(':');
  out.user = decoded->substr(0, colon);
  if (colon != std::string::npos) out.password = decoded->substr(colon + 1);
}

/// The library parses multipart bodies itself and then keeps no raw body; our form reader has
/// rules of its own (trimming, transfer encodings, limits). So the content type is moved aside
/// before the body is read, and the library stores the body as it came.
constexpr const char* kHiddenFormType = "X-Geomuxer-Form-Content-Type";

void hideFormType(httplib::Request& req) {
  req.headers.erase(kHiddenFormType);  // never trust a client's copy
  if (!req.has_header("Content-Type")) return;
  std::string type = req.get_header_value("Content-Type");
  req.headers.erase("Content-Type");
  req.headers.emplace(kHiddenFormType, std::move(type));
}

HttpRequest toHttpRequest(const httplib::Request& req) {
  HttpRequest out;
  out.method = req.method;
  out.document = req.path;
  const auto question = req.target.find('?');
  if (question != std::string::npos) out.query = req.target.substr(question + 1);
  readCredentials(req, out);
  out.remoteAddress = req.remote_addr;
  out.contentType = req.get_header_value(req.has_header(kHiddenFormType) ? kHiddenFormType : "Content-Type");
  out.body = req.body;
  return out;
}

std::string_view reasonOf(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 416: return "Range Not Satisfiable";
    case 417: return "Expectation Failed";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}

/// Sends `file` in pieces; false (no reply) when it cannot be opened.
bool sendFile(httplib::Response& res, const std::filesystem::path& file, const std::string& contentType) {
  auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
  std::error_code ec;
  const auto size = std::filesystem::file_size(file, ec);
  if (!*in || ec) return false;
  res.set_content_provider(static_cast<std::size_t>(size), contentType,
                           [in](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                             std::array<char, 64 * 1024> buf{};
                             in->clear();
                             in->seekg(static_cast<std::streamoff>(offset));
                             in->read(buf.data(), static_cast<std::streamsize>(std::min(length, buf.size())));
                             const auto got = in->gcount();
                             // A file that shrank while being sent ends the connection.
                             if (got <= 0) return false;
                             return sink.write(buf.data(), static_cast<std::size_t>(got));
                           });
  return true;
}

void writeReply(const HttpRequest& request, HttpReply reply, httplib::Response& res) {
  if (!reply.realm.empty()) {
    res.status = 401;
    res.set_header("WWW-Authenticate", "Basic realm=\"" + reply.realm + "\"");
    res.set_content(unauthorizedPage(), "text/html");
    return;
  }
  if (!reply.file.empty()) {
    if (sendFile(res, reply.file, reply.contentType)) {
      res.status = reply.status;
      return;
    }
    setStatusPage(request, reply, 404);
  }
  res.status = reply.status;
  for (const auto& [name, value] : reply.headers) res.set_header(name, value);
  if (!reply.contentDisposition.empty()) res.set_header("Content-Disposition", reply.contentDisposition);
  if (!reply.location.empty()) res.set_header("Location", reply.location);
  if (!reply.body.empty() || !reply.contentType.empty()) {
    res.set_content(std::move(reply.body), reply.contentType.empty() ? "text/plain" : reply.contentType);
  }
}

/// The POST documents whose body is worth reading; every other POST is answered before it.
constexpr std::array<std::string_view, 6> kPostDocuments{
    "/onclientpos", "/admin/deleteclient", "/admin/editclient", "/admin/addclient", "/admin/deletetrack", "/test",
};

bool isPostDocument(std::string_view path) {
  return std::find(kPostDocuments.begin(), kPostDocuments.end(), path) != kPostDocuments.end();
}

}  // namespace

// --- the server ------------------------------------------------------------------------------

struct PositionServer::Running {
  std::unique_ptr<RequestRouter> router;
  std::unique_ptr<httplib::Server> http;
  std::thread listener;
  std::atomic<bool> listenerDone{false};
  int port = 0;
  bool tls = false;
};

PositionServer::PositionServer(const CurrentPosition& current, Database* database, LogSink log)
    : m_current(current), m_database(database), m_log(std::move(log)) {}

PositionServer::~PositionServer() { stop(); }

void PositionServer::setConfig(const PositionServerConfig& config) {
  std::lock_guard lock(m_mutex);
  m_config = config;
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
    tls = m_running ? m_running->tls : m_config.useTls;
    listening = m_running ? m_running->port : m_config.port;
  }
  const std::string host = localHostAddress();
  if (host.empty()) return {};
  return std::string(tls ? "https" : "http") + "://" + host + ":" + std::to_string(listening) + "/";
}

void PositionServer::start() {
  std::lock_guard lock(m_mutex);
  if (m_running) return;
  const PositionServerConfig& cfg = m_config;

  auto running = std::make_unique<Running>();
  running->router = std::make_unique<RequestRouter>(
      RouterSettings{.auth = cfg.auth,
                     .user = cfg.user,
                     .password = cfg.password,
                     .webRoot = cfg.webRoot,
                     .storeRetryAfter = cfg.storeRetryAfter},
      m_current, m_database, m_log);
  running->router->setLogRequests(cfg.logRequests);

  if (cfg.useTls) {
    TlsFiles files{cfg.certFile, cfg.keyFile.empty() ? cfg.certFile : cfg.keyFile,
                   cfg.rootCertFile.empty() ? cfg.certFile : cfg.rootCertFile};
    checkReadable(files.cert, "certificate");
    checkReadable(files.key, "private key");
    checkReadable(files.root, "root certificate");
    std::string error;
    auto server = std::make_unique<httplib::SSLServer>([&](SSL_CTX& ctx) {
      error = setupTls(ctx, files);
      return error.empty();
    });
    if (!server->is_valid()) throw ServerError(error.empty() ? "Cannot set up TLS: " + opensslErrors() : error);
    running->http = std::move(server);
    running->tls = true;
  } else {
    running->http = std::make_unique<httplib::Server>();
  }

  httplib::Server& http = *running->http;
  const std::size_t minWorkers = cfg.minWorkers;
  const std::size_t maxWorkers = cfg.maxWorkers;
  http.new_task_queue = [minWorkers, maxWorkers] { return new ElasticTaskQueue(minWorkers, maxWorkers); };
  http.set_keep_alive_max_count(1);
  http.set_keep_alive_timeout(cfg.readTimeout.count());
  http.set_read_timeout(cfg.readTimeout.count(), 0);
  http.set_write_timeout(cfg.writeTimeout.count(), 0);
  http.set_payload_max_length(cfg.maxBodySize);
  http.set_tcp_nodelay(true);
  // Added to every reply, the library's own error replies included.
  http.set_default_headers({{"Server", serverSoftware()}});

  const RequestRouter& router = *running->router;
  auto dispatch = [&router](const httplib::Request& req, httplib::Response& res) {
    HttpRequest request = toHttpRequest(req);
    HttpReply reply;
    try {
      reply = router.handle(request);
    } catch (const std::exception& e) {
      // No log line: the request did not complete.
      res.status = 500;
      res.set_content(e.what(), "text/plain");
      return;
    }
    writeReply(request, std::move(reply), res);
  };
  // One routing function for every method. Bodies are read only for the POST documents that use
  // them; everything else is answered before the library reads a body or matches patterns.
  http.set_pre_routing_handler([dispatch](const httplib::Request& req, httplib::Response& res) {
    if (req.method == "POST" && isPostDocument(req.path)) {
      hideFormType(const_cast<httplib::Request&>(req));  // the request object itself is not const
      return httplib::Server::HandlerResponse::Unhandled;
    }
    if (req.method == "GET" || req.method == "HEAD" || req.method == "POST") {
      dispatch(req, res);
    } else {
      res.status = 200;  // other methods are accepted and do nothing
    }
    return httplib::Server::HandlerResponse::Handled;
  });
  for (const auto document : kPostDocuments) {
    // The documents hold no pattern characters; matched literally.
    http.Post(std::string(document), dispatch);
  }
  http.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
    // Failures the library finds itself (bad request line, body too large) get a page in the
    // same style; replies that already carry content keep it.
    if (!res.body.empty() || res.content_length_ > 0) return httplib::Server::HandlerResponse::Unhandled;
    res.set_content("<html><body><h1>" + std::to_string(res.status) + "</h1><p>" + std::string(reasonOf(res.status)) +
                        "</p><hr><address>" + serverSoftware() + "</address></body></html>",
                    "text/html");
    return httplib::Server::HandlerResponse::Handled;
  }));

  // The library's default options also set SO_REUSEPORT, which would let a second instance
  // share the port silently; only address reuse is wanted. The socket is kept to widen its
  // backlog below.
  int listenSocket = -1;
  http.set_socket_options([&listenSocket](int sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listenSocket = sock;
  });
  if (cfg.port == 0) {
    running->port = http.bind_to_any_port(cfg.bindAddress);
    if (running->port <= 0) throw ServerError("Cannot listen on a free port: " + std::string(std::strerror(errno)));
  } else {
    if (!http.bind_to_port(cfg.bindAddress, cfg.port)) {
      throw ServerError("Cannot listen on port " + std::to_string(cfg.port) + ": " + std::strerror(errno));
    }
    running->port = cfg.port;
  }
  // The library listens with a backlog of 5: a burst of clients would see dropped connection
  // attempts and retry only after a second.
  if (listenSocket >= 0) ::listen(listenSocket, SOMAXCONN);

  Running* r = running.get();
  r->listener = std::thread([r] {
    r->http->listen_after_bind();
    r->listenerDone = true;
  });
  // stop() only works once the library counts itself running.
  while (!http.is_running() && !r->listenerDone) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (r->listenerDone) {
    r->listener.join();
    throw ServerError("The server stopped at once after it started");
  }
  m_running = std::move(running);
}

void PositionServer::stop() {
  std::lock_guard lock(m_mutex);
  if (!m_running) return;
  m_running->http->stop();
  if (m_running->listener.joinable()) m_running->listener.join();
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
