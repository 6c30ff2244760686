#pragma once
// The position store on a PostgreSQL server, for fleets one SQLite file cannot carry and for
// several Geomuxer servers sharing one database.
//
// Connections: a small pool, opened on demand up to StoreOptions::poolSize; a request waits at
// most acquireTimeout for a free one. Each connection prepares its statements on first use and
// runs with the statement time limit. A connection the server closed (a restart, an
// administrator) is noticed before it is handed out, or by the failing statement, and replaced by
// a fresh one; while the server is away every call fails with PostgresError, which the intake
// answers with 503. Reads that meet a lost connection try once more on a new one; writes never
// do, since a write may have been committed before the connection broke.
//
// The connection URI is passed to libpq as it is: host, port, database, user, password and the
// other parameters come from it, from the PG* environment variables and from ~/.pgpass. Neither
// the URI's password nor the URI itself reaches a message.

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/database.h"

namespace geomuxer {

class PostgresError : public StoreError {
 public:
  PostgresError(const std::string& message, std::string sqlState)
      : StoreError(message), m_sqlState(std::move(sqlState)) {}
  /// The server's SQLSTATE ("23505"); empty when the failure is the connection's or ours.
  [[nodiscard]] const std::string& sqlState() const { return m_sqlState; }

 private:
  std::string m_sqlState;
};

class PostgresStore final : public Database {
 public:
  /// Connects once, then brings the schema up to date from the scripts
  /// `<dataDir>/dbshema/postgresql/geomuxer_<N>.sql`, each in one transaction. Throws
  /// PostgresError.
  PostgresStore(std::string uri, std::filesystem::path dataDir, StoreOptions options);
  ~PostgresStore() override;
  PostgresStore(const PostgresStore&) = delete;
  PostgresStore& operator=(const PostgresStore&) = delete;

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

  /// Connections open now (idle or in use); for tests and the benchmark.
  [[nodiscard]] std::size_t openConnections() const;

  class Connection;

 private:
  class Lease;
  Lease acquire();
  void release(std::unique_ptr<Connection> connection);
  [[nodiscard]] std::unique_ptr<Connection> connect() const;
  /// Runs `work` on a pooled connection; with `retry`, once more on a fresh connection when the
  /// first one turned out to be lost.
  template <typename Work>
  auto withConnection(bool retry, Work work);
  void upgradeSchema();

  std::string m_uri;       // never shown
  std::string m_password;  // the URI's, masked in messages
  std::filesystem::path m_dataDir;
  StoreOptions m_options;
  std::string m_description;
  PasswordVerifier m_passwords;

  mutable std::mutex m_poolMutex;  // guards m_idle and m_open
  std::condition_variable m_poolFree;
  std::vector<std::unique_ptr<Connection>> m_idle;
  std::size_t m_open = 0;
};

}  // namespace geomuxer
