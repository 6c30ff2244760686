#include "server/sqlite_store.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <stdexcept>

#include "core/number_text.h"

namespace geomuxer {

namespace {

constexpr std::string_view kInsertPosition =
    "INSERT INTO positions (user, datetime, lat, lon, prec, alt, altprec, heading, speed, vspeed, "
    "geoidheight, depth, magvar, sat, trackid, comment, msec) VALUES (:user, :datetime, :lat, :lon, :prec, :alt, "
    ":altprec, :heading, :speed, :vspeed, :geoidheight, :depth, :magvar, :sat, :trackid, :comment, :msec)";

// The newest position of a client: the row with the latest time, on equal times the higher id.
constexpr std::string_view kUpdateLastPosition =
    "INSERT INTO lastpositions (user, position, datetime, trackid, msec) VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT "
    "(user) DO UPDATE SET position = excluded.position, datetime = excluded.datetime, trackid = excluded.trackid, "
    "msec = excluded.msec WHERE (excluded.datetime, excluded.msec, excluded.position) > (lastpositions.datetime, "
    "lastpositions.msec, lastpositions.position)";

// The newest position of each client whose rows `whereClause` picks, as rows of lastpositions;
// on equal times the higher id wins, as it does when storing.
std::string newestPositionsOf(std::string_view whereClause) {
  return "INSERT OR REPLACE INTO lastpositions (user, position, datetime, trackid, msec) SELECT user, id, datetime, "
         "trackid, msec FROM (SELECT user, id, datetime, trackid, msec, MAX(datetime || printf('%03d%020d', msec, "
         "id)) FROM positions " +
         std::string(whereClause) + " GROUP BY user)";
}

// Column positions of `SELECT * FROM positions` and `SELECT * FROM users`; the schema scripts
// keep the columns in this order, and later versions add theirs at the end.
enum PositionColumn { pId, pUser, pDateTime, pLat, pLon, pPrec, pAlt, pAltPrec, pHeading, pSpeed, pVSpeed,
                      pGeoidHeight, pDepth, pMagVar, pSat, pTrackId, pComment, pMsec };
enum UserColumn { uId, uName, uPassword, uColor, uFirstName, uSureName, uEmail, uPhone, uDescription };

std::string_view trimControls(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) < 33) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) < 33) s.remove_suffix(1);
  return s;
}

// The next word of `s` (up to a blank or "("), taken off its front.
std::string_view takeWord(std::string_view& s) {
  s = trimControls(s);
  std::size_t n = 0;
  while (n < s.size() && static_cast<unsigned char>(s[n]) > 32 && s[n] != '(') ++n;
  const std::string_view word = s.substr(0, n);
  s.remove_prefix(n);
  return word;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return std::tolower(static_cast<unsigned char>(x)) ==
                                                std::tolower(static_cast<unsigned char>(y)); });
}

// "ALTER TABLE t ADD COLUMN c ..." gives {t, c}; any other statement gives nothing.
std::optional<std::pair<std::string, std::string>> addedColumn(std::string_view statement) {
  for (std::string_view keyword : {"ALTER", "TABLE"})
    if (!equalsNoCase(takeWord(statement), keyword)) return std::nullopt;
  const std::string table(takeWord(statement));
  for (std::string_view keyword : {"ADD", "COLUMN"})
    if (!equalsNoCase(takeWord(statement), keyword)) return std::nullopt;
  const std::string column(takeWord(statement));
  if (table.empty() || column.empty()) return std::nullopt;
  return std::pair{table, column};
}

SqlArg textOrNull(std::string_view s) { return s.empty() ? SqlArg(nullptr) : SqlArg(s); }

SqlArg flagged(const PositionInfo& p, DefField field, float value) {
  return p.has(field) ? SqlArg(static_cast<double>(value)) : SqlArg(nullptr);
}

