#pragma once
// The position server's store: client accounts and the positions they post, in one SQLite file.
//
// Thread rules: every public member may be called from any thread at any time. Writes take one
// lock, so the shared insert statement is never used by two threads at once. In WAL mode the
// reads (feeds and the login check) run on connections of their own, one per concurrent caller,
// so they neither wait for inserts nor hold them up; in other modes they share the writer's lock.
// A read sees every write that returned before it started. Results are plain values, so nothing
// refers into the database once a call has returned.
//
// Errors: every member except schemaVersion() throws SqliteError when SQLite reports a failure
// (a missing table, a locked or damaged file, a constraint); the message is meant for the user.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/position_info.h"
#include "server/password_hash.h"
#include "server/sqlite.h"

namespace geomuxer {

/// The editable fields of a client account. Empty optional texts are stored as NULL.
struct UserFields {
  std::string name;
  std::string passwordHash;  ///< hashPassword(); for updateUser, empty keeps the stored one
  std::string color;
  std::string firstName;
  std::string sureName;
  std::string email;
  std::string phone;
  std::string description;
};

/// A row of `users`.
struct UserRecord {
  std::int64_t id = 0;
  std::string name;
  std::string passwordHash;
  std::string color;
  std::optional<std::string> firstName;
  std::optional<std::string> sureName;
  std::optional<std::string> email;
  std::optional<std::string> phone;
  std::optional<std::string> description;
};

/// A row of `positions`; an absent optional is a NULL column.
struct StoredPosition {
  std::int64_t id = 0;
  std::int64_t user = 0;
  std::string datetime;  ///< "yyyy-mm-dd hh:nn:ss", UTC; parseStoredDateTime() reads it
  double lat = 0.0;
  double lon = 0.0;
  std::optional<double> prec;
  std::optional<double> alt;
  std::optional<double> altPrec;
  std::optional<double> heading;
  std::optional<double> speed;
  std::optional<double> vertSpeed;
  std::optional<double> geoidHeight;
  std::optional<double> depth;
  std::optional<double> magVar;
  std::optional<std::int64_t> sat;
  std::string trackId;
  std::optional<std::string> comment;
};

/// One entry of a client's track list.
struct TrackSummary {
  std::string trackId;
  std::string datetime;  ///< as stored, "yyyy-mm-dd hh:nn:ss"
};

class Database {
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
  Database(std::filesystem::path fileName, std::filesystem::path dataDir, Options options);
  Database(std::filesystem::path fileName, std::filesystem::path dataDir)
      : Database(std::move(fileName), std::move(dataDir), Options{}) {}
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  [[nodiscard]] const std::filesystem::path& fileName() const { return m_fileName; }

  /// The 'version' of `variables`; 0 when the table or the row is missing or anything fails.
  [[nodiscard]] int schemaVersion();

  /// Adds a client and returns its id.
  std::int64_t addUser(const UserFields& user);
  /// Changes a client; an empty passwordHash keeps the stored password. A missing id is no error.
  void updateUser(std::int64_t id, const UserFields& user);
  /// Deletes a client, and with `deleteTracks` all its positions first.
  void deleteUser(std::int64_t id, bool deleteTracks);
  /// Deletes every position of a track.
  void deleteTrack(std::string_view trackId);

  /// The id of the client `name` when `password` is the one its stored hash was made from
  /// (checkPassword()), else -1. A stored MD5 digest is replaced by an argon2id hash of the
  /// password on the way; when that write fails the login still succeeds, and the next one tries
  /// again.
  [[nodiscard]] std::int64_t checkLogin(std::string_view name, std::string_view password);

  /// Stores one position (time, latitude and longitude always; every other measurement only when
  /// flagged, else NULL; an empty comment as NULL) in its own transaction; returns the new row id.
  std::int64_t storePosition(std::int64_t userId, const PositionInfo& position, std::string_view comment,
                             std::string_view trackId);

  // Reads for the feeds. Lists come in the order stated.
  /// One position by id.
  [[nodiscard]] std::optional<StoredPosition> position(std::int64_t id);
  /// The newest position of a client.
  [[nodiscard]] std::optional<StoredPosition> lastPositionOfUser(std::int64_t userId);
  /// The newest position of a track.
  [[nodiscard]] std::optional<StoredPosition> lastPositionOfTrack(std::string_view trackId);
  /// A track, oldest first.
  [[nodiscard]] std::vector<StoredPosition> track(std::string_view trackId);
  /// The track of a client's newest position, oldest first.
  [[nodiscard]] std::vector<StoredPosition> lastTrackOfUser(std::int64_t userId);
  /// A client's tracks, one entry per track id, ordered by the date-time SQLite picks per group.
  [[nodiscard]] std::vector<TrackSummary> tracksOfUser(std::int64_t userId);
  /// Every position of a client, in storage order.
  [[nodiscard]] std::vector<StoredPosition> positionsOfUser(std::int64_t userId);
  /// One client by id.
  [[nodiscard]] std::optional<UserRecord> user(std::int64_t id);
  /// All clients, in storage order.
  [[nodiscard]] std::vector<UserRecord> users();

 private:
  int schemaVersionLocked();
  void upgradeSchema();
  /// Runs `read` with a connection for reading: a pooled reader in WAL mode, else the writer's
  /// connection under its lock.
  template <typename Read>
  auto withReader(Read read);

  std::mutex m_mutex;  // guards m_db and m_insert
  std::filesystem::path m_fileName;
  std::filesystem::path m_dataDir;
  std::unique_ptr<SqliteDatabase> m_db;
  std::unique_ptr<SqliteStatement> m_insert;  // prepared on first use, kept for the object's life
  bool m_separateReaders = false;
  PasswordVerifier m_passwords;
  std::mutex m_readersMutex;  // guards m_idleReaders
  std::vector<std::unique_ptr<SqliteDatabase>> m_idleReaders;
};

}  // namespace geomuxer
