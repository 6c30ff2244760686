#include "server/sqlite_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "support/temp_dir.h"

namespace geomuxer {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string projectScript(int n) {
  std::ifstream in(std::string(GEOMUXER_SOURCE_DIR) + "/data/dbshema/geomuxer_" + std::to_string(n) + ".sql");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

PositionInfo samplePosition(int second) {
  PositionInfo p;
  p.time = *makeDateTime({2024, 5, 1, 10, 20, second, 0});
  p.x = 8.5f;
  p.y = 47.123f;
  p.fields = {defTime, defXY};
  return p;
}

class DatabaseTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  std::filesystem::path dataDir() const { return std::filesystem::path(GEOMUXER_SOURCE_DIR) / "data"; }
  std::filesystem::path dbFile() const { return dir / "geomuxer.db"; }
  SqliteStore open() { return SqliteStore(dbFile(), dataDir()); }
};

// ---- schema upgrade ------------------------------------------------------------------------

TEST_F(DatabaseTest, ProjectSchemaCreatesTablesAtTheNewestVersion) {
  SqliteStore db(dbFile(), dataDir());
  EXPECT_EQ(db.schemaVersion(), 2);
  EXPECT_TRUE(db.users().empty());
  // Opening again finds no further script and runs nothing.
  SqliteStore again(dir / "geomuxer.db", dataDir());
  EXPECT_EQ(again.schemaVersion(), 2);
}

TEST_F(DatabaseTest, UpgradeStopsAtFirstMissingScript) {
  const auto data = dir / "data";
  test::writeFile(data / "dbshema/geomuxer_1.sql", projectScript(1));
  test::writeFile(data / "dbshema/geomuxer_2.sql",
                  "   -- blanks, two dashes and a remark\n"
                  "\n"
                  "\tCREATE TABLE extra (x INTEGER); -- a statement followed by a remark\r\n"
                  "UPDATE variables SET value = '2' WHERE name = 'version'\n");
  test::writeFile(data / "dbshema/geomuxer_4.sql", "CREATE TABLE four (x)\n");
  SqliteStore db(dbFile(), data);
  EXPECT_EQ(db.schemaVersion(), 2);
  SqliteDatabase raw(dbFile().string());
  EXPECT_TRUE(raw.tableExists("extra"));
  EXPECT_FALSE(raw.tableExists("four"));
}

TEST_F(DatabaseTest, WithoutScriptsOpensButEveryReadFails) {
  SqliteStore db(dbFile(), dir / "nothing");
  EXPECT_EQ(db.schemaVersion(), 0);
  try {
    (void)db.position(1);
    FAIL() << "no error";
  } catch (const SqliteError& e) {
    EXPECT_STREQ(e.what(),
                 "Error executing SQL.\r\nError [1]: SQL error or missing database.\r\n"
                 "\"SELECT * FROM positions WHERE id = ? LIMIT 1\": no such table: positions");
  }
  EXPECT_THROW(db.storePosition(1, samplePosition(0), "", "t"), SqliteError);
}

TEST_F(DatabaseTest, HalfAppliedScriptRunsAgainFromItsFirstLine) {
  const auto data = dir / "data";
  test::writeFile(data / "dbshema/geomuxer_1.sql", projectScript(1));
  const std::string good = "CREATE TABLE IF NOT EXISTS tags (name TEXT)\n"
                           "CREATE INDEX IF NOT EXISTS tags_name ON tags (name)\n"
                           "UPDATE variables SET value = '2' WHERE name = 'version'\n";
  test::writeFile(data / "dbshema/geomuxer_2.sql",
                  "CREATE TABLE IF NOT EXISTS tags (name TEXT)\n"
                  "CREATE INDEX IF NOT EXISTS tags_name ON tagz (name)\n"
                  "UPDATE variables SET value = '2' WHERE name = 'version'\n");
  try {
    SqliteStore db(dbFile(), data);
    FAIL() << "opened";
  } catch (const SqliteError& e) {
    EXPECT_THAT(e.what(), HasSubstr("no such table: main.tagz"));
  }
  {
    SqliteDatabase raw(dbFile().string());
    EXPECT_TRUE(raw.tableExists("tags"));  // the statement before the failing one stays applied
  }
  test::writeFile(data / "dbshema/geomuxer_2.sql", good);
  SqliteStore db(dbFile(), data);
  EXPECT_EQ(db.schemaVersion(), 2);
}

TEST_F(DatabaseTest, VersionOneFileKeepsItsRowsAndGainsTheNewestPositionOfEachClient) {
  {
    // A file as the first schema left it, written without this program's store.
    SqliteDatabase raw(dbFile().string());
    std::istringstream script(projectScript(1));
    for (std::string line; std::getline(script, line);)
      if (!line.empty() && line.front() != '-') raw.execute(line);
    raw.execute("INSERT INTO users (name, password) VALUES ('old', '5EBE2294ECD0E0F08EAB7690D2A6EE69')");
    raw.execute("INSERT INTO positions (user, datetime, trackid, lat, lon) VALUES "
                "(1, '2024-05-01 10:00:00', 'A', 1, 2), (1, '2024-05-01 12:00:00', 'B', 1, 2), "
                "(1, '2024-05-01 12:00:00', 'C', 1, 2), (1, '2024-05-01 11:00:00', 'D', 1, 2), "
                "(2, '2023-01-01 00:00:00', 'E', 1, 2)");
  }
  SqliteStore db = open();
  EXPECT_EQ(db.schemaVersion(), 2);
  EXPECT_EQ(db.positionsOfUser(1).size(), 4u);
  EXPECT_EQ(db.checkLogin("old", "secret"), 1);
  // Equal times: the later row (higher id) is the newest.
  EXPECT_EQ(db.lastPositionOfUser(1)->trackId, "C");
  EXPECT_EQ(db.lastTrackOfUser(2).at(0).trackId, "E");
  db.storePosition(1, samplePosition(0), "", "older");  // 2024-05-01 10:20:00 changes nothing
  EXPECT_EQ(db.lastPositionOfUser(1)->trackId, "C");
  db.deleteTrack("C");
  EXPECT_EQ(db.lastPositionOfUser(1)->trackId, "B");
  db.deleteUser(2, true);
  EXPECT_FALSE(db.lastPositionOfUser(2));
}

TEST_F(DatabaseTest, MissingVersionRowRunsAllScriptsAgain) {
  { SqliteStore db = open(); }
  {
    SqliteDatabase raw(dbFile().string());
    raw.execute("DELETE FROM variables");
  }
  SqliteStore db = open();
  EXPECT_EQ(db.schemaVersion(), 2);
}

// ---- client accounts -----------------------------------------------------------------------

TEST(PasswordHash, NewHashesAreSaltedArgon2idAndOldDigestsStillMatch) {
  EXPECT_EQ(legacyPasswordDigest(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(legacyPasswordDigest("\xc3\xa4"), "8419b71c87a225a2c70b50486fbee545");  // UTF-8 bytes as they are

  const std::string a = hashPassword("secret");
  EXPECT_THAT(a, StartsWith("$argon2id$v=19$m=19456,t=2,p=1$"));
  EXPECT_NE(a, hashPassword("secret"));  // a fresh salt each time
  struct Row {
    const char* name;
    std::string stored;
    std::string password;
    PasswordCheck expected;
  };
  const Row rows[] = {
      {"argon2id, right", a, "secret", {true, false}},
      {"argon2id, other case", a, "Secret", {false, false}},
      {"argon2id, cut off", a.substr(0, a.size() - 1), "secret", {false, false}},
      {"MD5, right", legacyPasswordDigest("secret"), "secret", {true, true}},
      {"MD5 in upper case", "5EBE2294ECD0E0F08EAB7690D2A6EE69", "secret", {true, true}},
      {"MD5, wrong", legacyPasswordDigest("secret"), "secreT", {false, false}},
      {"MD5 of the empty text", legacyPasswordDigest(""), "", {true, true}},
      {"weaker argon2id costs", "$argon2id$v=19$m=8,t=1,p=1$c9vKqw9ZcVz4odfF6BbtMg$TzanoYBHCNcE4YpKZRrpE0PP33drYV7qdYoLkuWrh4Q",
       "pw", {true, true}},
      {"neither", "plain", "plain", {false, false}},
      {"empty", "", "", {false, false}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const PasswordCheck check = checkPassword(row.stored, row.password);
    EXPECT_EQ(check.matches, row.expected.matches);
    EXPECT_EQ(check.needsRehash, row.expected.needsRehash);
  }
}

TEST(PasswordHash, VerifierRemembersOnlySuccessAndAgreesWithTheCheck) {
  PasswordVerifier verifier;
  const std::string stored = hashPassword("pw");
  for (int round = 0; round < 3; ++round) {
    EXPECT_TRUE(verifier.check(stored, "pw").matches);
    EXPECT_FALSE(verifier.check(stored, "PW").matches);
    EXPECT_FALSE(verifier.check(hashPassword("other"), "pw").matches);  // same password, other account
  }
  const PasswordCheck legacy = verifier.check(legacyPasswordDigest("pw"), "pw");
  EXPECT_TRUE(legacy.matches);
  EXPECT_TRUE(legacy.needsRehash);
}

TEST_F(DatabaseTest, LoginChecksNameAndPassword) {
  SqliteStore db = open();
  const auto quoted = db.addUser({"a'b", hashPassword("secret"), "red", "", "", "", "", ""});
  const auto empty = db.addUser({"nopass", hashPassword(""), "", "", "", "", "", ""});
  EXPECT_EQ(db.checkLogin("a'b", "secret"), quoted);
  EXPECT_EQ(db.checkLogin("a'b", "Secret"), -1);
  EXPECT_EQ(db.checkLogin("A'B", "secret"), -1);  // names are exact
  EXPECT_EQ(db.checkLogin("nopass", ""), empty);
  EXPECT_EQ(db.checkLogin("nobody", ""), -1);
  EXPECT_EQ(db.checkLogin("' OR '1'='1", "secret"), -1);
}

TEST_F(DatabaseTest, OldDigestLogsInAndIsReplacedByArgon2id) {
  SqliteStore db = open();
  const auto id = db.addUser({"old", "5EBE2294ECD0E0F08EAB7690D2A6EE69", "", "", "", "", "", ""});
  EXPECT_EQ(db.checkLogin("old", "Secret"), -1);
  EXPECT_EQ(db.user(id)->passwordHash, "5EBE2294ECD0E0F08EAB7690D2A6EE69");  // a failed login changes nothing
  EXPECT_EQ(db.checkLogin("old", "secret"), id);
  const std::string rehashed = db.user(id)->passwordHash;
  EXPECT_THAT(rehashed, StartsWith("$argon2id$"));
  EXPECT_TRUE(checkPassword(rehashed, "secret").matches);
  EXPECT_EQ(db.checkLogin("old", "secret"), id);
  EXPECT_EQ(db.user(id)->passwordHash, rehashed);  // done once
}

TEST_F(DatabaseTest, OldDigestStillLogsInWhileAnotherWriterHoldsTheFile) {
  SqliteStore db = open();
  const auto id = db.addUser({"old", legacyPasswordDigest("pw"), "", "", "", "", "", ""});
  SqliteDatabase other(dbFile().string());
  other.execute("BEGIN EXCLUSIVE");
  EXPECT_EQ(db.checkLogin("old", "pw"), id);
  other.execute("ROLLBACK");
  EXPECT_EQ(db.user(id)->passwordHash, legacyPasswordDigest("pw"));  // replaced at a later login
  EXPECT_EQ(db.checkLogin("old", "pw"), id);
  EXPECT_THAT(db.user(id)->passwordHash, StartsWith("$argon2id$"));
}

TEST_F(DatabaseTest, UpdateKeepsOrReplacesPasswordAndStoresEmptyTextsAsNull) {
  SqliteStore db = open();
  const auto id = db.addUser({"ann", hashPassword("old"), "", "Ann", "", "ann@example.org", "", "note"});
  auto u = db.user(id);
  ASSERT_TRUE(u);
  EXPECT_EQ(u->color, "");
  EXPECT_EQ(u->firstName, "Ann");
  EXPECT_FALSE(u->sureName);
  EXPECT_EQ(u->email, "ann@example.org");
  EXPECT_FALSE(u->phone);
  EXPECT_EQ(u->description, "note");

  db.updateUser(id, {"ann", "", "blue", "", "Smith", "", "", ""});
  EXPECT_EQ(db.checkLogin("ann", "old"), id);
  u = db.user(id);
  EXPECT_EQ(u->color, "blue");
  EXPECT_FALSE(u->firstName);
  EXPECT_EQ(u->sureName, "Smith");

  db.updateUser(id, {"ann", hashPassword("new"), "blue", "", "", "", "", ""});
  EXPECT_EQ(db.checkLogin("ann", "old"), -1);
  EXPECT_EQ(db.checkLogin("ann", "new"), id);
  db.updateUser(999, {"ghost", "", "", "", "", "", "", ""});  // no such client: no error
  EXPECT_EQ(db.users().size(), 1u);
}

TEST_F(DatabaseTest, DuplicateClientNameIsRefusedByTheSchema) {
  SqliteStore db = open();
  db.addUser({"ann", legacyPasswordDigest("x"), "", "", "", "", "", ""});
  try {
    db.addUser({"ann", legacyPasswordDigest("y"), "", "", "", "", "", ""});
    FAIL() << "added";
  } catch (const SqliteError& e) {
    EXPECT_THAT(e.what(), StartsWith("Error executing SQL statement.\r\nError [19]: Abort due to constraint violation."));
  }
}

TEST_F(DatabaseTest, DeleteUserKeepsOrRemovesPositions) {
  SqliteStore db = open();
  const auto keep = db.addUser({"keep", "", "", "", "", "", "", ""});
  const auto drop = db.addUser({"drop", "", "", "", "", "", "", ""});
  db.storePosition(keep, samplePosition(1), "", "k");
  db.storePosition(drop, samplePosition(2), "", "d");
  db.deleteUser(keep, false);
  db.deleteUser(drop, true);
  EXPECT_FALSE(db.user(keep));
  EXPECT_EQ(db.positionsOfUser(keep).size(), 1u);
  EXPECT_TRUE(db.positionsOfUser(drop).empty());
  // Ids are not reused, so a new client does not inherit the kept positions.
  const auto next = db.addUser({"next", "", "", "", "", "", "", ""});
  EXPECT_GT(next, drop);
}

// ---- positions -----------------------------------------------------------------------------

TEST_F(DatabaseTest, StorePositionWritesNullForUnflaggedMembers) {
  SqliteStore db = open();
  PositionInfo p = samplePosition(30);
  p.altitude = 512.0f;  // not flagged: must not be stored
  p.satellites = 7;
  const auto id = db.storePosition(3, p, "", "");
  const auto row = db.position(id);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->user, 3);
  EXPECT_EQ(row->datetime, "2024-05-01 10:20:30");
  EXPECT_EQ(row->lat, static_cast<double>(47.123f));
  EXPECT_EQ(row->lon, 8.5);
  EXPECT_FALSE(row->prec || row->alt || row->altPrec || row->heading || row->speed || row->vertSpeed ||
               row->geoidHeight || row->depth || row->magVar || row->sat);
  EXPECT_EQ(row->trackId, "");
  EXPECT_FALSE(row->comment);
}

TEST_F(DatabaseTest, StorePositionWritesEveryFlaggedMember) {
  SqliteStore db = open();
  PositionInfo p = samplePosition(5);
  p.xyPrec = 3.5f;
  p.altitude = 512.25f;
  p.altitudePrec = 6.0f;
  p.heading = 270.5f;
  p.speed = 12.5f;
  p.vertSpeed = -0.5f;
  p.geoidHeight = 48.0f;
  p.depth = 1.5f;
  p.magVar = -2.25f;
  p.satellites = 9;
  p.fields = {defTime,     defXY,         defXYPrec, defAltitude, defAltitudePrec, defHeading,
              defSpeed,    defVertSpeed, defGeoidHeight, defDepth, defMagVar,       defSatellites};
  const auto id = db.storePosition(1, p, "first leg", "trk-1");
  const auto row = db.position(id);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->prec, 3.5);
  EXPECT_EQ(row->alt, 512.25);
  EXPECT_EQ(row->altPrec, 6.0);
  EXPECT_EQ(row->heading, 270.5);
  EXPECT_EQ(row->speed, 12.5);
  EXPECT_EQ(row->vertSpeed, -0.5);
  EXPECT_EQ(row->geoidHeight, 48.0);
  EXPECT_EQ(row->depth, 1.5);
  EXPECT_EQ(row->magVar, -2.25);
  EXPECT_EQ(row->sat, 9);
  EXPECT_EQ(row->trackId, "trk-1");
  EXPECT_EQ(row->comment, "first leg");
  EXPECT_FALSE(db.position(id + 1));
}

TEST_F(DatabaseTest, FeedReadsFollowTracksAndTime) {
  SqliteStore db = open();
  // Client 1 drives track A, then B; rows are stored out of time order on purpose.
  db.storePosition(1, samplePosition(20), "", "A");
  db.storePosition(1, samplePosition(10), "", "A");
  db.storePosition(1, samplePosition(40), "", "B");
  db.storePosition(1, samplePosition(30), "", "B");
  db.storePosition(2, samplePosition(50), "", "it's");
  db.deleteTrack("nothing");

  EXPECT_EQ(db.lastPositionOfUser(1)->datetime, "2024-05-01 10:20:40");
  EXPECT_FALSE(db.lastPositionOfUser(5));
  EXPECT_EQ(db.lastPositionOfTrack("A")->datetime, "2024-05-01 10:20:20");
  EXPECT_EQ(db.lastPositionOfTrack("it's")->user, 2);

  const auto a = db.track("A");
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(a[0].datetime, "2024-05-01 10:20:10");
  EXPECT_EQ(a[1].datetime, "2024-05-01 10:20:20");
  const auto last = db.lastTrackOfUser(1);
  ASSERT_EQ(last.size(), 2u);
  EXPECT_EQ(last[0].trackId, "B");
  EXPECT_EQ(last[0].datetime, "2024-05-01 10:20:30");
  EXPECT_TRUE(db.lastTrackOfUser(5).empty());

  const auto tracks = db.tracksOfUser(1);
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_EQ(tracks[0].trackId, "A");
  EXPECT_EQ(tracks[1].trackId, "B");
  EXPECT_EQ(db.positionsOfUser(1).size(), 4u);

  db.deleteTrack("it's");
  EXPECT_TRUE(db.positionsOfUser(2).empty());
  EXPECT_EQ(db.positionsOfUser(1).size(), 4u);
}

TEST_F(DatabaseTest, ThreadsShareOneDatabase) {
  SqliteStore db = open();
  const auto id = db.addUser({"u", hashPassword("p"), "", "", "", "", "", ""});
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      try {
        for (int i = 0; i < 100; ++i) {
          db.storePosition(id, samplePosition(i % 60), "", "track" + std::to_string(t));
          if (db.checkLogin("u", "p") != id) ++failures;
          (void)db.lastTrackOfUser(id);
        }
      } catch (const std::exception&) {
        ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(db.positionsOfUser(id).size(), 400u);
  EXPECT_EQ(db.tracksOfUser(id).size(), 4u);
}

// ---- damaged, foreign and busy files -------------------------------------------------------

TEST_F(DatabaseTest, FileThatIsNotADatabase) {
  test::writeFile(dbFile(), std::string(4096, 'x'));
  try {
    SqliteStore db = open();
    FAIL() << "opened";
  } catch (const SqliteError& e) {
    EXPECT_EQ(e.code(), 26);
    EXPECT_STREQ(e.what(),
                 "Error executing SQL.\r\nError [26]: File opened that is not a database file.\r\n"
                 "\"PRAGMA synchronous = ON;\": file is not a database");
  }
}

TEST_F(DatabaseTest, CorruptPagesGiveErrorsNotCrashes) {
  {
    SqliteStore db = open();
    for (int i = 0; i < 300; ++i) db.storePosition(1, samplePosition(i % 60), "some comment text", "t");
  }
  // Overwrite everything after the first page (the header stays intact).
  const auto size = std::filesystem::file_size(dbFile());
  ASSERT_GT(size, 8192u);
  {
    std::fstream f(dbFile(), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(4096);
    const std::string junk(static_cast<std::size_t>(size) - 4096, '\x5a');
    f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  try {
    SqliteStore db = open();
    (void)db.positionsOfUser(1);
    db.storePosition(1, samplePosition(1), "", "t");
    (void)db.users();
    FAIL() << "no error";
  } catch (const SqliteError& e) {
    EXPECT_EQ(e.code(), 11) << e.what();
    EXPECT_THAT(e.what(), HasSubstr("Error [11]: The database disk image is malformed."));
  }
}

// Runs `attempt` in a child process, as the unprivileged user "nobody" when this process is root
// (root ignores file permissions), and returns what it reports.
template <typename Attempt>
std::string reportFromChild(Attempt attempt) {
  int out[2];
  if (pipe(out) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    std::string report;
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
      report = "cannot drop privileges";
    else
      report = attempt();
    (void)!write(out[1], report.data(), report.size());
    _exit(0);
  }
  close(out[1]);
  std::string report;
  char buffer[512];
  ssize_t n = 0;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) report.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) report += " [child crashed]";
  return report;
}

TEST_F(DatabaseTest, ReadOnlyFileGivesAnErrorNotACrash) {
  {
    SqliteStore db = open();
    db.storePosition(1, samplePosition(1), "", "t");
  }
  namespace fs = std::filesystem;
  const auto readOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  fs::permissions(dbFile(), readOnly);
  fs::permissions(dir.path(), readOnly | fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
  const std::string report = reportFromChild([&]() -> std::string {
    try {
      SqliteStore db = open();
      db.storePosition(1, samplePosition(2), "", "t");
      return "stored";
    } catch (const SqliteError& e) {
      return e.what();
    }
  });
  fs::permissions(dir.path(), fs::perms::owner_all);
  EXPECT_THAT(report, ::testing::MatchesRegex(".*Error \\[(8|14)\\]: (Attempt to write a readonly database|"
                                              "Unable to open the database file)\\..*"));
}

// A child process that holds a write transaction until told to end.
class LockingChild {
 public:
  explicit LockingChild(const std::filesystem::path& file) {
    int ready[2];
    int release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) throw std::runtime_error("pipe");
    m_pid = fork();
    if (m_pid == 0) {
      close(ready[0]);
      close(release[1]);
      char ok = 'n';
      try {
        SqliteDatabase db(file.string());
        db.execute("BEGIN EXCLUSIVE");
        db.execute("INSERT INTO variables (name, value) VALUES ('lock', 'held')");
        ok = 'y';
        if (write(ready[1], &ok, 1) != 1) _exit(2);
        char c;
        (void)!read(release[0], &c, 1);  // the connection and its lock live until released
        _exit(0);
      } catch (...) {
      }
      (void)!write(ready[1], &ok, 1);
      _exit(1);
    }
    close(ready[1]);
    close(release[0]);
    m_release = release[1];
    char ok = 'n';
    if (read(ready[0], &ok, 1) != 1 || ok != 'y') m_locked = false;
    close(ready[0]);
  }
  ~LockingChild() {
    close(m_release);
    int status = 0;
    waitpid(m_pid, &status, 0);
  }
  [[nodiscard]] bool locked() const { return m_locked; }

 private:
  pid_t m_pid = -1;
  int m_release = -1;
  bool m_locked = true;
};

TEST_F(DatabaseTest, DatabaseLockedByAnotherProcessFailsAtOnce) {
  {
    SqliteStore db = open();
    db.storePosition(1, samplePosition(1), "", "t");
  }
  // The child starts before this process opens the file: a connection must not cross a fork.
  LockingChild child(dbFile());
  ASSERT_TRUE(child.locked());
  SqliteStore db = open();
  try {
    db.storePosition(1, samplePosition(2), "", "t");
    FAIL() << "stored";
  } catch (const SqliteError& e) {
    EXPECT_EQ(e.code(), 5);
    EXPECT_THAT(e.what(), StartsWith("Error executing prepared SQL statement.\r\nError [5]: The database file is locked."));
  }
  // Readers are not blocked by the writer, and the statement works again afterwards.
  EXPECT_EQ(db.positionsOfUser(1).size(), 1u);
}

TEST_F(DatabaseTest, NoAcknowledgedRowIsLostWhenTheWriterIsKilled) {
  { SqliteStore db = open(); }
  int acks[2];
  ASSERT_EQ(pipe(acks), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(acks[0]);
    try {
      SqliteStore db = open();
      for (int i = 0;; ++i) {
        const std::int64_t id = db.storePosition(1, samplePosition(i % 60), "", "kill");
        if (write(acks[1], &id, sizeof id) != sizeof id) break;
      }
    } catch (...) {
    }
    _exit(1);
  }
  close(acks[1]);
  std::vector<std::int64_t> acknowledged;
  std::int64_t id = 0;
  while (acknowledged.size() < 300 && read(acks[0], &id, sizeof id) == sizeof id) acknowledged.push_back(id);
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  while (read(acks[0], &id, sizeof id) == sizeof id) acknowledged.push_back(id);
  close(acks[0]);
  ASSERT_GE(acknowledged.size(), 300u);

  SqliteStore db = open();
  std::set<std::int64_t> stored;
  for (const auto& row : db.positionsOfUser(1)) stored.insert(row.id);
  for (const auto ack : acknowledged) EXPECT_TRUE(stored.count(ack)) << "row " << ack << " lost";
}

}  // namespace
}  // namespace geomuxer