std::optional<double> optionalDouble(const SqliteCursor& c, int column) {
  if (c.fieldIsNull(column)) return std::nullopt;
  return c.fieldAsDouble(column);
}

std::optional<std::string> optionalText(const SqliteCursor& c, int column) {
  if (c.fieldIsNull(column)) return std::nullopt;
  return c.fieldAsString(column);
}

StoredPosition positionFromRow(const SqliteCursor& c) {
  StoredPosition p;
  p.id = c.fieldAsInteger(pId);
  p.user = c.fieldAsInteger(pUser);
  p.datetime = c.fieldAsString(pDateTime);
  p.lat = c.fieldAsDouble(pLat);
  p.lon = c.fieldAsDouble(pLon);
  p.prec = optionalDouble(c, pPrec);
  p.alt = optionalDouble(c, pAlt);
  p.altPrec = optionalDouble(c, pAltPrec);
  p.heading = optionalDouble(c, pHeading);
  p.speed = optionalDouble(c, pSpeed);
  p.vertSpeed = optionalDouble(c, pVSpeed);
  p.geoidHeight = optionalDouble(c, pGeoidHeight);
  p.depth = optionalDouble(c, pDepth);
  p.magVar = optionalDouble(c, pMagVar);
  if (!c.fieldIsNull(pSat)) p.sat = c.fieldAsInteger(pSat);
  p.trackId = c.fieldAsString(pTrackId);
  p.comment = optionalText(c, pComment);
  p.msec = static_cast<int>(c.fieldAsInteger(pMsec));
  return p;
}

UserRecord userFromRow(const SqliteCursor& c) {
  UserRecord u;
  u.id = c.fieldAsInteger(uId);
  u.name = c.fieldAsString(uName);
  u.passwordHash = c.fieldAsString(uPassword);
  u.color = c.fieldAsString(uColor);
  u.firstName = optionalText(c, uFirstName);
  u.sureName = optionalText(c, uSureName);
  u.email = optionalText(c, uEmail);
  u.phone = optionalText(c, uPhone);
  u.description = optionalText(c, uDescription);
  return u;
}

std::vector<StoredPosition> readPositions(SqliteDatabase& db, std::string sql, std::initializer_list<SqlArg> args) {
  std::vector<StoredPosition> rows;
  for (SqliteCursor c(db, std::move(sql), args); !c.eof(); c.next()) rows.push_back(positionFromRow(c));
  return rows;
}

std::optional<StoredPosition> readPosition(SqliteDatabase& db, std::string sql, std::initializer_list<SqlArg> args) {
  SqliteCursor c(db, std::move(sql), args);
  if (c.eof()) return std::nullopt;
  return positionFromRow(c);
}

std::vector<UserRecord> readUsers(SqliteDatabase& db, std::string sql, std::initializer_list<SqlArg> args) {
  std::vector<UserRecord> rows;
  for (SqliteCursor c(db, std::move(sql), args); !c.eof(); c.next()) rows.push_back(userFromRow(c));
  return rows;
}

// Idle reader connections kept for reuse; more concurrent readers than this open and close their own.
constexpr std::size_t kMaxIdleReaders = 8;
// A reader can meet a lock only while the writer restarts the log or recovers it, which is brief.
constexpr int kReaderBusyTimeoutMs = 2000;

}  // namespace

SqliteStore::SqliteStore(std::filesystem::path fileName, std::filesystem::path dataDir, Options options)
    : m_fileName(std::move(fileName)), m_dataDir(std::move(dataDir)) {
  std::lock_guard lock(m_mutex);
  m_db = std::make_unique<SqliteDatabase>(m_fileName.string());
  m_db->setSynchronous(options.synchronous);
  m_db->setJournalMode(options.journalMode);
  upgradeSchema();
  m_separateReaders = options.journalMode == JournalMode::Wal;
}

SqliteStore::~SqliteStore() {
  m_idleReaders.clear();
  m_insert.reset();
  m_db.reset();
}

