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
  EXPECT_EQ(db.schemaVersion(), 3);
  EXPECT_TRUE(db.users().empty());
  // Opening again finds no further script and runs nothing.
  SqliteStore again(dir / "geomuxer.db", dataDir());
  EXPECT_EQ(again.schemaVersion(), 3);
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
  EXPECT_EQ(db.schemaVersion(), 3);
  EXPECT_EQ(db.positionsOfUser(1).size(), 4u);
  EXPECT_EQ(db.checkLogin("old", "secret"), 1);
  // Equal times: the later row (higher id) is the newest.
  EXPECT_EQ(db.lastPositionOfUser(1)->trackId, "C");
  EXPECT_EQ(db.lastTrackOfUser(2).at(0).trackId, "E");
  db.storePosition(1, samplePosition(0), "", "older");  // 2024-05-01 10:20:00 changes nothing
  EXPECT_EQ(db.lastPositionOfUser(1)->trackId, "C");
  EXPECT_EQ(db.lastPositionOfUser(1)->msec, 0);
  // Half a second after the newest old row is newer; readers of the old columns see the whole second.
  PositionInfo later = samplePosition(0);
  later.time = *makeDateTime({2024, 5, 1, 12, 0, 0, 500});
  const auto laterId = db.storePosition(1, later, "", "later");
  EXPECT_EQ(db.lastPositionOfUser(1)->trackId, "later");
  {
    SqliteDatabase raw(dbFile().string());
    SqliteTable row(raw, "SELECT * FROM positions WHERE id = ?", {static_cast<long long>(laterId)});
    EXPECT_EQ(row.fieldAsString(2), "2024-05-01 12:00:00");
    EXPECT_EQ(row.columnNames().back(), "msec");
    EXPECT_EQ(row.fieldAsInteger(17), 500);
  }
  db.deleteTrack("later");
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
  EXPECT_EQ(db.schemaVersion(), 3);
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

// ---- positions -----------------------------------------------------------------------------

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
