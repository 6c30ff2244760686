#include "server/postgres_store.h"

#include <libpq-fe.h>
#include <poll.h>

#include <array>
#include <bitset>
#include <charconv>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/number_text.h"
#include "server/sqlite.h"

namespace geomuxer {

namespace {

using Clock = std::chrono::steady_clock;

// Columns in the order of StoredPosition and UserRecord.
constexpr std::string_view kPositionColumns =
    "id, \"user\", datetime, lat, lon, prec, alt, altprec, heading, speed, vspeed, geoidheight, depth, magvar, sat, "
    "trackid, comment, msec";
constexpr std::string_view kUserColumns = "id, name, password, color, firstname, surename, email, phone, description";

// The newest position of each client whose rows `where` picks, written into lastpositions.
std::string newestPositionsOf(std::string_view where) {
  return "INSERT INTO lastpositions (\"user\", position, datetime, trackid, msec) SELECT DISTINCT ON (\"user\") "
         "\"user\", id, datetime, trackid, msec FROM positions " +
         std::string(where) +
         " ORDER BY \"user\", datetime DESC, msec DESC, id DESC ON CONFLICT (\"user\") DO UPDATE SET position = "
         "excluded.position, datetime = excluded.datetime, trackid = excluded.trackid, msec = excluded.msec";
}

std::string positionsWhere(std::string_view rest) {
  return "SELECT " + std::string(kPositionColumns) + " FROM positions " + std::string(rest);
}

/// The statements every connection prepares on first use.
enum class Statement {
  store,
  login,
  rehash,
  position,
  lastOfUser,
  lastOfTrack,
  track,
  lastTrackOfUser,
  tracksOfUser,
  positionsOfUser,
  user,
  users,
  addUser,
  updateUser,
  updateUserKeepPassword,
  count
};

struct StatementText {
  const char* name;
  std::string sql;
};

const std::array<StatementText, static_cast<std::size_t>(Statement::count)>& statementTexts() {
  static const std::array<StatementText, static_cast<std::size_t>(Statement::count)> texts{{
      // One statement, so one transaction: the row and the client's newest position. The upsert
      // locks the client's lastpositions row, which orders two servers storing at once.
      {"store",
       "WITH p AS (INSERT INTO positions (\"user\", datetime, lat, lon, prec, alt, altprec, heading, speed, vspeed, "
       "geoidheight, depth, magvar, sat, trackid, comment, msec) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, "
       "$11, $12, $13, $14, $15, $16, $17) RETURNING id, \"user\", datetime, trackid, msec), "
       "l AS (INSERT INTO lastpositions (\"user\", position, datetime, trackid, msec) SELECT \"user\", id, "
       "datetime, trackid, msec FROM p ON CONFLICT (\"user\") DO UPDATE SET position = excluded.position, "
       "datetime = excluded.datetime, trackid = excluded.trackid, msec = excluded.msec WHERE (excluded.datetime, "
       "excluded.msec, excluded.position) > (lastpositions.datetime, lastpositions.msec, lastpositions.position)) "
       "SELECT id FROM p"},
      {"login", "SELECT id, password FROM users WHERE name = $1 LIMIT 1"},
      {"rehash", "UPDATE users SET password = $1 WHERE id = $2 AND password = $3"},
      {"position", positionsWhere("WHERE id = $1")},
      {"last_of_user",
       "SELECT p.id, p.\"user\", p.datetime, p.lat, p.lon, p.prec, p.alt, p.altprec, p.heading, p.speed, p.vspeed, "
       "p.geoidheight, p.depth, p.magvar, p.sat, p.trackid, p.comment, p.msec FROM lastpositions l JOIN positions p "
       "ON p.id = l.position WHERE l.\"user\" = $1"},
      {"last_of_track", positionsWhere("WHERE trackid = $1 ORDER BY datetime DESC, msec DESC, id DESC LIMIT 1")},
      {"track", positionsWhere("WHERE trackid = $1 ORDER BY datetime, msec, id")},
      {"last_track_of_user",
       positionsWhere(
           "WHERE trackid = (SELECT trackid FROM lastpositions WHERE \"user\" = $1) ORDER BY datetime, msec, id")},
      {"tracks_of_user",
       "SELECT trackid, min(datetime) FROM positions WHERE \"user\" = $1 GROUP BY trackid ORDER BY min(datetime), "
       "trackid"},
      {"positions_of_user", positionsWhere("WHERE \"user\" = $1 ORDER BY datetime, msec, id")},
      {"user", "SELECT " + std::string(kUserColumns) + " FROM users WHERE id = $1"},
      {"users", "SELECT " + std::string(kUserColumns) + " FROM users ORDER BY id"},
      {"add_user",
       "INSERT INTO users (name, password, color, firstname, surename, email, phone, description) VALUES ($1, $2, $3, "
       "$4, $5, $6, $7, $8) RETURNING id"},
      {"update_user",
       "UPDATE users SET name = $2, password = $3, color = $4, firstname = $5, surename = $6, email = $7, phone = $8, "
       "description = $9 WHERE id = $1"},
      {"update_user_keep_password",
       "UPDATE users SET name = $2, color = $3, firstname = $4, surename = $5, email = $6, phone = $7, description = "
       "$8 WHERE id = $1"},
  }};
  return texts;
}

/// A statement parameter in text form; nullopt is NULL.
using Param = std::optional<std::string>;

/// Text the server takes: UTF-8 without NUL bytes. Stray bytes become U+FFFD and NULs are
/// dropped, so a poster's odd comment is stored rather than refused again and again.
std::string serverText(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  std::size_t i = 0;
  while (i < in.size()) {
    const auto c = static_cast<unsigned char>(in[i]);
    if (c == 0) {
      ++i;
      continue;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned minimum = 0;
    unsigned code = 0;
    if ((c & 0xE0) == 0xC0) length = 2, minimum = 0x80, code = c & 0x1F;
    else if ((c & 0xF0) == 0xE0) length = 3, minimum = 0x800, code = c & 0x0F;
    else if ((c & 0xF8) == 0xF0) length = 4, minimum = 0x10000, code = c & 0x07;
    bool valid = length > 0 && i + length <= in.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(in[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    valid = valid && code >= minimum && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    if (valid) {
      out.append(in.substr(i, length));
      i += length;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

Param text(std::string_view s) { return serverText(s); }
Param textOrNull(std::string_view s) { return s.empty() ? Param() : Param(serverText(s)); }
Param optionalText(const std::optional<std::string>& s) { return s ? Param(serverText(*s)) : Param(); }

Param number(double v) {
  std::array<char, 32> buf{};
  const auto end = std::to_chars(buf.data(), buf.data() + buf.size(), v).ptr;
  return std::string(buf.data(), end);
}
Param number(std::int64_t v) { return std::to_string(v); }
Param optionalNumber(const std::optional<double>& v) { return v ? number(*v) : Param(); }

Param flagged(const PositionInfo& p, DefField field, float value) {
  return p.has(field) ? number(static_cast<double>(value)) : Param();
}

/// Replaces every occurrence of `secret` (when it is long enough to be recognised) by "***".
std::string masked(std::string text, const std::string& secret) {
  if (secret.size() < 3) return text;
  for (auto pos = text.find(secret); pos != std::string::npos; pos = text.find(secret, pos + 3))
    text.replace(pos, secret.size(), "***");
  return text;
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

struct ResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

double parseDouble(const char* s) {
  double v = 0.0;
  std::from_chars(s, s + std::strlen(s), v);
  return v;
}

std::int64_t parseInteger(const char* s) {
  std::int64_t v = 0;
  std::from_chars(s, s + std::strlen(s), v);
  return v;
}

std::optional<double> optionalDoubleAt(const PGresult* r, int row, int column) {
  if (PQgetisnull(r, row, column)) return std::nullopt;
  return parseDouble(PQgetvalue(r, row, column));
}

std::optional<std::string> optionalTextAt(const PGresult* r, int row, int column) {
  if (PQgetisnull(r, row, column)) return std::nullopt;
  return std::string(PQgetvalue(r, row, column), static_cast<std::size_t>(PQgetlength(r, row, column)));
}

std::string textAt(const PGresult* r, int row, int column) {
  return std::string(PQgetvalue(r, row, column), static_cast<std::size_t>(PQgetlength(r, row, column)));
}

StoredPosition positionAt(const PGresult* r, int row) {
  StoredPosition p;
  p.id = parseInteger(PQgetvalue(r, row, 0));
  p.user = parseInteger(PQgetvalue(r, row, 1));
  p.datetime = textAt(r, row, 2);
  p.lat = parseDouble(PQgetvalue(r, row, 3));
  p.lon = parseDouble(PQgetvalue(r, row, 4));
  p.prec = optionalDoubleAt(r, row, 5);
  p.alt = optionalDoubleAt(r, row, 6);
  p.altPrec = optionalDoubleAt(r, row, 7);
  p.heading = optionalDoubleAt(r, row, 8);
  p.speed = optionalDoubleAt(r, row, 9);
  p.vertSpeed = optionalDoubleAt(r, row, 10);
  p.geoidHeight = optionalDoubleAt(r, row, 11);
  p.depth = optionalDoubleAt(r, row, 12);
  p.magVar = optionalDoubleAt(r, row, 13);
  if (!PQgetisnull(r, row, 14)) p.sat = parseInteger(PQgetvalue(r, row, 14));
  p.trackId = textAt(r, row, 15);
  p.comment = optionalTextAt(r, row, 16);
  p.msec = static_cast<int>(parseInteger(PQgetvalue(r, row, 17)));
  return p;
}

UserRecord userAt(const PGresult* r, int row) {
  UserRecord u;
  u.id = parseInteger(PQgetvalue(r, row, 0));
  u.name = textAt(r, row, 1);
  u.passwordHash = textAt(r, row, 2);
  u.color = textAt(r, row, 3);
  u.firstName = optionalTextAt(r, row, 4);
  u.sureName = optionalTextAt(r, row, 5);
  u.email = optionalTextAt(r, row, 6);
  u.phone = optionalTextAt(r, row, 7);
  u.description = optionalTextAt(r, row, 8);
  return u;
}

std::vector<StoredPosition> positionsOf(const PGresult* r) {
  std::vector<StoredPosition> rows;
  const int n = PQntuples(r);
  rows.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) rows.push_back(positionAt(r, i));
  return rows;
}

std::optional<StoredPosition> firstPositionOf(const PGresult* r) {
  if (PQntuples(r) == 0) return std::nullopt;
  return positionAt(r, 0);
}

/// A field of COPY's text form: backslash, tab, newline and carriage return escaped; NULL as \N.
void appendCopyField(std::string& line, const Param& value) {
  if (!value) {
    line += "\\N";
    return;
  }
  for (const char c : *value) {
    switch (c) {
      case '\\': line += "\\\\"; break;
      case '\t': line += "\\t"; break;
      case '\n': line += "\\n"; break;
      case '\r': line += "\\r"; break;
      default: line += c; break;
    }
  }
}

// Any key; taken by the transaction that upgrades the schema, so two servers starting together
// upgrade one after the other.
constexpr const char* kSchemaLockKey = "7345123890";

}  // namespace

// --- connections ----------------------------------------------------------------------------

class PostgresStore::Connection {
 public:
  Connection(PGconn* conn, const std::string& secret) : m_conn(conn), m_secret(secret) {}
  ~Connection() { PQfinish(m_conn); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  [[nodiscard]] PGconn* handle() const { return m_conn; }
  [[nodiscard]] bool lost() const { return PQstatus(m_conn) != CONNECTION_OK; }

  /// Whether the server closed the connection while it was idle: a closing server sends a
  /// last message and ends the stream, both waiting to be read.
  [[nodiscard]] bool closedByServer() {
    if (lost()) return true;
    pollfd fd{PQsocket(m_conn), POLLIN, 0};
    if (fd.fd < 0) return true;
    while (::poll(&fd, 1, 0) > 0) {
      if (PQconsumeInput(m_conn) == 0 || lost()) return true;
      while (PGnotify* n = PQnotifies(m_conn)) PQfreemem(n);
      if ((fd.revents & (POLLHUP | POLLERR)) != 0) return true;
    }
    return lost();
  }

  /// Runs a prepared statement, preparing it on first use.
  Result run(Statement statement, const std::vector<Param>& params) {
    const auto index = static_cast<std::size_t>(statement);
    const StatementText& text = statementTexts()[index];
    if (!m_prepared.test(index)) {
      check(Result(PQprepare(m_conn, text.name, text.sql.c_str(), 0, nullptr)), "Could not prepare SQL statement");
      m_prepared.set(index);
    }
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
    return check(Result(PQexecPrepared(m_conn, text.name, static_cast<int>(values.size()), values.data(), nullptr,
                                       nullptr, 0)),
                 "Error executing prepared SQL statement");
  }

  /// Runs one statement that is not kept prepared.
  Result execute(const std::string& sql, const std::vector<Param>& params = {}) {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
    return check(Result(PQexecParams(m_conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                                     nullptr, nullptr, 0)),
                 "Error executing SQL statement");
  }

  /// Runs `sql` as one simple query (several statements allowed, no parameters).
  void executeScript(const std::string& sql, std::string_view operation) {
    Result r(PQexec(m_conn, sql.c_str()));
    // A script's result is that of its last statement.
    check(std::move(r), operation);
  }

  /// Sends rows in COPY's text form to `copySql` ("COPY t (...) FROM STDIN").
  void copyIn(const std::string& copySql, const std::string& data) {
    Result start(PQexec(m_conn, copySql.c_str()));
    if (!start || PQresultStatus(start.get()) != PGRES_COPY_IN) {
      check(std::move(start), "Could not start copying");
      raise("Could not start copying", nullptr);
    }
    if (PQputCopyData(m_conn, data.data(), static_cast<int>(data.size())) != 1 || PQputCopyEnd(m_conn, nullptr) != 1)
      raise("Could not send the copied rows", nullptr);
    for (Result r(PQgetResult(m_conn)); r; r.reset(PQgetResult(m_conn))) check(std::move(r), "Error copying rows");
  }

  [[noreturn]] void raise(std::string_view operation, const PGresult* r) const {
    std::string sqlState;
    std::string detail;
    if (r) {
      if (const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE)) sqlState = state;
      detail = PQresultErrorMessage(r);
    }
    if (detail.empty()) detail = PQerrorMessage(m_conn);
    if (detail.empty()) detail = "no reply from the database server";
    std::string message(operation);
    if (!sqlState.empty()) message += " [" + sqlState + "]";
    message += ": " + trimmed(detail);
    throw PostgresError(masked(message, m_secret), sqlState);
  }

 private:
  Result check(Result r, std::string_view operation) {
    const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return r;
    raise(operation, r.get());
  }

  PGconn* m_conn;
  const std::string& m_secret;
  std::bitset<static_cast<std::size_t>(Statement::count)> m_prepared;
};

/// A connection borrowed from the pool; returned at scope end, or dropped when it was lost.
class PostgresStore::Lease {
 public:
  Lease(PostgresStore& store, std::unique_ptr<Connection> connection)
      : m_store(store), m_connection(std::move(connection)) {}
  ~Lease() { m_store.release(std::move(m_connection)); }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  Connection& operator*() const { return *m_connection; }
  Connection* operator->() const { return m_connection.get(); }

 private:
  PostgresStore& m_store;
  std::unique_ptr<Connection> m_connection;
};

std::unique_ptr<PostgresStore::Connection> PostgresStore::connect() const {
  const std::string connectTimeout =
      std::to_string(std::max<long long>(2, std::chrono::ceil<std::chrono::seconds>(m_options.acquireTimeout).count()));
  // Later entries win: the URI's own parameters override these defaults.
  const char* keywords[] = {"connect_timeout", "application_name", "dbname", nullptr};
  const char* values[] = {connectTimeout.c_str(), "geomuxer", m_uri.c_str(), nullptr};
  PGconn* conn = PQconnectdbParams(keywords, values, 1);
  if (!conn) throw PostgresError("Cannot connect to " + m_description + ": out of memory", {});
  auto connection = std::make_unique<Connection>(conn, m_password);
  // The server's notices (and the farewell of a closing server) are not for standard error.
  PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  if (PQstatus(conn) != CONNECTION_OK) {
    throw PostgresError(masked("Cannot connect to " + m_description + ": " + trimmed(PQerrorMessage(conn)), m_password),
                        {});
  }
  connection->executeScript("SET statement_timeout = " + std::to_string(m_options.statementTimeout.count()) +
                                "; SET DateStyle = ISO; SET client_encoding = 'UTF8'",
                            "Could not set up the connection");
  return connection;
}

PostgresStore::Lease PostgresStore::acquire() {
  std::unique_ptr<Connection> connection;
  {
    std::unique_lock lock(m_poolMutex);
    const auto deadline = Clock::now() + m_options.acquireTimeout;
    while (m_idle.empty() && m_open >= m_options.poolSize) {
      if (m_poolFree.wait_until(lock, deadline) == std::cv_status::timeout && m_idle.empty() &&
          m_open >= m_options.poolSize)
        throw PostgresError("All " + std::to_string(m_options.poolSize) + " connections to " + m_description +
                                " are busy",
                            {});
    }
    if (!m_idle.empty()) {
      connection = std::move(m_idle.back());
      m_idle.pop_back();
    }
    ++m_open;
  }
  try {
    // An idle connection the server closed is replaced before anything is sent on it.
    if (connection && connection->closedByServer()) connection.reset();
    if (!connection) connection = connect();
  } catch (...) {
    std::lock_guard lock(m_poolMutex);
    --m_open;
    m_poolFree.notify_one();
    throw;
  }
  return Lease(*this, std::move(connection));
}

void PostgresStore::release(std::unique_ptr<Connection> connection) {
  const bool keep = connection && !connection->lost() && PQtransactionStatus(connection->handle()) == PQTRANS_IDLE;
  if (!keep) connection.reset();
  std::lock_guard lock(m_poolMutex);
  --m_open;
  if (keep) m_idle.push_back(std::move(connection));
  m_poolFree.notify_one();
}

std::size_t PostgresStore::openConnections() const {
  std::lock_guard lock(m_poolMutex);
  return m_open + m_idle.size();
}

template <typename Work>
auto PostgresStore::withConnection(bool retry, Work work) {
  for (int attempt = 0;; ++attempt) {
    Lease lease = acquire();
    try {
      return work(*lease);
    } catch (const PostgresError&) {
      if (!retry || attempt > 0 || !lease->lost()) throw;
    }
  }
}

/// BEGIN ... COMMIT on `c`; a failure rolls back (the connection is dropped when that fails).
template <typename Work>
void inTransaction(PostgresStore::Connection& c, Work work) {
  c.execute("BEGIN");
  try {
    work();
    c.execute("COMMIT");
  } catch (...) {
    if (!c.lost()) {
      try {
        c.execute("ROLLBACK");
      } catch (const PostgresError&) {
        // The connection is not idle now and will not go back to the pool.
      }
    }
    throw;
  }
}

// --- the store ------------------------------------------------------------------------------

PostgresStore::PostgresStore(std::string uri, std::filesystem::path dataDir, StoreOptions options)
    : m_uri(std::move(uri)), m_dataDir(std::move(dataDir)), m_options(options) {
  m_options.poolSize = std::max<std::size_t>(1, m_options.poolSize);
  m_description = "PostgreSQL database " + redactedLocation(m_uri);
  char* error = nullptr;
  PQconninfoOption* parsed = PQconninfoParse(m_uri.c_str(), &error);
  if (!parsed) {
    const std::string reason = error ? trimmed(error) : "out of memory";
    PQfreemem(error);
    throw PostgresError("Not a usable PostgreSQL address: " + redactedLocation(m_uri) + " (" + reason + ")", {});
  }
  for (const PQconninfoOption* o = parsed; o->keyword; ++o) {
    if (std::string_view(o->keyword) == "password" && o->val) m_password = o->val;
  }
  PQconninfoFree(parsed);

  {
    Lease lease = acquire();
    PGconn* conn = lease->handle();
    const char* host = PQhost(conn);
    m_description = "PostgreSQL database \"" + std::string(PQdb(conn)) + "\" on " +
                    std::string(host && *host ? host : "localhost") + ":" + PQport(conn) + " as \"" + PQuser(conn) +
                    "\"";
  }
  upgradeSchema();
}

PostgresStore::~PostgresStore() = default;

std::string PostgresStore::description() const { return m_description; }

int PostgresStore::schemaVersion() {
  try {
    return withConnection(true, [](Connection& c) {
      Result r = c.execute(
          "SELECT value FROM variables WHERE name = 'version' AND to_regclass('variables') IS NOT NULL");
      if (PQntuples(r.get()) == 0) return 0;
      return parseInt(textAt(r.get(), 0, 0)).value_or(0);
    });
  } catch (const StoreError&) {
    return 0;
  }
}

void PostgresStore::upgradeSchema() {
  // Each script in one transaction that holds the schema lock; the version is read under it, so
  // a server that waited finds the work done.
  Lease lease = acquire();
  Connection& c = *lease;
  for (;;) {
    bool done = false;
    inTransaction(c, [&] {
      c.execute("SELECT pg_advisory_xact_lock(" + std::string(kSchemaLockKey) + ")");
      Result exists = c.execute("SELECT to_regclass('variables') IS NOT NULL");
      int version = 0;
      if (textAt(exists.get(), 0, 0) == "t") {
        Result r = c.execute("SELECT value FROM variables WHERE name = 'version'");
        if (PQntuples(r.get()) > 0) version = parseInt(textAt(r.get(), 0, 0)).value_or(0);
      }
      const auto path = m_dataDir / "dbshema" / "postgresql" / ("geomuxer_" + std::to_string(version + 1) + ".sql");
      std::error_code ec;
      if (!std::filesystem::is_regular_file(path, ec)) {
        done = true;
        return;
      }
      std::ifstream in(path, std::ios::binary);
      std::stringstream script;
      script << in.rdbuf();
      if (!in) throw PostgresError("Could not read schema script \"" + path.string() + "\"", {});
      c.executeScript(script.str(), "Error in schema script \"" + path.string() + "\"");
    });
    if (done) return;
  }
}

std::int64_t PostgresStore::addUser(const UserFields& u) {
  return withConnection(false, [&](Connection& c) {
    Result r = c.run(Statement::addUser, {text(u.name), text(u.passwordHash), text(u.color), textOrNull(u.firstName),
                                          textOrNull(u.sureName), textOrNull(u.email), textOrNull(u.phone),
                                          textOrNull(u.description)});
    return parseInteger(PQgetvalue(r.get(), 0, 0));
  });
}

void PostgresStore::updateUser(std::int64_t id, const UserFields& u) {
  withConnection(false, [&](Connection& c) {
    if (!u.passwordHash.empty()) {
      c.run(Statement::updateUser, {number(id), text(u.name), text(u.passwordHash), text(u.color),
                                    textOrNull(u.firstName), textOrNull(u.sureName), textOrNull(u.email),
                                    textOrNull(u.phone), textOrNull(u.description)});
    } else {
      c.run(Statement::updateUserKeepPassword, {number(id), text(u.name), text(u.color), textOrNull(u.firstName),
                                                textOrNull(u.sureName), textOrNull(u.email), textOrNull(u.phone),
                                                textOrNull(u.description)});
    }
  });
}

void PostgresStore::deleteUser(std::int64_t id, bool deleteTracks) {
  withConnection(false, [&](Connection& c) {
    inTransaction(c, [&] {
      if (deleteTracks) {
        c.execute("DELETE FROM positions WHERE \"user\" = $1", {number(id)});
        c.execute("DELETE FROM lastpositions WHERE \"user\" = $1", {number(id)});
      }
      c.execute("DELETE FROM users WHERE id = $1", {number(id)});
    });
  });
}

void PostgresStore::deleteTrack(std::string_view trackId) {
  withConnection(false, [&](Connection& c) {
    inTransaction(c, [&] {
      const Param track = text(trackId);
      c.execute("DELETE FROM positions WHERE trackid = $1", {track});
      // Clients whose newest position was on the track fall back to their newest remaining one.
      c.execute(newestPositionsOf("WHERE \"user\" IN (SELECT \"user\" FROM lastpositions WHERE trackid = $1)"),
                {track});
      c.execute("DELETE FROM lastpositions WHERE trackid = $1", {track});
    });
  });
}

std::int64_t PostgresStore::checkLogin(std::string_view name, std::string_view password) {
  struct Account {
    std::int64_t id = -1;
    std::string hash;
  };
  const Account account = withConnection(true, [&](Connection& c) -> Account {
    Result r = c.run(Statement::login, {text(name)});
    if (PQntuples(r.get()) == 0) return {};
    return {parseInteger(PQgetvalue(r.get(), 0, 0)), textAt(r.get(), 0, 1)};
  });
  if (account.id == -1) return -1;
  const PasswordCheck check = m_passwords.check(account.hash, password);
  if (!check.matches) return -1;
  if (check.needsRehash) {
    try {
      const std::string hash = hashPassword(password);
      // Only the row as it was read: a password changed meanwhile stays as it was set.
      withConnection(false, [&](Connection& c) {
        c.run(Statement::rehash, {text(hash), number(account.id), text(account.hash)});
      });
    } catch (const std::exception&) {
      // The next login tries again.
    }
  }
  return account.id;
}

std::int64_t PostgresStore::storePosition(std::int64_t userId, const PositionInfo& p, std::string_view comment,
                                          std::string_view trackId) {
  const std::vector<Param> params{
      number(userId),
      formatStoredDateTime(p.time),
      number(static_cast<double>(p.y)),
      number(static_cast<double>(p.x)),
      flagged(p, defXYPrec, p.xyPrec),
      flagged(p, defAltitude, p.altitude),
      flagged(p, defAltitudePrec, p.altitudePrec),
      flagged(p, defHeading, p.heading),
      flagged(p, defSpeed, p.speed),
      flagged(p, defVertSpeed, p.vertSpeed),
      flagged(p, defGeoidHeight, p.geoidHeight),
      flagged(p, defDepth, p.depth),
      flagged(p, defMagVar, p.magVar),
      p.has(defSatellites) ? number(static_cast<std::int64_t>(p.satellites)) : Param(),
      text(trackId),
      textOrNull(comment),
      number(static_cast<std::int64_t>(storedMilliseconds(p.time))),
  };
  return withConnection(false, [&](Connection& c) {
    Result r = c.run(Statement::store, params);
    return parseInteger(PQgetvalue(r.get(), 0, 0));
  });
}

std::optional<StoredPosition> PostgresStore::position(std::int64_t id) {
  return withConnection(true, [&](Connection& c) { return firstPositionOf(c.run(Statement::position, {number(id)}).get()); });
}

std::optional<StoredPosition> PostgresStore::lastPositionOfUser(std::int64_t userId) {
  return withConnection(true, [&](Connection& c) {
    return firstPositionOf(c.run(Statement::lastOfUser, {number(userId)}).get());
  });
}

std::optional<StoredPosition> PostgresStore::lastPositionOfTrack(std::string_view trackId) {
  return withConnection(true, [&](Connection& c) {
    return firstPositionOf(c.run(Statement::lastOfTrack, {text(trackId)}).get());
  });
}

std::vector<StoredPosition> PostgresStore::track(std::string_view trackId) {
  return withConnection(true, [&](Connection& c) { return positionsOf(c.run(Statement::track, {text(trackId)}).get()); });
}

std::vector<StoredPosition> PostgresStore::lastTrackOfUser(std::int64_t userId) {
  return withConnection(true, [&](Connection& c) {
    return positionsOf(c.run(Statement::lastTrackOfUser, {number(userId)}).get());
  });
}

std::vector<TrackSummary> PostgresStore::tracksOfUser(std::int64_t userId) {
  return withConnection(true, [&](Connection& c) {
    Result r = c.run(Statement::tracksOfUser, {number(userId)});
    std::vector<TrackSummary> rows;
    for (int i = 0; i < PQntuples(r.get()); ++i) rows.push_back({textAt(r.get(), i, 0), textAt(r.get(), i, 1)});
    return rows;
  });
}

std::vector<StoredPosition> PostgresStore::positionsOfUser(std::int64_t userId) {
  return withConnection(true, [&](Connection& c) {
    return positionsOf(c.run(Statement::positionsOfUser, {number(userId)}).get());
  });
}

std::optional<UserRecord> PostgresStore::user(std::int64_t id) {
  return withConnection(true, [&](Connection& c) -> std::optional<UserRecord> {
    Result r = c.run(Statement::user, {number(id)});
    if (PQntuples(r.get()) == 0) return std::nullopt;
    return userAt(r.get(), 0);
  });
}

std::vector<UserRecord> PostgresStore::users() {
  return withConnection(true, [&](Connection& c) {
    Result r = c.run(Statement::users, {});
    std::vector<UserRecord> rows;
    for (int i = 0; i < PQntuples(r.get()); ++i) rows.push_back(userAt(r.get(), i));
    return rows;
  });
}

std::vector<StoredPosition> PostgresStore::positionsAfter(std::int64_t afterId, std::size_t limit) {
  return withConnection(true, [&](Connection& c) {
    return positionsOf(c.execute(positionsWhere("WHERE id > $1 ORDER BY id LIMIT $2"),
                                 {number(afterId), number(static_cast<std::int64_t>(limit))})
                           .get());
  });
}

bool PostgresStore::empty() {
  return withConnection(true, [&](Connection& c) {
    Result r = c.execute("SELECT NOT EXISTS (SELECT 1 FROM users) AND NOT EXISTS (SELECT 1 FROM positions)");
    return textAt(r.get(), 0, 0) == "t";
  });
}

void PostgresStore::importUsers(const std::vector<UserRecord>& users) {
  withConnection(false, [&](Connection& c) {
    inTransaction(c, [&] {
      for (const auto& u : users) {
        c.execute("INSERT INTO users (" + std::string(kUserColumns) + ") VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)",
                  {number(u.id), text(u.name), text(u.passwordHash), text(u.color), optionalText(u.firstName),
                   optionalText(u.sureName), optionalText(u.email), optionalText(u.phone), optionalText(u.description)});
      }
    });
  });
}

void PostgresStore::importPositions(const std::vector<StoredPosition>& positions) {
  std::string data;
  data.reserve(positions.size() * 120);
  for (const auto& p : positions) {
    const Param fields[] = {number(p.id),  number(p.user), Param(p.datetime), number(p.lat),
                            number(p.lon), optionalNumber(p.prec), optionalNumber(p.alt), optionalNumber(p.altPrec),
                            optionalNumber(p.heading), optionalNumber(p.speed), optionalNumber(p.vertSpeed),
                            optionalNumber(p.geoidHeight), optionalNumber(p.depth), optionalNumber(p.magVar),
                            p.sat ? number(*p.sat) : Param(), text(p.trackId), optionalText(p.comment),
                            number(static_cast<std::int64_t>(p.msec))};
    bool first = true;
    for (const auto& f : fields) {
      if (!first) data += '\t';
      first = false;
      appendCopyField(data, f);
    }
    data += '\n';
  }
  withConnection(false, [&](Connection& c) {
    inTransaction(c, [&] { c.copyIn("COPY positions (" + std::string(kPositionColumns) + ") FROM STDIN", data); });
  });
}

void PostgresStore::finishImport() {
  withConnection(false, [&](Connection& c) {
    inTransaction(c, [&] {
      c.execute("DELETE FROM lastpositions");
      c.execute(newestPositionsOf(""));
      // New rows continue after the copied ids.
      c.execute("SELECT setval(pg_get_serial_sequence('users', 'id'), COALESCE(max(id), 0) + 1, false) FROM users");
      c.execute(
          "SELECT setval(pg_get_serial_sequence('positions', 'id'), COALESCE(max(id), 0) + 1, false) FROM positions");
    });
  });
}

}  // namespace geomuxer