std::string SqliteStore::description() const { return "SQLite database \"" + m_fileName.string() + "\""; }

template <typename Write>
auto SqliteStore::inTransaction(Write write) {
  std::lock_guard lock(m_mutex);
  m_db->execute("BEGIN");
  try {
    if constexpr (std::is_void_v<decltype(write())>) {
      write();
      m_db->execute("COMMIT");
    } else {
      auto result = write();
      m_db->execute("COMMIT");
      return result;
    }
  } catch (...) {
    try {
      m_db->execute("ROLLBACK");
    } catch (const SqliteError&) {
      // SQLite may have rolled back already (a full disk, an interrupted statement).
    }
    throw;
  }
}

template <typename Read>
auto SqliteStore::withReader(Read read) {
  if (!m_separateReaders) {
    std::lock_guard lock(m_mutex);
    return read(*m_db);
  }
  std::unique_ptr<SqliteDatabase> reader;
  {
    std::lock_guard lock(m_readersMutex);
    if (!m_idleReaders.empty()) {
      reader = std::move(m_idleReaders.back());
      m_idleReaders.pop_back();
    }
  }
  if (!reader) {
    reader = std::make_unique<SqliteDatabase>(m_fileName.string());
    reader->setBusyTimeout(kReaderBusyTimeoutMs);
  }
  auto result = read(*reader);
  std::lock_guard lock(m_readersMutex);
  if (m_idleReaders.size() < kMaxIdleReaders) m_idleReaders.push_back(std::move(reader));
  return result;
}

int SqliteStore::schemaVersion() {
  std::lock_guard lock(m_mutex);
  return schemaVersionLocked();
}

int SqliteStore::schemaVersionLocked() {
  try {
    if (!m_db->tableExists("variables")) return 0;
    SqliteTable table(*m_db, "SELECT value FROM variables WHERE name = 'version' LIMIT 1");
    if (table.eof()) return 0;
    return parseInt(trimControls(table.fieldAsString(0))).value_or(0);
  } catch (const std::exception&) {
    return 0;
  }
}

void SqliteStore::upgradeSchema() {
  // Script N takes the schema from version N-1 to N; the list ends at the first missing number.
  std::vector<std::filesystem::path> scripts;
  for (int n = schemaVersionLocked() + 1;; ++n) {
    auto path = m_dataDir / "dbshema" / ("geomuxer_" + std::to_string(n) + ".sql");
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) break;
    scripts.push_back(std::move(path));
  }
  // No enclosing transaction: statements that ran before a failing one stay applied, and the
  // scripts are written so that running one again from its first line is harmless. SQLite has no
  // "ADD COLUMN IF NOT EXISTS", so adding a column the table has already is skipped here.
  for (const auto& path : scripts) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw SqliteError("Could not read schema script \"" + path.string() + "\"", 0);
    std::string line;
    while (std::getline(in, line)) {
      const std::string_view statement = trimControls(line);
      if (statement.empty() || statement.front() == '-') continue;
      if (const auto added = addedColumn(statement)) {
        SqliteTable existing(*m_db, "SELECT COUNT(*) FROM pragma_table_info(?) WHERE name = ?",
                             {added->first, added->second});
        if (existing.fieldAsInteger(0) > 0) continue;
      }
      m_db->execute(statement);
    }
  }
}

std::int64_t SqliteStore::addUser(const UserFields& u) {
  std::lock_guard lock(m_mutex);
  const SqlNamedArg args[] = {
      {":name", u.name},
      {":password", u.passwordHash},
      {":color", u.color},
      {":firstname", textOrNull(u.firstName)},
      {":surename", textOrNull(u.sureName)},
      {":email", textOrNull(u.email)},
      {":phone", textOrNull(u.phone)},
      {":description", textOrNull(u.description)},
  };
  m_db->execute(
      "INSERT INTO users (name, password, color, firstname, surename, email, phone, description) "
      "VALUES (:name, :password, :color, :firstname, :surename, :email, :phone, :description)",
      {}, args);
  return m_db->lastInsertRowId();
}

