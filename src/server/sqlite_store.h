#pragma once
// The position store in one SQLite file, the server's default.
//
// Writes take one lock, so the shared statements are never used by two threads at once. In WAL
// mode the reads (feeds and the login check) run on connections of their own, one per concurrent
// caller, so they neither wait for inserts nor hold them up; in other modes they share the
// writer's lock. Failures throw SqliteError.

#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "server/database.h"
#include "server/sqlite.h"

namespace geomuxer {

class SqliteStore final : public Database {
 public:
  struct Options {
    /// WAL keeps every committed row through a crash of the program and lets readers run
    /// beside the writer; the benchmarks compare the other modes.
    JournalMode journalMode = JournalMode::Wal;
    /// With WAL, ON (SQLite's NORMAL) loses no committed row when the program dies; only a
    /// power failure may undo the last transactions, never corrupt the file.
    bool synchronous = true;
  };

  /// Opens (or creates) `fileName`, then brings the schema up to date from the scripts
  /// `<dataDir>/dbshema/geomuxer_<N>.sql`. Throws SqliteError; a failing script leaves the
  /// statements before the failing one applied.
  SqliteStore(std::filesystem::path fileName, std::filesystem::path dataDir, Options options);
  SqliteStore(std::filesystem::path fileName, std::filesystem::path dataDir)
      : SqliteStore(std::move(fileName), std::move(dataDir), Options{}) {}
  ~SqliteStore() override;
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

  [[nodiscard]] const std::filesystem::path& fileName() const { return m_fileName; }

  [[nodiscard]] std::string description() const override;
  [[nodiscard]] int schemaVersion() override;
  std::int64_t addUser(const UserFields& user) override;
  void updateUser(std::int64_t id, const UserFields& user) override;
  void deleteUser(std::int64_t id, bool deleteTracks) override;
  void deleteTrack(std::string_view trackId) override;
  [[nodiscard]] std::int64_t checkLogin(std::string_view name, std::string_view password) override;
  std::int64_t storePosition(std::int64_t userId, const PositionInfo& position, std::string_view comment,
                             std::string_view trackId) override;
  [[nodiscard]] std::optional<StoredPosition> position(std::int64_t id) override;
  [[nodiscard]] std::optional<StoredPosition> lastPositionOfUser(std::int64_t userId) override;
  [[nodiscard]] std::optional<StoredPosition> lastPositionOfTrack(std::string_view trackId) override;
  [[nodiscard]] std::vector<StoredPosition> track(std::string_view trackId) override;
  [[nodiscard]] std::vector<StoredPosition> lastTrackOfUser(std::int64_t userId) override;
  [[nodiscard]] std::vector<TrackSummary> tracksOfUser(std::int64_t userId) override;
  [[nodiscard]] std::vector<StoredPosition> positionsOfUser(std::int64_t userId) override;
  [[nodiscard]] std::optional<UserRecord> user(std::int64_t id) override;
  [[nodiscard]] std::vector<UserRecord> users() override;
  [[nodiscard]] std::vector<StoredPosition> positionsAfter(std::int64_t afterId, std::size_t limit) override;
  [[nodiscard]] bool empty() override;
  void importUsers(const std::vector<UserRecord>& users) override;
  void importPositions(const std::vector<StoredPosition>& positions) override;
  void finishImport() override;

 private:
  int schemaVersionLocked();
  void upgradeSchema();
  /// Runs `write` inside BEGIN ... COMMIT under the writer's lock; rolls back when it throws.
  template <typename Write>
  auto inTransaction(Write write);
  /// Runs `read` with a connection for reading: a pooled reader in WAL mode, else the writer's
  /// connection under its lock.
  template <typename Read>
  auto withReader(Read read);

  std::mutex m_mutex;  // guards m_db and the statements
  std::filesystem::path m_fileName;
  std::filesystem::path m_dataDir;
  std::unique_ptr<SqliteDatabase> m_db;
  // Prepared on first use, kept for the object's life.
  std::unique_ptr<SqliteStatement> m_insert;
  std::unique_ptr<SqliteStatement> m_updateLast;
  bool m_separateReaders = false;
  PasswordVerifier m_passwords;
  std::mutex m_readersMutex;  // guards m_idleReaders
  std::vector<std::unique_ptr<SqliteDatabase>> m_idleReaders;
};

}  // namespace geomuxer
