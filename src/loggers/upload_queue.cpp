#include "loggers/upload_queue.h"

#include <sqlite3.h>

#include <algorithm>
#include <string_view>

namespace geomuxer {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool needsEscape(unsigned char c) { return c < 0x20 || c == 0x7F || c == '%' || c == '&' || c == '='; }

void appendEscaped(std::string& out, std::string_view text) {
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (needsEscape(c)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += ch;
    }
  }
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string unescaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::string encodeForm(const std::vector<FormField>& fields) {
  std::string out;
  for (const auto& [name, value] : fields) {
    if (!out.empty()) out += '&';
    appendEscaped(out, name);
    out += '=';
    appendEscaped(out, value);
  }
  return out;
}

std::vector<FormField> decodeForm(std::string_view text) {
  std::vector<FormField> fields;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('&'), text.size());
    const std::string_view pair = text.substr(0, end);
    const std::size_t equals = std::min(pair.find('='), pair.size());
    fields.emplace_back(unescaped(pair.substr(0, equals)),
                        equals < pair.size() ? unescaped(pair.substr(equals + 1)) : std::string());
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return fields;
}

// ---------------------------------------------------------------------------------------------

UploadQueue::UploadQueue(const std::filesystem::path& file, std::int64_t capacity)
    : m_file(file), m_capacity(std::max<std::int64_t>(capacity, 1)) {
  const std::string name = m_file.empty() ? std::string(":memory:") : m_file.string();
  if (sqlite3_open_v2(name.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    const std::string message = m_db != nullptr ? sqlite3_errmsg(m_db) : "out of memory";
    sqlite3_close(m_db);
    m_db = nullptr;
    throw UploadQueueError("The upload queue \"" + name + "\" cannot be opened: " + message);
  }
  try {
    // WAL with NORMAL synchronisation: a commit is in the log before push() returns, so a killed
    // process loses nothing; only a power cut may cost the last commits. The exclusive lock keeps
    // a second instance from posting the same positions.
    exec("PRAGMA locking_mode = EXCLUSIVE");
    if (!m_file.empty()) exec("PRAGMA journal_mode = WAL");
    exec("PRAGMA synchronous = NORMAL");
    exec("BEGIN EXCLUSIVE");
    exec("CREATE TABLE IF NOT EXISTS upload_queue (id INTEGER PRIMARY KEY, form TEXT NOT NULL)");
    exec("COMMIT");
    sqlite3_stmt* count = prepare("SELECT count(*) FROM upload_queue");
    if (sqlite3_step(count) == SQLITE_ROW) m_size = sqlite3_column_int64(count, 0);
    sqlite3_finalize(count);
    m_insert = prepare("INSERT INTO upload_queue (form) VALUES (?)");
    m_front = prepare("SELECT id, form FROM upload_queue ORDER BY id LIMIT 1");
    m_remove = prepare("DELETE FROM upload_queue WHERE id = ?");
    m_trim = prepare("DELETE FROM upload_queue WHERE id IN (SELECT id FROM upload_queue ORDER BY id LIMIT ?)");
  } catch (...) {
    for (sqlite3_stmt* s : {m_insert, m_front, m_remove, m_trim}) sqlite3_finalize(s);
    sqlite3_close(m_db);
    m_db = nullptr;
    throw;
  }
}

UploadQueue::~UploadQueue() {
  for (sqlite3_stmt* s : {m_insert, m_front, m_remove, m_trim}) sqlite3_finalize(s);
  sqlite3_close(m_db);
}

void UploadQueue::fail(const std::string& what) const {
  const std::string where = m_file.empty() ? std::string("in memory") : "\"" + m_file.string() + "\"";
  throw UploadQueueError("The upload queue " + where + " " + what + ": " + sqlite3_errmsg(m_db));
}

void UploadQueue::exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) == SQLITE_OK) return;
  sqlite3_free(error);
  const int code = sqlite3_errcode(m_db);
  fail(code == SQLITE_BUSY || code == SQLITE_LOCKED ? "is in use by another program" : "cannot be opened");
}

sqlite3_stmt* UploadQueue::prepare(const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr) != SQLITE_OK) fail("cannot be read");
  return statement;
}

void UploadQueue::setCapacity(std::int64_t capacity) { m_capacity = std::max<std::int64_t>(capacity, 1); }

std::int64_t UploadQueue::push(const std::vector<FormField>& fields) {
  std::int64_t dropped = 0;
  if (m_size >= m_capacity) {
    dropped = m_size - m_capacity + 1;
    sqlite3_bind_int64(m_trim, 1, dropped);
    const int rc = sqlite3_step(m_trim);
    sqlite3_reset(m_trim);
    if (rc != SQLITE_DONE) fail("cannot be written");
    m_size -= sqlite3_changes(m_db);
  }
  const std::string form = encodeForm(fields);
  sqlite3_bind_text(m_insert, 1, form.data(), static_cast<int>(form.size()), SQLITE_TRANSIENT);
  const int rc = sqlite3_step(m_insert);
  sqlite3_reset(m_insert);
  sqlite3_clear_bindings(m_insert);
  if (rc != SQLITE_DONE) fail("cannot be written");
  ++m_size;
  return dropped;
}

std::optional<QueuedPost> UploadQueue::front() {
  std::optional<QueuedPost> post;
  const int rc = sqlite3_step(m_front);
  if (rc == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_front, 1));
    const auto length = static_cast<std::size_t>(sqlite3_column_bytes(m_front, 1));
    post = QueuedPost{sqlite3_column_int64(m_front, 0), decodeForm(std::string_view(text != nullptr ? text : "", length))};
  }
  sqlite3_reset(m_front);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail("cannot be read");
  return post;
}

void UploadQueue::remove(std::int64_t id) {
  sqlite3_bind_int64(m_remove, 1, id);
  const int rc = sqlite3_step(m_remove);
  sqlite3_reset(m_remove);
  if (rc != SQLITE_DONE) fail("cannot be written");
  m_size -= sqlite3_changes(m_db);
}

}  // namespace geomuxer
