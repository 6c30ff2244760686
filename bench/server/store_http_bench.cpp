// Stored positions per second over HTTP and the time of "/admin/tracks.xml" on a large store, for
// the SQLite file and for PostgreSQL, in one run. Run inside a throw-away PostgreSQL server on a
// release build:
//   pg_virtualenv -t -v 15 build/release/bench/server/store_http_bench [seconds] [positions]
// Intake: 16 and 64 clients, each its own account, post multipart positions for `seconds`
// (default 5) to one server, and (PostgreSQL) to two servers sharing one database, half the
// clients each; a post counts when it is answered 200, and the stored rows are counted after.
// Reads: `positions` (default 10 000 000) rows for 10 000 clients are written with one bulk SQL
// insert per store, then "/admin/tracks.xml?user=N" (1 000 positions) is fetched 20 times.
// Without PG* variables (no pg_virtualenv) only SQLite is measured.

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "server/current_position.h"
#include "server/database.h"
#include "server/position_server.h"
#include "server/sqlite.h"

namespace {

using namespace geomuxer;
using Clock = std::chrono::steady_clock;

std::filesystem::path dataDir() { return std::filesystem::path(GEOMUXER_SOURCE_DIR) / "data"; }

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "geomuxer-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  [[nodiscard]] const std::filesystem::path& path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

/// Runs SQL on the PostgreSQL server of the environment; throws on failure.
void pgExecute(const std::string& database, const std::string& sql) {
  const std::string info = "dbname=" + database;
  PGconn* conn = PQconnectdb(info.c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    const std::string error = PQerrorMessage(conn);
    PQfinish(conn);
    throw std::runtime_error(error);
  }
  PGresult* r = PQexec(conn, sql.c_str());
  const auto status = PQresultStatus(r);
  const std::string error = PQresultErrorMessage(r);
  PQclear(r);
  PQfinish(conn);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) throw std::runtime_error(error);
}

bool havePostgres() { return std::getenv("PGHOST") != nullptr; }

int g_databases = 0;
std::string newPgDatabase() {
  const std::string name = "geomuxer_bench_" + std::to_string(++g_databases);
  pgExecute("postgres", "DROP DATABASE IF EXISTS " + name);
  pgExecute("postgres", "CREATE DATABASE " + name);
  return name;
}

struct Server {
  Server(Database& store, const std::filesystem::path& webRoot) {
    server = std::make_unique<PositionServer>(current, &store, [](const std::string&) {});
    PositionServerConfig config;
    config.port = 0;
    config.bindAddress = "127.0.0.1";
    config.webRoot = webRoot;
    server->setConfig(config);
    server->start();
  }
  ~Server() { server->stop(); }
  CurrentPosition current;
  std::unique_ptr<PositionServer> server;
};

httplib::MultipartFormDataItems form(int client, long n) {
  char datetime[32];
  const long s = n % 86400;
  std::snprintf(datetime, sizeof datetime, "2024-05-%02ldT%02ld:%02ld:%02ldZ", 1 + (n / 86400) % 28, s / 3600,
                (s / 60) % 60, s % 60);
  return {{"datetime", datetime, "", ""},        {"lat", "47.1", "", ""},
          {"lon", std::to_string(8.5 + client * 1e-3), "", ""}, {"alt", "512.5", "", ""},
          {"speed", "12.25", "", ""},            {"satellites", "9", "", ""},
          {"trackid", "bench-" + std::to_string(client), "", ""}};
}

/// Posts from `clients` threads, spread over `ports`, for `seconds`; returns the acknowledged count.
/// Each client logs in once before the clock starts: a server checks a password with argon2id only
/// at an account's first login, and 64 of those on a busy machine would fill the whole run.
long postFor(const std::vector<int>& ports, int clients, double seconds, Clock::time_point* started) {
  std::atomic<long> acknowledged{0};
  std::atomic<long> failed{0};
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  Clock::time_point end;
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      httplib::Client client("127.0.0.1", ports[static_cast<std::size_t>(c) % ports.size()]);
      client.set_basic_auth("bench" + std::to_string(c), "pw");
      client.set_read_timeout(30, 0);
      // A login of this account; the bad latitude is refused after it, so nothing is stored.
      (void)client.Post("/onclientpos", httplib::MultipartFormDataItems{{"lat", "x", "", ""}, {"lon", "1", "", ""}});
      ++ready;
      while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      for (long n = 0; Clock::now() < end; ++n) {
        auto res = client.Post("/onclientpos", form(c, n));
        if (res && res->status == 200) ++acknowledged;
        else ++failed;
      }
    });
  }
  while (ready < clients) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  *started = Clock::now();
  end = *started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  go = true;
  for (auto& t : threads) t.join();
  if (failed > 0) std::printf("    (%ld posts not acknowledged)\n", failed.load());
  return acknowledged;
}

long storedRows(Database& store, int clients) {
  long rows = 0;
  for (int c = 0; c < clients; ++c) rows += static_cast<long>(store.positionsOfUser(c + 1).size());
  return rows;
}

void addClients(Database& store, int clients) {
  for (int c = 0; c < clients; ++c) {
    UserFields user;
    user.name = "bench" + std::to_string(c);
    user.passwordHash = hashPassword("pw");
    store.addUser(user);
  }
}

