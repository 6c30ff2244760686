#pragma once
// The position server's store: client accounts, the positions they post, and the newest position
// of each client. Two implementations share these semantics: SqliteStore (one file, the default)
// and PostgresStore (a database server that several Geomuxer servers may share).
//
// Thread rules: every member may be called from any thread at any time. A read sees every write
// that returned before it started. Results are plain values, so nothing refers into the store
// once a call has returned.
//
// Errors: every member except schemaVersion() throws StoreError (SqliteError, PostgresError) when
// the store fails: a missing table, a locked or damaged file, a lost connection, a constraint, a
// statement that ran too long. The message is meant for the user and never holds a password.

#include <cstdint>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/position_info.h"
#include "server/password_hash.h"
#include "server/store_error.h"

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
  std::string datetime;  ///< "yyyy-mm-dd hh:nn:ss", UTC, whole seconds; parseStoredDateTime() reads it
  int msec = 0;          ///< the milliseconds after `datetime` (0 for rows stored without them)
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

/// The time of a stored position: `datetime` and its milliseconds. Throws ConversionError for a
/// `datetime` that is no stored date-time.
[[nodiscard]] DateTime storedTime(const StoredPosition& position);

/// One entry of a client's track list.
struct TrackSummary {
  std::string trackId;
  std::string datetime;  ///< the track's first date-time, "yyyy-mm-dd hh:nn:ss"
};

/// How a store talks to a database server; SQLite ignores these.
struct StoreOptions {
  /// Connections one server keeps open; requests beyond that wait for a free one.
  std::size_t poolSize = 4;
  /// How long a request waits for a free connection, and how long connecting may take.
  std::chrono::milliseconds acquireTimeout{5000};
  /// A statement running longer is cancelled by the database server and fails.
  std::chrono::milliseconds statementTimeout{10000};
};


class Database {
 public:
  virtual ~Database() = default;

  /// What the log says about the store: a file name, or database, host, port and user (never a
  /// password).
  [[nodiscard]] virtual std::string description() const = 0;

  /// The schema version the migration scripts brought the store to; 0 when it cannot be read.
  [[nodiscard]] virtual int schemaVersion() = 0;

  /// Adds a client and returns its id.
  virtual std::int64_t addUser(const UserFields& user) = 0;
  /// Changes a client; an empty passwordHash keeps the stored password. A missing id is no error.
  virtual void updateUser(std::int64_t id, const UserFields& user) = 0;
  /// Deletes a client, and with `deleteTracks` all its positions first.
  virtual void deleteUser(std::int64_t id, bool deleteTracks) = 0;
  /// Deletes every position of a track; a client whose newest position it held falls back to
  /// its newest remaining one.
  virtual void deleteTrack(std::string_view trackId) = 0;

  /// The id of the client `name` when `password` is the one its stored hash was made from
  /// (checkPassword()), else -1. A stored MD5 digest is replaced by an argon2id hash of the
  /// password on the way; when that write fails the login still succeeds, and the next one tries
  /// again.
  [[nodiscard]] virtual std::int64_t checkLogin(std::string_view name, std::string_view password) = 0;

  /// Stores one position (time, latitude and longitude always; every other measurement only when
  /// flagged, else NULL; an empty comment as NULL) and, in the same transaction, makes it the
  /// client's newest position unless a later one is stored already. The newest position is the
  /// one with the latest time (to the millisecond), on equal times the one with the higher id.
  /// Returns the new row id.
  virtual std::int64_t storePosition(std::int64_t userId, const PositionInfo& position, std::string_view comment,
                                     std::string_view trackId) = 0;

  // Reads for the feeds. Lists come in the order stated (times to the millisecond); equal times
  // keep the order of storing.
  /// One position by id.
  [[nodiscard]] virtual std::optional<StoredPosition> position(std::int64_t id) = 0;
  /// The newest position of a client.
  [[nodiscard]] virtual std::optional<StoredPosition> lastPositionOfUser(std::int64_t userId) = 0;
  /// The newest position of a track.
  [[nodiscard]] virtual std::optional<StoredPosition> lastPositionOfTrack(std::string_view trackId) = 0;
  /// A track, oldest first.
  [[nodiscard]] virtual std::vector<StoredPosition> track(std::string_view trackId) = 0;
  /// The track of a client's newest position (its current track), oldest first.
  [[nodiscard]] virtual std::vector<StoredPosition> lastTrackOfUser(std::int64_t userId) = 0;
  /// A client's tracks, one entry per track id with its first date-time, ordered by that.
  [[nodiscard]] virtual std::vector<TrackSummary> tracksOfUser(std::int64_t userId) = 0;
  /// Every position of a client, oldest first.
  [[nodiscard]] virtual std::vector<StoredPosition> positionsOfUser(std::int64_t userId) = 0;
  /// One client by id.
  [[nodiscard]] virtual std::optional<UserRecord> user(std::int64_t id) = 0;
  /// All clients, by id.
  [[nodiscard]] virtual std::vector<UserRecord> users() = 0;

  // Copying between stores (copyDatabase()).
  /// Up to `limit` positions with an id above `afterId`, by id.
  [[nodiscard]] virtual std::vector<StoredPosition> positionsAfter(std::int64_t afterId, std::size_t limit) = 0;
  /// Whether the store holds no client and no position.
  [[nodiscard]] virtual bool empty() = 0;
  /// Stores the rows with their ids, all of them or none.
  virtual void importUsers(const std::vector<UserRecord>& users) = 0;
  virtual void importPositions(const std::vector<StoredPosition>& positions) = 0;
  /// After the imports: rebuilds the newest position of every client and moves the id counters
  /// past the imported ids.
  virtual void finishImport() = 0;
};

/// Whether `location` names a PostgreSQL database ("postgresql://..." or "postgres://...")
/// rather than an SQLite file.
[[nodiscard]] bool isPostgresLocation(std::string_view location);

/// `location` fit for a log line: a connection URI with its password replaced by "***".
[[nodiscard]] std::string redactedLocation(std::string_view location);

/// Opens the store `location` names (an SQLite file path or a PostgreSQL connection URI) and
/// brings its schema up to date from the scripts under `<dataDir>/dbshema/`. Throws StoreError.
[[nodiscard]] std::unique_ptr<Database> openDatabase(std::string_view location, const std::filesystem::path& dataDir,
                                                     const StoreOptions& options = {});

struct CopyCount {
  std::int64_t users = 0;
  std::int64_t positions = 0;
};

/// Copies every client and position of `from` into the empty store `to`, ids kept, in batches of
/// `batch` positions; `progress` (may be empty) hears the running count after each batch. Throws
/// StoreError, and refuses a `to` that holds data already.
CopyCount copyDatabase(Database& from, Database& to, const std::function<void(std::int64_t)>& progress = {},
                       std::size_t batch = 10000);

}  // namespace geomuxer
