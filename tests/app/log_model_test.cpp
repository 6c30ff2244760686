#include <gtest/gtest.h>

#include <QSignalSpy>

#include <limits>

#include "app/log_model.h"
#include "app_test_support.h"

namespace geomuxer {
namespace {

void addNumbered(LogModel& log, int from, int to) {
  for (int i = from; i <= to; ++i) log.addLine(QString::number(i));
}

TEST(LogModel, CutsBackFiveBelowTheLimitOnceFivePast) {
  test::qtApp();
  LogModel log;
  log.setMaxLines(10);
  addNumbered(log, 1, 15);
  EXPECT_EQ(log.count(), 15);
  log.addLine(QStringLiteral("16"));
  // Cut to 4, then the new line: the newest five survive.
  EXPECT_EQ(log.lines(), (QStringList{"12", "13", "14", "15", "16"}));

  LogModel hundred;
  addNumbered(hundred, 1, 105);
  hundred.addLine(QStringLiteral("106"));
  EXPECT_EQ(hundred.count(), 95);
  EXPECT_EQ(hundred.line(0), "12");
}

TEST(LogModel, LimitZeroOrBelowKeepsEverything) {
  test::qtApp();
  for (int limit : {0, -3}) {
    LogModel log;
    log.setMaxLines(limit);
    addNumbered(log, 1, 500);
    EXPECT_EQ(log.count(), 500) << "limit " << limit;
  }
}

TEST(LogModel, HugeLimitNeverTrims) {
  test::qtApp();
  LogModel log;
  log.setMaxLines(std::numeric_limits<int>::max());
  addNumbered(log, 1, 20);
  EXPECT_EQ(log.count(), 20);
  EXPECT_EQ(log.line(0), "1");
}

TEST(LogModel, TinyLimitEmptiesThePaneBeforeAdding) {
  test::qtApp();
  LogModel log;
  log.setMaxLines(2);
  addNumbered(log, 1, 7);
  log.addLine(QStringLiteral("8"));
  EXPECT_EQ(log.lines(), QStringList{"8"});
}

TEST(LogModel, LineBreaksBecomeTwoBlanksAndListenersSeeTheShownLine) {
  test::qtApp();
  LogModel log;
  QSignalSpy added(&log, &LogModel::lineAdded);
  log.addLine(QStringLiteral("first\r\nsecond\r\nthird"));
  ASSERT_EQ(log.count(), 1);
  EXPECT_EQ(log.line(0), "first  second  third");
  ASSERT_EQ(added.count(), 1);
  EXPECT_EQ(added.at(0).at(0).toString(), "first  second  third");
}

TEST(LogModel, CategoriesFilterOnlyCategorisedLines) {
  test::qtApp();
  LogModel log;
  log.setCategories(lcTracker | lcHttp);
  log.addLine(lcTracker, QStringLiteral("tracker"));
  log.addLine(lcTrackerPos, QStringLiteral("position"));
  log.addLine(lcHttp, QStringLiteral("http"));
  log.addLine(lcTcp, QStringLiteral("tcp"));
  log.setCategories(0);
  log.addLine(QStringLiteral("ERROR: always"));
  log.addLine(lcTracker, QStringLiteral("hidden"));
  EXPECT_EQ(log.lines(), (QStringList{"tracker", "http", "ERROR: always"}));
}

TEST(LogModel, ModelRowsFollowTheLines) {
  test::qtApp();
  LogModel log;
  log.setMaxLines(10);
  QSignalSpy removed(&log, &QAbstractItemModel::rowsRemoved);
  addNumbered(log, 1, 16);
  ASSERT_EQ(removed.count(), 1);
  EXPECT_EQ(removed.at(0).at(1).toInt(), 0);
  EXPECT_EQ(removed.at(0).at(2).toInt(), 10);  // rows 0..10: eleven lines went
  EXPECT_EQ(log.rowCount(), 5);
  EXPECT_EQ(log.data(log.index(4)).toString(), "16");
  log.clear();
  EXPECT_EQ(log.rowCount(), 0);
}

TEST(LogSeverity, ErrorAndWarningPrefixes) {
  struct Row {
    const char* line;
    LogSeverity severity;
  };
  const Row rows[] = {
      {"ERROR: File \"x\" does not exist", LogSeverity::error},
      {"TCP/IP ERROR: Address in use", LogSeverity::error},
      {"SQL ERROR: disk I/O error", LogSeverity::error},
      {"HTTP ERROR: Connection refused", LogSeverity::error},
      {"WARNING: settings read-only", LogSeverity::warning},
      {"TRACKER: Simulator started", LogSeverity::info},
      {"TCP/IP: Client 127.0.0.1 connected", LogSeverity::info},
      {"TRACKER: ERROR: is the text, not the prefix", LogSeverity::info},
      {"NOERROR: one word", LogSeverity::info},
      {"ERROR without a colon", LogSeverity::info},
      {"", LogSeverity::info},
  };
  for (const Row& row : rows) EXPECT_EQ(severityOf(QString::fromUtf8(row.line)), row.severity) << row.line;
}

}  // namespace
}  // namespace geomuxer