void SqliteStore::updateUser(std::int64_t id, const UserFields& u) {
  std::lock_guard lock(m_mutex);
  const SqlNamedArg args[] = {
      {":id", static_cast<long long>(id)},
      {":name", u.name},
      {":password", u.passwordHash},
      {":color", u.color},
      {":firstname", textOrNull(u.firstName)},
      {":surename", textOrNull(u.sureName)},
      {":email", textOrNull(u.email)},
      {":phone", textOrNull(u.phone)},
      {":description", textOrNull(u.description)},
  };
  if (!u.passwordHash.empty()) {
    m_db->execute(
        "UPDATE users SET name = :name, password = :password, color = :color, firstname = :firstname, "
        "surename = :surename, email = :email, phone = :phone, description = :description WHERE id = :id",
        {}, args);
  } else {
    m_db->execute(
        "UPDATE users SET name = :name, color = :color, firstname = :firstname, surename = :surename, "
        "email = :email, phone = :phone, description = :description WHERE id = :id",
        {}, args);
  }
}

void SqliteStore::deleteUser(std::int64_t id, bool deleteTracks) {
  const SqlArg idArg = static_cast<long long>(id);
  inTransaction([&] {
    if (deleteTracks) {
      m_db->execute("DELETE FROM positions WHERE user = ?", {idArg});
      m_db->execute("DELETE FROM lastpositions WHERE user = ?", {idArg});
    }
    m_db->execute("DELETE FROM users WHERE id = ?", {idArg});
  });
}

void SqliteStore::deleteTrack(std::string_view trackId) {
  inTransaction([&] {
    m_db->execute("DELETE FROM positions WHERE trackid = ?1", {trackId});
    // Clients whose newest position was on the track fall back to their newest remaining one.
    m_db->execute(newestPositionsOf("WHERE user IN (SELECT user FROM lastpositions WHERE trackid = ?1)"), {trackId});
    m_db->execute("DELETE FROM lastpositions WHERE trackid = ?1", {trackId});
  });
}

std::int64_t SqliteStore::checkLogin(std::string_view name, std::string_view password) {
  struct Account {
    std::int64_t id = -1;
    std::string hash;
  };
  const Account account = withReader([&](SqliteDatabase& db) -> Account {
    SqliteTable table(db, "SELECT id, password FROM users WHERE name = ? LIMIT 1", {name});
    if (table.eof()) return {};
    return {table.fieldAsInteger(0), table.fieldAsString(1)};
  });
  if (account.id == -1) return -1;
  const PasswordCheck check = m_passwords.check(account.hash, password);
  if (!check.matches) return -1;
  if (check.needsRehash) {
    try {
      const std::string hash = hashPassword(password);
      std::lock_guard lock(m_mutex);
      // Only the row as it was read: a password changed meanwhile stays as it was set.
      m_db->execute("UPDATE users SET password = ? WHERE id = ? AND password = ?",
                    {SqlArg(hash), SqlArg(static_cast<long long>(account.id)), SqlArg(account.hash)});
    } catch (const std::exception&) {
      // A read-only or busy database keeps the old form until a later login.
    }
  }
  return account.id;
}

