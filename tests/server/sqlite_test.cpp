#include "server/sqlite.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/number_text.h"
#include "support/temp_dir.h"

namespace geomuxer {
namespace {

using ::testing::HasSubstr;

class SqliteTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  SqliteDatabase db{(dir / "t.db").string()};
};

TEST(SqliteCodeText, KnownAndUnknownCodes) {
  EXPECT_EQ(sqliteCodeText(0), "No error");
  EXPECT_EQ(sqliteCodeText(5), "The database file is locked");
  EXPECT_EQ(sqliteCodeText(26), "File opened that is not a database file");
  EXPECT_EQ(sqliteCodeText(101), "sqlite3_step() has finished executing");
  EXPECT_EQ(sqliteCodeText(27), "Unknown SQLite Error Code 27");
  EXPECT_EQ(sqliteCodeText(-1), "Unknown SQLite Error Code -1");
}

TEST_F(SqliteTest, ErrorMessageNamesOperationCodeStatementAndSqliteText) {
  try {
    db.execute("SELECT * FROM missing");
    FAIL() << "no error";
  } catch (const SqliteError& e) {
    EXPECT_EQ(e.code(), 1);
    EXPECT_STREQ(e.what(),
                 "Error executing SQL.\r\nError [1]: SQL error or missing database.\r\n"
                 "\"SELECT * FROM missing\": no such table: missing");
  }
  db.execute("CREATE TABLE u (v TEXT NOT NULL)");
  try {
    db.execute("INSERT INTO u (v) VALUES (?)", {nullptr});
    FAIL() << "no error";
  } catch (const SqliteError& e) {
    EXPECT_EQ(e.code(), 19);
    EXPECT_THAT(e.what(), HasSubstr("Error executing SQL statement.\r\nError [19]: Abort due to constraint violation."));
  }
}

TEST_F(SqliteTest, BindOutOfRangeReportsBindData) {
  SqliteStatement stmt(db, "SELECT ?");
  try {
    stmt.bind(2, 7);
    FAIL() << "no error";
  } catch (const SqliteError& e) {
    EXPECT_STREQ(e.what(),
                 "Could not bind int64.\r\nError [25]: 2nd parameter to sqlite3_bind out of range.\r\n"
                 "\"BindData\": column index out of range");
  }
}

TEST_F(SqliteTest, EmptyStatementCannotBePrepared) {
  EXPECT_THROW(SqliteStatement(db, "  -- nothing"), SqliteError);
  try {
    db.execute("");
  } catch (const SqliteError& e) {
    EXPECT_STREQ(e.what(), "Could not prepare SQL statement");
  }
}

TEST_F(SqliteTest, TableConvertsByDeclaredType) {
  db.execute(
      "CREATE TABLE t (i INTEGER, b BOOLEAN, r REAL, n NUMERIC, f FLOAT, bl BLOB, tx TEXT, vc VARCHAR(5), "
      "i2 INT)");
  db.execute("INSERT INTO t VALUES ('12', 1, '2.5', 3, 4, x'00ff', 42, 'abc', 5)");
  db.execute("INSERT INTO t VALUES (NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL)");

  SqliteTable t(db, "SELECT *, 1 + 1, 0.5 * 3, 'x' || 'y' FROM t ORDER BY rowid");
  ASSERT_EQ(t.rowCount(), 2u);
  EXPECT_EQ(t.field(0), SqlValue(std::int64_t{12}));  // text stored in an INTEGER column
  EXPECT_EQ(t.field(1), SqlValue(std::int64_t{1}));
  EXPECT_EQ(t.field(2), SqlValue(2.5));
  EXPECT_EQ(t.field(3), SqlValue(3.0));
  EXPECT_EQ(t.field(4), SqlValue(4.0));
  EXPECT_EQ(t.field(5), SqlValue(SqlBlob{std::string("\0\xff", 2)}));
  EXPECT_EQ(t.field(6), SqlValue(std::string("42")));
  EXPECT_EQ(t.field(7), SqlValue(std::string("abc")));
  // Only the listed type names convert: "INT" has integer affinity but reads as text.
  EXPECT_EQ(t.field(8), SqlValue(std::string("5")));
  // Expressions keep the storage class of their value.
  EXPECT_EQ(t.field(9), SqlValue(std::int64_t{2}));
  EXPECT_EQ(t.field(10), SqlValue(1.5));
  EXPECT_EQ(t.field(11), SqlValue(std::string("xy")));

  EXPECT_EQ(t.fieldAsString(2), "2.5");
  EXPECT_EQ(t.fieldAsDouble(0), 12.0);
  try {
    (void)t.fieldAsInteger(7);
    FAIL() << "no error";
  } catch (const SqliteError& e) {
    EXPECT_STREQ(e.what(), "Not an integer or numeric field");
  }

  t.next();
  for (int c = 0; c < 9; ++c) EXPECT_TRUE(t.fieldIsNull(c)) << c;
  EXPECT_EQ(t.fieldAsString(6), "");
  EXPECT_EQ(t.fieldAsInteger(0), 0);
  EXPECT_EQ(t.fieldAsDateTime(6), 0.0);

  t.next();
  EXPECT_TRUE(t.eof());
  try {
    (void)t.fieldAsString(0);
    FAIL() << "no error";
  } catch (const SqliteError& e) {
    EXPECT_STREQ(e.what(), "Table is at End of File");
  }
}

TEST_F(SqliteTest, CursorStepsThroughRowsAndStopsAtEnd) {
  db.execute("CREATE TABLE p (d TEXT, v REAL)");
  db.execute("INSERT INTO p VALUES ('2024-05-01 10:20:30', 1.25), (NULL, NULL), ('2024-05-01', 3)");

  SqliteCursor c(db, "SELECT d, v FROM p WHERE v IS NULL OR v > ? ORDER BY rowid", {1.0});
  ASSERT_FALSE(c.eof());
  EXPECT_EQ(formatIsoTime(c.fieldAsDateTime(0)), "2024-05-01T10:20:30Z");
  EXPECT_EQ(c.fieldAsDouble(1), 1.25);
  c.next();
  EXPECT_TRUE(c.fieldIsNull(0));
  EXPECT_EQ(c.fieldAsString(0), "");
  EXPECT_EQ(c.fieldAsDateTime(0), 0.0);
  c.next();
  EXPECT_EQ(formatIsoTime(c.fieldAsDateTime(0)), "2024-05-01T00:00:00Z");
  EXPECT_EQ(c.fieldAsInteger(1), 3);
  c.next();
  EXPECT_TRUE(c.eof());
  EXPECT_THROW((void)c.fieldAsDouble(1), SqliteError);
  c.next();  // stays at the end
  EXPECT_TRUE(c.eof());
}

TEST_F(SqliteTest, NamedArgumentsBindOnlyWhatTheStatementNames) {
  db.execute("CREATE TABLE n (a INTEGER, b TEXT)");
  const SqlNamedArg args[] = {{":a", 5}, {":b", "five"}, {":unused", 1.5}};
  db.execute("INSERT INTO n (a, b) VALUES (:a, :b)", {}, args);
  db.execute("INSERT INTO n (a) VALUES (:a)", {}, args);
  EXPECT_EQ(db.lastInsertRowId(), 2);
  SqliteTable t(db, "SELECT a, b FROM n ORDER BY rowid");
  EXPECT_EQ(t.fieldAsInteger(0), 5);
  EXPECT_EQ(t.fieldAsString(1), "five");
  t.next();
  EXPECT_TRUE(t.fieldIsNull(1));
}

TEST_F(SqliteTest, JournalModeAndTableLookup) {
  db.setJournalMode(JournalMode::Wal);
  SqliteTable mode(db, "PRAGMA journal_mode");
  EXPECT_EQ(mode.fieldAsString(0), "wal");
  EXPECT_FALSE(db.tableExists("Things"));
  db.execute("CREATE TABLE things (x)");
  EXPECT_TRUE(db.tableExists("Things"));
  EXPECT_FALSE(db.tableExists("thing'); DROP TABLE things; --"));
}

TEST(StoredDateTime, RoundTripAndRejects) {
  const DateTime t = *makeDateTime({2024, 2, 29, 23, 59, 58, 0});
  EXPECT_EQ(formatStoredDateTime(t), "2024-02-29 23:59:58");
  EXPECT_EQ(parseStoredDateTime("2024-02-29 23:59:58"), t);
  EXPECT_EQ(formatStoredDateTime(0.0), "1899-12-30 00:00:00");
  for (const char* bad : {"", "2024-05-01T10:20:30", "2024-13-01 00:00:00", "2024-05-01 10", "x-y-z",
                          "2024-05-01 -1:00:00"})
    EXPECT_THROW((void)parseStoredDateTime(bad), ConversionError) << bad;
}

}  // namespace
}  // namespace geomuxer
