#include "server/database.h"

#include "core/date_time.h"
#include "server/postgres_store.h"
#include "server/sqlite.h"
#include "server/sqlite_store.h"

namespace geomuxer {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

}  // namespace

DateTime storedTime(const StoredPosition& position) {
  return fromUnixMillis(toUnixMillis(parseStoredDateTime(position.datetime)) + position.msec);
}

bool isPostgresLocation(std::string_view location) {
  return startsWith(location, "postgresql://") || startsWith(location, "postgres://");
}

std::string redactedLocation(std::string_view location) {
  if (!isPostgresLocation(location)) return std::string(location);
  // scheme://[user[:password]@]host...: the authority ends at the first '/', '?' or '#'.
  const auto authorityStart = location.find("://") + 3;
  const auto authorityEnd = location.find_first_of("/?#", authorityStart);
  const std::string_view authority =
      location.substr(authorityStart, authorityEnd == std::string_view::npos ? std::string_view::npos
                                                                             : authorityEnd - authorityStart);
  std::string out(location.substr(0, authorityStart));
  const auto at = authority.rfind('@');
  if (at != std::string_view::npos) {
    const std::string_view userInfo = authority.substr(0, at);
    const auto colon = userInfo.find(':');
    out += userInfo.substr(0, colon);
    if (colon != std::string_view::npos) out += ":***";
    out += authority.substr(at);
  } else {
    out += authority;
  }
  std::string rest(authorityEnd == std::string_view::npos ? std::string_view() : location.substr(authorityEnd));
  // A password may also come as a query parameter.
  for (std::size_t pos = rest.find("password="); pos != std::string::npos; pos = rest.find("password=", pos + 1)) {
    if (pos > 0 && rest[pos - 1] != '?' && rest[pos - 1] != '&') continue;
    const auto valueStart = pos + 9;
    const auto valueEnd = rest.find_first_of("&#", valueStart);
    rest.replace(valueStart, valueEnd == std::string::npos ? std::string::npos : valueEnd - valueStart, "***");
  }
  return out + rest;
}

std::unique_ptr<Database> openDatabase(std::string_view location, const std::filesystem::path& dataDir,
                                       const StoreOptions& options) {
  if (isPostgresLocation(location)) return std::make_unique<PostgresStore>(std::string(location), dataDir, options);
  return std::make_unique<SqliteStore>(std::filesystem::path(std::string(location)), dataDir);
}

CopyCount copyDatabase(Database& from, Database& to, const std::function<void(std::int64_t)>& progress,
                       std::size_t batch) {
  if (!to.empty()) {
    throw StoreError("The target database " + to.description() +
                     " already holds clients or positions; copy only into an empty one");
  }
  CopyCount count;
  const std::vector<UserRecord> users = from.users();
  to.importUsers(users);
  count.users = static_cast<std::int64_t>(users.size());
  std::int64_t after = 0;
  for (;;) {
    const std::vector<StoredPosition> rows = from.positionsAfter(after, batch);
    if (rows.empty()) break;
    to.importPositions(rows);
    after = rows.back().id;
    count.positions += static_cast<std::int64_t>(rows.size());
    if (progress) progress(count.positions);
  }
  to.finishImport();
  return count;
}

}  // namespace geomuxer