std::int64_t SqliteStore::storePosition(std::int64_t userId, const PositionInfo& p, std::string_view comment,
                                     std::string_view trackId) {
  const std::string datetime = formatStoredDateTime(p.time);
  const SqlNamedArg args[] = {
      {":user", static_cast<long long>(userId)},
      {":trackid", trackId},
      {":datetime", datetime},
      {":lat", static_cast<double>(p.y)},
      {":lon", static_cast<double>(p.x)},
      {":prec", flagged(p, defXYPrec, p.xyPrec)},
      {":alt", flagged(p, defAltitude, p.altitude)},
      {":altprec", flagged(p, defAltitudePrec, p.altitudePrec)},
      {":heading", flagged(p, defHeading, p.heading)},
      {":speed", flagged(p, defSpeed, p.speed)},
      {":vspeed", flagged(p, defVertSpeed, p.vertSpeed)},
      {":geoidheight", flagged(p, defGeoidHeight, p.geoidHeight)},
      {":depth", flagged(p, defDepth, p.depth)},
      {":magvar", flagged(p, defMagVar, p.magVar)},
      {":sat", p.has(defSatellites) ? SqlArg(p.satellites) : SqlArg(nullptr)},
      {":comment", textOrNull(comment)},
      {":msec", storedMilliseconds(p.time)},
  };
  return inTransaction([&] {
    if (!m_insert) m_insert = std::make_unique<SqliteStatement>(*m_db, std::string(kInsertPosition));
    if (!m_updateLast) m_updateLast = std::make_unique<SqliteStatement>(*m_db, std::string(kUpdateLastPosition));
    // Reset on every path, so that a failed step leaves the statements ready for the next one.
    struct ResetOnExit {
      SqliteStatement& s;
      ~ResetOnExit() { s.reset(); }
    } resetInsert{*m_insert}, resetUpdate{*m_updateLast};
    m_insert->bindNamed(args);
    if (m_insert->step("Error executing prepared SQL statement"))
      throw SqliteError("Error executing prepared SQL statement", 0);
    const std::int64_t id = m_db->lastInsertRowId();
    m_updateLast->bind(
        {static_cast<long long>(userId), static_cast<long long>(id), datetime, trackId, storedMilliseconds(p.time)});
    if (m_updateLast->step("Error executing prepared SQL statement"))
      throw SqliteError("Error executing prepared SQL statement", 0);
    return id;
  });
}

std::optional<StoredPosition> SqliteStore::position(std::int64_t id) {
  return withReader([&](SqliteDatabase& db) {
    return readPosition(db, "SELECT * FROM positions WHERE id = ? LIMIT 1", {static_cast<long long>(id)});
  });
}

std::optional<StoredPosition> SqliteStore::lastPositionOfUser(std::int64_t userId) {
  return withReader([&](SqliteDatabase& db) {
    return readPosition(db, "SELECT positions.* FROM lastpositions JOIN positions ON positions.id = lastpositions.position "
                            "WHERE lastpositions.user = ?",
                        {static_cast<long long>(userId)});
  });
}

std::optional<StoredPosition> SqliteStore::lastPositionOfTrack(std::string_view trackId) {
  return withReader([&](SqliteDatabase& db) {
    return readPosition(db, "SELECT * FROM positions WHERE trackid = ? ORDER BY datetime DESC, msec DESC, id DESC LIMIT 1",
                        {trackId});
  });
}

std::vector<StoredPosition> SqliteStore::track(std::string_view trackId) {
  return withReader([&](SqliteDatabase& db) {
    return readPositions(db, "SELECT * FROM positions WHERE trackid = ? ORDER BY datetime, msec, id", {trackId});
  });
}

std::vector<StoredPosition> SqliteStore::lastTrackOfUser(std::int64_t userId) {
  return withReader([&](SqliteDatabase& db) {
    return readPositions(db,
                         "SELECT * FROM positions WHERE trackid = (SELECT trackid FROM lastpositions WHERE user = ?) "
                         "ORDER BY datetime, msec, id",
                         {static_cast<long long>(userId)});
  });
}

std::vector<TrackSummary> SqliteStore::tracksOfUser(std::int64_t userId) {
  return withReader([&](SqliteDatabase& db) {
    std::vector<TrackSummary> rows;
    for (SqliteCursor c(db,
                        "SELECT trackid, MIN(datetime) AS first FROM positions WHERE user = ? GROUP BY trackid "
                        "ORDER BY first, trackid",
                        {static_cast<long long>(userId)});
         !c.eof(); c.next())
      rows.push_back({c.fieldAsString(0), c.fieldAsString(1)});
    return rows;
  });
}

