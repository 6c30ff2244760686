#pragma once
// A thin RAII layer over the SQLite C API: connection, statements, a fully read result table with
// declared-type conversion and a forward cursor. Every failure throws SqliteError with the
// operation, SQLite's code and its description, the statement text and SQLite's own message.
//
// Thread rules: none of these objects locks. A connection and everything made from it must be
// used by one thread at a time; Database serialises its own use.

#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/date_time.h"
#include "server/store_error.h"

struct sqlite3;
struct sqlite3_stmt;

namespace geomuxer {

/// A failure reported by SQLite (or by this layer while reading results).
class SqliteError : public StoreError {
 public:
  SqliteError(const std::string& message, int code) : StoreError(message), m_code(code) {}
  /// SQLite's primary result code; 0 when the failure was found by this layer.
  [[nodiscard]] int code() const { return m_code; }

 private:
  int m_code;
};

/// The user-readable description of an SQLite result code ("The database file is locked").
[[nodiscard]] std::string sqliteCodeText(int code);

/// A value bound to a statement parameter. Texts are copied by SQLite when bound.
class SqlArg {
 public:
  using Value = std::variant<std::nullptr_t, std::int64_t, double, std::string_view>;
  // Implicit, so that argument lists read {id, name, nullptr}.
  SqlArg(std::nullptr_t) : m_value(nullptr) {}
  SqlArg(int v) : m_value(static_cast<std::int64_t>(v)) {}
  SqlArg(long v) : m_value(static_cast<std::int64_t>(v)) {}
  SqlArg(long long v) : m_value(static_cast<std::int64_t>(v)) {}
  SqlArg(double v) : m_value(v) {}
  SqlArg(std::string_view v) : m_value(v) {}
  SqlArg(const std::string& v) : m_value(std::string_view(v)) {}
  SqlArg(const char* v) : m_value(std::string_view(v)) {}
  [[nodiscard]] const Value& value() const { return m_value; }

 private:
  Value m_value;
};

/// A named parameter (":name") and its value.
struct SqlNamedArg {
  std::string_view name;
  SqlArg value;
};

enum class JournalMode { Delete, Truncate, Persist, Memory, Wal, Off };

[[nodiscard]] std::string_view journalModeName(JournalMode mode);

/// One connection. Opens read-write and creates the file when missing; the file name is UTF-8.
class SqliteDatabase {
 public:
  /// Throws SqliteError "Failed to open database ...".
  explicit SqliteDatabase(const std::string& fileName);
  ~SqliteDatabase();
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  /// Runs every statement of `sql` (usually one): binds the positional arguments (1..n) and the
  /// named ones the statement uses, steps once; a returned row counts as success.
  void execute(std::string_view sql, std::initializer_list<SqlArg> args = {},
               std::span<const SqlNamedArg> named = {});

  [[nodiscard]] std::int64_t lastInsertRowId() const;

  /// "PRAGMA synchronous = ON;" / "OFF;". The statement is sent only when the value differs from
  /// the one last set (a fresh connection counts as off, which leaves SQLite's default in place).
  void setSynchronous(bool on);
  /// "PRAGMA journal_mode = ..."; sent only when it differs from the last one set (initially
  /// Delete, SQLite's default).
  void setJournalMode(JournalMode mode);

  /// How long a statement waits for a lock held by another connection; 0 (the default) fails at
  /// once with "The database file is locked".
  void setBusyTimeout(int milliseconds);

  /// Whether a table of that name exists, the name compared without regard to case.
  [[nodiscard]] bool tableExists(std::string_view name);

  /// Throws SqliteError for a failed `operation`: with SQLite's error code, its description,
  /// the statement text and SQLite's message when the connection holds an error, else the
  /// operation text alone.
  [[noreturn]] void raise(std::string_view operation, std::string_view sql) const;

  [[nodiscard]] sqlite3* handle() const { return m_db; }

 private:
  sqlite3* m_db = nullptr;
  bool m_synchronous = false;
  JournalMode m_journalMode = JournalMode::Delete;
};

/// A prepared statement, finalised on destruction. Stays bound to its connection.
class SqliteStatement {
 public:
  /// Prepares the first statement of `sql`. Throws "Error executing SQL" or, for text without a
  /// statement, "Could not prepare SQL statement".
  SqliteStatement(SqliteDatabase& db, std::string sql);
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  /// Binds by position, starting at 1. Throws "Could not bind ..." on failure.
  void bind(int index, const SqlArg& arg);
  void bind(std::initializer_list<SqlArg> args);
  /// Binds the named parameters that occur in the statement; the others are skipped.
  void bindNamed(std::span<const SqlNamedArg> named);