void intake(const char* kind, const std::string& location, int instances, int clients, double seconds,
            const std::filesystem::path& webRoot) {
  std::vector<std::unique_ptr<Database>> stores;
  for (int i = 0; i < instances; ++i) stores.push_back(openDatabase(location, dataDir()));
  addClients(*stores.front(), clients);
  std::vector<std::unique_ptr<Server>> servers;
  std::vector<int> ports;
  for (auto& store : stores) {
    servers.push_back(std::make_unique<Server>(*store, webRoot));
    ports.push_back(servers.back()->server->port());
  }
  Clock::time_point start;
  const long acknowledged = postFor(ports, clients, seconds, &start);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  servers.clear();
  const long stored = storedRows(*stores.front(), clients);
  std::printf("  %-10s %d instance%s %3d clients: %8.0f stored posts/s (%ld acknowledged, %ld stored)\n", kind,
              instances, instances == 1 ? " " : "s", clients, static_cast<double>(stored) / elapsed, acknowledged,
              stored);
  std::fflush(stdout);
}

constexpr int kReadClients = 10000;

void readTime(const char* kind, Database& store, const std::filesystem::path& webRoot, long perClient) {
  Server server(store, webRoot);
  httplib::Client client("127.0.0.1", server.server->port());
  client.set_read_timeout(120, 0);
  std::vector<double> ms;
  std::size_t bytes = 0;
  for (int i = 0; i < 20; ++i) {
    const int user = 1 + (i * 997) % kReadClients;
    const auto start = Clock::now();
    auto res = client.Get("/admin/tracks.xml?user=" + std::to_string(user));
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (!res || res->status != 200) {
      std::printf("  %s: tracks.xml failed\n", kind);
      return;
    }
    bytes = res->body.size();
  }
  std::sort(ms.begin(), ms.end());
  std::printf("  %-10s /admin/tracks.xml (%ld positions, %zu bytes): median %.1f ms, max %.1f ms\n", kind,
              perClient, bytes, ms[ms.size() / 2], ms.back());
  std::fflush(stdout);
}

// Position i belongs to client 1 + i % 10000, one per second and client, in tracks of 100.
constexpr const char* kSqliteBulk =
    "WITH RECURSIVE g(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM g WHERE i < ?1 - 1) "
    "INSERT INTO positions (user, datetime, lat, lon, alt, speed, sat, trackid) "
    "SELECT 1 + i % 10000, datetime(1700000000 + i / 10000, 'unixepoch'), 47.0 + (i % 1000) * 1e-4, "
    "8.0 + (i % 777) * 1e-4, 500.0, 12.5, 9, 'bulk-' || (i % 10000) || '-' || (i / 1000000) FROM g";
constexpr const char* kPgBulk =
    "INSERT INTO positions (\"user\", datetime, lat, lon, alt, speed, sat, trackid) "
    "SELECT 1 + i % 10000, to_timestamp(1700000000 + i / 10000) AT TIME ZONE 'UTC', 47.0 + (i % 1000) * 1e-4, "
    "8.0 + (i % 777) * 1e-4, 500.0, 12.5, 9, 'bulk-' || (i % 10000) || '-' || (i / 1000000) "
    "FROM generate_series(0, $1::bigint - 1) AS i";

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows while the bulk inserts run
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  const long positions = argc > 2 ? std::atol(argv[2]) : 10000000L;
  TempDir dir;
  const auto webRoot = dir.path() / "http";
  std::filesystem::create_directories(webRoot);
  const bool pg = havePostgres();
  if (!pg) std::printf("No PG* environment (run inside pg_virtualenv): PostgreSQL is not measured.\n");

  std::printf("Intake over HTTP, %.0f s per run (PostgreSQL: %zu connections per instance)\n", seconds,
              StoreOptions{}.poolSize);
  int run = 0;
  for (const int clients : {16, 64}) {
    intake("SQLite", (dir.path() / ("intake" + std::to_string(++run) + ".db")).string(), 1, clients, seconds, webRoot);
    if (!pg) continue;
    for (const int instances : {1, 2})
      intake("PostgreSQL", "postgresql:///" + newPgDatabase(), instances, clients, seconds, webRoot);
  }

  std::printf("Feeds with %ld stored positions for %d clients\n", positions, kReadClients);
  {
    const auto file = dir.path() / "large.db";
    auto store = openDatabase(file.string(), dataDir());
    auto start = Clock::now();
    {
      SqliteDatabase raw(file.string());
      raw.execute("PRAGMA journal_mode = WAL");
      raw.execute(kSqliteBulk, {static_cast<long long>(positions)});
    }
    store->finishImport();  // the newest position of each client
    std::printf("  SQLite     bulk insert and newest positions: %.0f s\n", secondsSince(start));
    readTime("SQLite", *store, webRoot, positions / kReadClients);
  }
  if (pg) {
    const std::string name = newPgDatabase();
    auto store = openDatabase("postgresql:///" + name, dataDir());
    auto start = Clock::now();
    std::string sql = kPgBulk;
    sql.replace(sql.find("$1"), 2, std::to_string(positions));
    pgExecute(name, sql);
    pgExecute(name, "ANALYZE positions");
    store->finishImport();
    std::printf("  PostgreSQL bulk insert and newest positions: %.0f s\n", secondsSince(start));
    readTime("PostgreSQL", *store, webRoot, positions / kReadClients);
    store.reset();
    pgExecute("postgres", "DROP DATABASE " + name);
  }
  return 0;
}
