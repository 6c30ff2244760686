#include "server/sqlite.h"

#include <sqlite3.h>

#include <array>
#include <utility>

#include "core/number_text.h"

namespace geomuxer {

namespace {

constexpr std::array<std::string_view, 27> kCodeTexts = {
    "No error",
    "SQL error or missing database",
    "An internal logic error in SQLite",
    "Access permission denied",
    "Callback routine requested an abort",
    "The database file is locked",
    "A table in the database is locked",
    "No memory",
    "Attempt to write a readonly database",
    "Operation terminated",
    "Some kind of disk I/O error occurred",
    "The database disk image is malformed",
    "(Internal Only) Table or record not found",
    "Insertion failed because database is full",
    "Unable to open the database file",
    "Database lock protocol error",
    "Database is empty",
    "The database schema changed",
    "Too much data for one row of a table",
    "Abort due to constraint violation",
    "Data type mismatch",
    "Library used incorrectly",
    "Uses OS features not supported on host",
    "Authorization denied",
    "Auxiliary database format error",
    "2nd parameter to sqlite3_bind out of range",
    "File opened that is not a database file",
};

[[noreturn]] void fail(std::string message) { throw SqliteError(std::move(message), 0); }

// Text of a column as SQLite gives it; sqlite3_column_text returns unsigned char.
std::string columnTextOf(sqlite3_stmt* stmt, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  if (!text) return {};
  return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

// Binds one value at `index`; the operation names the kind of value that failed.
int bindValue(sqlite3_stmt* stmt, int index, const SqlArg& arg, std::string_view& operation) {
  return std::visit(
      [&](const auto& v) -> int {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::nullptr_t>) {
          operation = "Could not bind null";
          return sqlite3_bind_null(stmt, index);
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          operation = "Could not bind int64";
          return sqlite3_bind_int64(stmt, index, v);
        } else if constexpr (std::is_same_v<T, double>) {
          operation = "Could not bind extended";
          return sqlite3_bind_double(stmt, index, v);
        } else {
          operation = "Could not bind text";
          return sqlite3_bind_text64(stmt, index, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        }
      },
      arg.value());
}

int fieldNumber(std::string_view text, std::string_view whole) {
  const auto n = parseInt(text);
  if (!n || text.empty() || text.front() == '-' || text.front() == '+')
    throw ConversionError("'" + std::string(whole) + "' is not a valid date and time");
  return *n;
}

}  // namespace

std::string sqliteCodeText(int code) {
  if (code >= 0 && code < static_cast<int>(kCodeTexts.size())) return std::string(kCodeTexts[static_cast<std::size_t>(code)]);
  if (code == SQLITE_ROW) return "sqlite3_step() has another row ready";
  if (code == SQLITE_DONE) return "sqlite3_step() has finished executing";
  return "Unknown SQLite Error Code " + std::to_string(code);
}

std::string_view journalModeName(JournalMode mode) {
  switch (mode) {
    case JournalMode::Delete: return "DELETE";
    case JournalMode::Truncate: return "TRUNCATE";
    case JournalMode::Persist: return "PERSIST";
    case JournalMode::Memory: return "MEMORY";
    case JournalMode::Wal: return "WAL";
    case JournalMode::Off: return "OFF";
  }
  return "DELETE";
}

// ---- SqliteDatabase ------------------------------------------------------------------------

SqliteDatabase::SqliteDatabase(const std::string& fileName) {
  const int rc = sqlite3_open_v2(fileName.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc == SQLITE_OK) return;
  if (!m_db) fail("Failed to open database \"" + fileName + "\": unknown error");
  std::string message = "Failed to open database \"" + fileName + "\": " + sqlite3_errmsg(m_db);
  sqlite3_close_v2(m_db);
  m_db = nullptr;
  throw SqliteError(message, rc);
}

SqliteDatabase::~SqliteDatabase() {
  // _v2 closes lazily should a statement still be open, instead of failing and leaking.
  if (m_db) sqlite3_close_v2(m_db);
}

void SqliteDatabase::raise(std::string_view operation, std::string_view sql) const {
  const int code = m_db ? sqlite3_errcode(m_db) : SQLITE_OK;
  std::string message(operation);
  if (code != SQLITE_OK && code != SQLITE_ROW && code != SQLITE_DONE) {
    message += ".\r\nError [";
    message += std::to_string(code);
    message += "]: ";
    message += sqliteCodeText(code);
    message += ".\r\n\"";
    message += sql;
    message += "\": ";
    message += sqlite3_errmsg(m_db);
  }
  throw SqliteError(message, code);
}

void SqliteDatabase::execute(std::string_view sql, std::initializer_list<SqlArg> args,
                             std::span<const SqlNamedArg> named) {
  const char* tail = sql.data();
  const char* end = sql.data() + sql.size();
  bool ranOne = false;
  while (tail < end) {
    sqlite3_stmt* raw = nullptr;
    const char* next = nullptr;
    if (sqlite3_prepare_v2(m_db, tail, static_cast<int>(end - tail), &raw, &next) != SQLITE_OK)
      raise("Error executing SQL", sql);
    tail = next;
    if (!raw) break;  // only blanks or comments were left
    ranOne = true;
    // Hand the handle to a statement object so that it is finalised on every path.
    struct Finalizer {
      sqlite3_stmt* s;
      ~Finalizer() { sqlite3_finalize(s); }
    } finalizer{raw};
    std::string_view bindOp;
    int index = 1;
    for (const SqlArg& arg : args) {
      if (index > sqlite3_bind_parameter_count(raw)) break;
      if (bindValue(raw, index++, arg, bindOp) != SQLITE_OK) raise(bindOp, "BindData");
    }
    for (const SqlNamedArg& arg : named) {
      const int at = sqlite3_bind_parameter_index(raw, std::string(arg.name).c_str());
      if (at > 0 && bindValue(raw, at, arg.value, bindOp) != SQLITE_OK) raise(bindOp, "BindData");
    }
    const int rc = sqlite3_step(raw);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) raise("Error executing SQL statement", sql);
  }
  if (!ranOne) fail("Could not prepare SQL statement");
}

std::int64_t SqliteDatabase::lastInsertRowId() const { return sqlite3_last_insert_rowid(m_db); }

void SqliteDatabase::setSynchronous(bool on) {
  if (on == m_synchronous) return;
  execute(on ? "PRAGMA synchronous = ON;" : "PRAGMA synchronous = OFF;");
  m_synchronous = on;
}

void SqliteDatabase::setJournalMode(JournalMode mode) {
  if (mode == m_journalMode) return;
  execute("PRAGMA journal_mode = " + std::string(journalModeName(mode)));
  m_journalMode = mode;
}

void SqliteDatabase::setBusyTimeout(int milliseconds) { sqlite3_busy_timeout(m_db, milliseconds); }

bool SqliteDatabase::tableExists(std::string_view name) {
  SqliteTable table(*this, "SELECT [sql] FROM sqlite_master WHERE [type] = 'table' AND lower(name) = lower(?)",
                    {name});
  return !table.eof();
}

// ---- SqliteStatement -----------------------------------------------------------------------

SqliteStatement::SqliteStatement(SqliteDatabase& db, std::string sql) : m_db(db), m_sql(std::move(sql)) {
  if (sqlite3_prepare_v2(db.handle(), m_sql.c_str(), static_cast<int>(m_sql.size()), &m_stmt, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(m_stmt);
    m_stmt = nullptr;
    db.raise("Error executing SQL", m_sql);
  }
  if (!m_stmt) fail("Could not prepare SQL statement");
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(m_stmt); }

void SqliteStatement::bind(int index, const SqlArg& arg) {
  std::string_view operation;
  if (bindValue(m_stmt, index, arg, operation) != SQLITE_OK) m_db.raise(operation, "BindData");
}

void SqliteStatement::bind(std::initializer_list<SqlArg> args) {
  int index = 1;
  for (const SqlArg& arg : args) bind(index++, arg);
}

void SqliteStatement::bindNamed(std::span<const SqlNamedArg> named) {
  for (const SqlNamedArg& arg : named) {
    const int at = sqlite3_bind_parameter_index(m_stmt, std::string(arg.name).c_str());
    if (at > 0) bind(at, arg.value);
  }
}

bool SqliteStatement::step(std::string_view operation) {
  const int rc = sqlite3_step(m_stmt);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  m_db.raise(operation, m_sql);
}

void SqliteStatement::reset() {
  sqlite3_reset(m_stmt);
  sqlite3_clear_bindings(m_stmt);
}

int SqliteStatement::columnCount() const { return sqlite3_column_count(m_stmt); }
bool SqliteStatement::columnIsNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
std::int64_t SqliteStatement::columnInt64(int column) const { return sqlite3_column_int64(m_stmt, column); }
double SqliteStatement::columnDouble(int column) const { return sqlite3_column_double(m_stmt, column); }
std::string SqliteStatement::columnText(int column) const { return columnTextOf(m_stmt, column); }

// ---- SqliteTable ---------------------------------------------------------------------------

SqliteTable::SqliteTable(SqliteDatabase& db, std::string sql, std::initializer_list<SqlArg> args) {
  SqliteStatement stmt(db, std::move(sql));
  stmt.bind(args);
  sqlite3_stmt* s = stmt.handle();
  const int columns = sqlite3_column_count(s);
  enum class Kind { Integer, Real, Blob, Text, Storage };
  std::vector<Kind> kinds;
  for (int c = 0; c < columns; ++c) {
    const char* name = sqlite3_column_name(s, c);
    m_columns.emplace_back(name ? name : "");
    const char* decl = sqlite3_column_decltype(s, c);
    const std::string_view type = decl ? decl : "";
    if (!decl)
      kinds.push_back(Kind::Storage);
    else if (type == "INTEGER" || type == "BOOLEAN")
      kinds.push_back(Kind::Integer);
    else if (type == "NUMERIC" || type == "FLOAT" || type == "DOUBLE" || type == "REAL")
      kinds.push_back(Kind::Real);
    else if (type == "BLOB")
      kinds.push_back(Kind::Blob);
    else
      kinds.push_back(Kind::Text);
  }
  for (;;) {
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_DONE) break;
    if (rc == SQLITE_BUSY) fail("Could not prepare SQL statement");
    if (rc != SQLITE_ROW) db.raise("Could not retrieve data", stmt.sql());
    std::vector<SqlValue>& row = m_rows.emplace_back();
    row.reserve(static_cast<std::size_t>(columns));
    for (int c = 0; c < columns; ++c) {
      const int storage = sqlite3_column_type(s, c);
      if (storage == SQLITE_NULL) {
        row.emplace_back(nullptr);
        continue;
      }
      Kind kind = kinds[static_cast<std::size_t>(c)];
      if (kind == Kind::Storage) {
        kind = storage == SQLITE_INTEGER ? Kind::Integer
               : storage == SQLITE_FLOAT ? Kind::Real
               : storage == SQLITE_BLOB  ? Kind::Blob
                                         : Kind::Text;
      }
      switch (kind) {
        case Kind::Integer: row.emplace_back(static_cast<std::int64_t>(sqlite3_column_int64(s, c))); break;
        case Kind::Real: row.emplace_back(sqlite3_column_double(s, c)); break;
        case Kind::Blob: {
          const auto* data = static_cast<const char*>(sqlite3_column_blob(s, c));
          const auto size = static_cast<std::size_t>(sqlite3_column_bytes(s, c));
          row.emplace_back(SqlBlob{data ? std::string(data, size) : std::string()});
          break;
        }
        default: row.emplace_back(columnTextOf(s, c)); break;
      }
    }
  }
}

const SqlValue& SqliteTable::field(int column) const {
  if (eof()) fail("Table is at End of File");
  const auto& row = m_rows[m_row];
  if (column < 0 || static_cast<std::size_t>(column) >= row.size())
    fail("Column index " + std::to_string(column) + " out of range");
  return row[static_cast<std::size_t>(column)];
}

bool SqliteTable::fieldIsNull(int column) const { return std::holds_alternative<std::nullptr_t>(field(column)); }

std::string SqliteTable::fieldAsString(int column) const {
  const SqlValue& v = field(column);
  if (const auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
  if (const auto* d = std::get_if<double>(&v)) return formatGeneral(*d);
  if (const auto* t = std::get_if<std::string>(&v)) return *t;
  if (const auto* b = std::get_if<SqlBlob>(&v)) return b->bytes;
  return {};
}

std::int64_t SqliteTable::fieldAsInteger(int column) const {
  const SqlValue& v = field(column);
  if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
  if (const auto* d = std::get_if<double>(&v)) return static_cast<std::int64_t>(*d);
  if (std::holds_alternative<std::nullptr_t>(v)) return 0;
  fail("Not an integer or numeric field");
}

double SqliteTable::fieldAsDouble(int column) const {
  const SqlValue& v = field(column);
  if (const auto* d = std::get_if<double>(&v)) return *d;
  if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
  if (std::holds_alternative<std::nullptr_t>(v)) return 0.0;
  fail("Not an integer or numeric field");
}

DateTime SqliteTable::fieldAsDateTime(int column) const {
  const std::string text = fieldAsString(column);
  return text.empty() ? 0.0 : parseStoredDateTime(text);
}

// ---- SqliteCursor --------------------------------------------------------------------------

SqliteCursor::SqliteCursor(SqliteDatabase& db, std::string sql, std::initializer_list<SqlArg> args)
    : m_stmt(db, std::move(sql)) {
  m_stmt.bind(args);
  next();
}

void SqliteCursor::next() {
  if (m_eof) return;
  m_eof = !m_stmt.step("Could not retrieve data");
}

void SqliteCursor::checkRow() const {
  if (m_eof) fail("Table is at End of File");
}

bool SqliteCursor::fieldIsNull(int column) const {
  checkRow();
  return m_stmt.columnIsNull(column);
}

std::int64_t SqliteCursor::fieldAsInteger(int column) const {
  checkRow();
  return m_stmt.columnInt64(column);
}

double SqliteCursor::fieldAsDouble(int column) const {
  checkRow();
  return m_stmt.columnDouble(column);
}

std::string SqliteCursor::fieldAsString(int column) const {
  checkRow();
  return m_stmt.columnText(column);
}

DateTime SqliteCursor::fieldAsDateTime(int column) const {
  checkRow();
  if (m_stmt.columnIsNull(column)) return 0.0;
  return parseStoredDateTime(m_stmt.columnText(column));
}

// ---- stored date-times ---------------------------------------------------------------------

std::string formatStoredDateTime(DateTime value) { return formatDateTimeText(value, ' ', ""); }

int storedMilliseconds(DateTime value) { return splitDateTime(value).millisecond; }

DateTime parseStoredDateTime(std::string_view text) {
  const auto bad = [&]() { return ConversionError("'" + std::string(text) + "' is not a valid date and time"); };
  const std::string_view datePart = text.substr(0, text.find(' '));
  const auto d1 = datePart.find('-');
  const auto d2 = d1 == std::string_view::npos ? d1 : datePart.find('-', d1 + 1);
  if (d2 == std::string_view::npos) throw bad();
  DateTimeParts parts;
  parts.year = fieldNumber(datePart.substr(0, d1), text);
  parts.month = fieldNumber(datePart.substr(d1 + 1, d2 - d1 - 1), text);
  parts.day = fieldNumber(datePart.substr(d2 + 1), text);
  parts.hour = parts.minute = parts.second = 0;
  if (datePart.size() < text.size()) {
    const std::string_view timePart = text.substr(datePart.size() + 1);
    const auto t1 = timePart.find(':');
    if (t1 == std::string_view::npos) throw bad();
    const auto t2 = timePart.find(':', t1 + 1);
    parts.hour = fieldNumber(timePart.substr(0, t1), text);
    if (t2 == std::string_view::npos) {
      parts.minute = fieldNumber(timePart.substr(t1 + 1), text);
    } else {
      parts.minute = fieldNumber(timePart.substr(t1 + 1, t2 - t1 - 1), text);
      parts.second = fieldNumber(timePart.substr(t2 + 1), text);
    }
  }
  const auto value = makeDateTime(parts);
  if (!value) throw bad();
  return *value;
}

}  // namespace geomuxer
