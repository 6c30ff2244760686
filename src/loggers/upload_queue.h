#pragma once
// The upload logger's store-and-forward queue: every position accepted for upload waits here, as the
// form it is posted with, until the server has acknowledged it. The queue is a small SQLite file of
// its own in WAL mode; each position is committed before push() returns, so a process that is killed
// at any moment loses nothing that was pushed.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace geomuxer {

/// One form field: name and text value.
using FormField = std::pair<std::string, std::string>;

/// The queue file cannot be opened, read or written; the message names the file and the reason.
class UploadQueueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A queued post: its place in the queue and the form.
struct QueuedPost {
  std::int64_t id = 0;
  std::vector<FormField> fields;
};

/// Oldest first. Not thread safe: one thread (the main thread) uses it.
class UploadQueue {
 public:
  static constexpr std::int64_t kDefaultCapacity = 1000000;

  /// Opens the queue file, creating it when missing; an empty path keeps the queue in memory only.
  /// The file is held exclusively: a second program on the same file gets UploadQueueError.
  explicit UploadQueue(const std::filesystem::path& file = {}, std::int64_t capacity = kDefaultCapacity);
  ~UploadQueue();
  UploadQueue(const UploadQueue&) = delete;
  UploadQueue& operator=(const UploadQueue&) = delete;

  /// Empty for a queue in memory.
  [[nodiscard]] const std::filesystem::path& file() const { return m_file; }
  [[nodiscard]] bool inMemory() const { return m_file.empty(); }

  /// At most this many posts wait (at least 1); a smaller value takes effect at the next push.
  [[nodiscard]] std::int64_t capacity() const { return m_capacity; }
  void setCapacity(std::int64_t capacity);

  /// Appends a post, committed when this returns. A full queue drops its oldest posts first;
  /// returns how many were dropped. Throws UploadQueueError (a full disk, say).
  std::int64_t push(const std::vector<FormField>& fields);
  /// The oldest post, or nothing when the queue is empty.
  [[nodiscard]] std::optional<QueuedPost> front();
  /// Removes a post: the server has acknowledged it, or refused it for good.
  void remove(std::int64_t id);
  [[nodiscard]] std::int64_t size() const { return m_size; }
  [[nodiscard]] bool empty() const { return m_size == 0; }

 private:
  [[noreturn]] void fail(const std::string& what) const;
  void exec(const char* sql);
  sqlite3_stmt* prepare(const char* sql);

  std::filesystem::path m_file;
  std::int64_t m_capacity;
  std::int64_t m_size = 0;
  sqlite3* m_db = nullptr;
  sqlite3_stmt* m_insert = nullptr;
  sqlite3_stmt* m_front = nullptr;
  sqlite3_stmt* m_remove = nullptr;
  sqlite3_stmt* m_trim = nullptr;
};

/// The form as one line of text, "name=value&name=value", with '%', '&', '=' and control bytes
/// escaped as %XX; the reverse gives the same fields back.
[[nodiscard]] std::string encodeForm(const std::vector<FormField>& fields);
[[nodiscard]] std::vector<FormField> decodeForm(std::string_view text);

}  // namespace geomuxer