std::vector<StoredPosition> SqliteStore::positionsOfUser(std::int64_t userId) {
  return withReader([&](SqliteDatabase& db) {
    return readPositions(db, "SELECT * FROM positions WHERE user = ? ORDER BY datetime, msec, id",
                         {static_cast<long long>(userId)});
  });
}

std::optional<UserRecord> SqliteStore::user(std::int64_t id) {
  return withReader([&](SqliteDatabase& db) -> std::optional<UserRecord> {
    auto rows = readUsers(db, "SELECT * FROM users WHERE id = ?", {static_cast<long long>(id)});
    if (rows.empty()) return std::nullopt;
    return std::move(rows.front());
  });
}

std::vector<UserRecord> SqliteStore::users() {
  return withReader([&](SqliteDatabase& db) { return readUsers(db, "SELECT * FROM users ORDER BY id", {}); });
}

std::vector<StoredPosition> SqliteStore::positionsAfter(std::int64_t afterId, std::size_t limit) {
  return withReader([&](SqliteDatabase& db) {
    return readPositions(db, "SELECT * FROM positions WHERE id > ? ORDER BY id LIMIT ?",
                         {static_cast<long long>(afterId), static_cast<long long>(limit)});
  });
}

bool SqliteStore::empty() {
  return withReader([&](SqliteDatabase& db) {
    SqliteTable t(db, "SELECT (SELECT COUNT(*) FROM (SELECT 1 FROM users LIMIT 1)) + "
                      "(SELECT COUNT(*) FROM (SELECT 1 FROM positions LIMIT 1))");
    return t.fieldAsInteger(0) == 0;
  });
}

void SqliteStore::importUsers(const std::vector<UserRecord>& users) {
  inTransaction([&] {
    SqliteStatement insert(*m_db, "INSERT INTO users (id, name, password, color, firstname, surename, email, phone, "
                                  "description) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    const auto text = [](const std::optional<std::string>& v) { return v ? SqlArg(*v) : SqlArg(nullptr); };
    for (const auto& u : users) {
      insert.bind({static_cast<long long>(u.id), u.name, u.passwordHash, u.color, text(u.firstName), text(u.sureName),
                   text(u.email), text(u.phone), text(u.description)});
      insert.step();
      insert.reset();
    }
  });
}

void SqliteStore::importPositions(const std::vector<StoredPosition>& positions) {
  inTransaction([&] {
    SqliteStatement insert(*m_db,
                           "INSERT INTO positions (id, user, datetime, lat, lon, prec, alt, altprec, heading, speed, "
                           "vspeed, geoidheight, depth, magvar, sat, trackid, comment, msec) "
                           "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    const auto number = [](const std::optional<double>& v) { return v ? SqlArg(*v) : SqlArg(nullptr); };
    for (const auto& p : positions) {
      insert.bind({static_cast<long long>(p.id), static_cast<long long>(p.user), p.datetime, p.lat, p.lon,
                   number(p.prec), number(p.alt), number(p.altPrec), number(p.heading), number(p.speed),
                   number(p.vertSpeed), number(p.geoidHeight), number(p.depth), number(p.magVar),
                   p.sat ? SqlArg(static_cast<long long>(*p.sat)) : SqlArg(nullptr), p.trackId,
                   p.comment ? SqlArg(*p.comment) : SqlArg(nullptr), p.msec});
      insert.step();
      insert.reset();
    }
  });
}

void SqliteStore::finishImport() {
  inTransaction([&] {
    m_db->execute("DELETE FROM lastpositions");
    m_db->execute(newestPositionsOf(""));
  });
}

}  // namespace geomuxer