  /// One step: true when a row is ready, false when done. On failure throws with `operation`.
  bool step(std::string_view operation = "Error executing SQL statement");
  /// Makes the statement ready to run again and clears its bindings.
  void reset();

  [[nodiscard]] int columnCount() const;
  [[nodiscard]] bool columnIsNull(int column) const;
  [[nodiscard]] std::int64_t columnInt64(int column) const;
  [[nodiscard]] double columnDouble(int column) const;
  /// The column as text; empty for NULL.
  [[nodiscard]] std::string columnText(int column) const;

  [[nodiscard]] const std::string& sql() const { return m_sql; }
  [[nodiscard]] sqlite3_stmt* handle() const { return m_stmt; }
  [[nodiscard]] SqliteDatabase& database() const { return m_db; }

 private:
  SqliteDatabase& m_db;
  std::string m_sql;
  sqlite3_stmt* m_stmt = nullptr;
};

/// A BLOB value, kept apart from text.
struct SqlBlob {
  std::string bytes;
  friend bool operator==(const SqlBlob&, const SqlBlob&) = default;
};

/// A value read into a SqliteTable.
using SqlValue = std::variant<std::nullptr_t, std::int64_t, double, std::string, SqlBlob>;

/// Runs a query and reads all of its rows at once. Each column is converted by its declared type:
/// "INTEGER"/"BOOLEAN" to a 64-bit integer, "NUMERIC"/"FLOAT"/"DOUBLE"/"REAL" to a double,
/// "BLOB" to bytes, any other declaration to text, and a column without one (an expression) keeps
/// the storage class of its value. NULL stays NULL.
class SqliteTable {
 public:
  SqliteTable(SqliteDatabase& db, std::string sql, std::initializer_list<SqlArg> args = {});

  [[nodiscard]] bool eof() const { return m_row >= m_rows.size(); }
  [[nodiscard]] std::size_t rowCount() const { return m_rows.size(); }
  [[nodiscard]] int columnCount() const { return static_cast<int>(m_columns.size()); }
  [[nodiscard]] const std::vector<std::string>& columnNames() const { return m_columns; }
  void next() { if (!eof()) ++m_row; }

  /// Reads of the current row. Reading past the last row throws "Table is at End of File"; a
  /// number read from a text or BLOB value throws "Not an integer or numeric field".
  [[nodiscard]] const SqlValue& field(int column) const;
  [[nodiscard]] bool fieldIsNull(int column) const;
  [[nodiscard]] std::string fieldAsString(int column) const;
  [[nodiscard]] std::int64_t fieldAsInteger(int column) const;
  [[nodiscard]] double fieldAsDouble(int column) const;
  /// "yyyy-mm-dd hh:nn:ss" text as a date-time; empty or NULL reads as 0. Throws ConversionError.
  [[nodiscard]] DateTime fieldAsDateTime(int column) const;

 private:
  std::vector<std::string> m_columns;
  std::vector<std::vector<SqlValue>> m_rows;
  std::size_t m_row = 0;
};

/// Steps through the rows of a query, reading each column straight from SQLite. Positioned on
/// the first row (or at the end) once constructed.
class SqliteCursor {
 public:
  SqliteCursor(SqliteDatabase& db, std::string sql, std::initializer_list<SqlArg> args = {});

  [[nodiscard]] bool eof() const { return m_eof; }
  /// Moves to the next row. Throws "Could not retrieve data" when SQLite fails.
  void next();

  /// Reads of the current row; reading past the last row throws "Table is at End of File".
  [[nodiscard]] bool fieldIsNull(int column) const;
  [[nodiscard]] std::int64_t fieldAsInteger(int column) const;
  [[nodiscard]] double fieldAsDouble(int column) const;
  [[nodiscard]] std::string fieldAsString(int column) const;
  /// Throws ConversionError for text that is not "yyyy-mm-dd hh:nn:ss"; NULL reads as 0.
  [[nodiscard]] DateTime fieldAsDateTime(int column) const;

 private:
  void checkRow() const;
  SqliteStatement m_stmt;
  bool m_eof = false;
};

/// "yyyy-mm-dd hh:nn:ss", the form dates are stored in; milliseconds are cut off (not rounded),
/// storedMilliseconds() gives them.
[[nodiscard]] std::string formatStoredDateTime(DateTime value);
/// The milliseconds (0..999) that formatStoredDateTime() leaves out.
[[nodiscard]] int storedMilliseconds(DateTime value);
/// Reads "yyyy-mm-dd hh:nn:ss" (a date alone is accepted). Throws ConversionError.
[[nodiscard]] DateTime parseStoredDateTime(std::string_view text);

}  // namespace geomuxer
