#include "core/date_time.h"

#include <gtest/gtest.h>

#include <cmath>

#include "core/number_text.h"

namespace geomuxer {
namespace {

DateTime at(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return makeDateTime({y, mo, d, h, mi, s, ms}).value();
}

TEST(DateTime, DayNumbersOfKnownDates) {
  EXPECT_EQ(makeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(makeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(makeDate(1970, 1, 1), 25569.0);
  EXPECT_EQ(makeDate(2000, 2, 29), 36585.0);
  EXPECT_EQ(makeTime(12, 0, 0, 0), 0.5);
}

TEST(DateTime, RejectsDaysAndTimesThatDoNotExist) {
  EXPECT_FALSE(makeDate(2001, 2, 29));
  EXPECT_FALSE(makeDate(2008, 13, 1));
  EXPECT_FALSE(makeDate(2008, 4, 31));
  EXPECT_FALSE(makeDate(0, 1, 1));
  EXPECT_FALSE(makeTime(24, 0, 0, 0));
  EXPECT_FALSE(makeTime(0, 60, 0, 0));
  EXPECT_FALSE(makeTime(0, 0, 60, 0));
  EXPECT_FALSE(makeTime(0, 0, 0, 1000));
}

TEST(DateTime, SplitRoundsToMillisecondsAndRoundTrips) {
  const DateTimeParts p{2008, 5, 17, 23, 59, 59, 999};
  EXPECT_EQ(splitDateTime(makeDateTime(p).value()), p);
  // A hair below the next second reads as that second.
  const DateTime almost = at(2008, 5, 17, 10, 0, 0) - 0.0001 / 86400.0;
  EXPECT_EQ(splitDateTime(almost), (DateTimeParts{2008, 5, 17, 10, 0, 0, 0}));
  EXPECT_EQ(splitDateTime(0.0), (DateTimeParts{1899, 12, 30, 0, 0, 0, 0}));
}

TEST(DateTime, UnixMillisRoundTrip) {
  EXPECT_EQ(toUnixMillis(at(1970, 1, 1)), 0);
  EXPECT_EQ(toUnixMillis(at(2008, 5, 17, 10, 0, 0, 750)), 1211018400750);
  EXPECT_EQ(fromUnixMillis(1211018400750), at(2008, 5, 17, 10, 0, 0, 750));
  EXPECT_EQ(splitDateTime(fromUnixMillis(-1)), (DateTimeParts{1969, 12, 31, 23, 59, 59, 999}));
}

TEST(DateTime, NowIsRecent) {
  const DateTime now = nowUtc();
  EXPECT_GT(now, at(2024, 1, 1));
  EXPECT_LT(now, at(2200, 1, 1));
}

TEST(IsoTime, FormatDropsMilliseconds) {
  EXPECT_EQ(formatIsoTime(at(2008, 5, 17, 10, 0, 0, 750)), "2008-05-17T10:00:00Z");
  EXPECT_EQ(formatIsoTime(at(7, 1, 2, 3, 4, 5)), "0007-01-02T03:04:05Z");
  EXPECT_EQ(formatIsoTime(0.0), "1899-12-30T00:00:00Z");
  EXPECT_EQ(formatIsoTimeMs(at(2008, 5, 17, 10, 0, 0, 750)), "2008-05-17T10:00:00.750Z");
  EXPECT_EQ(formatIsoTimeMs(at(2008, 5, 17, 10, 0, 0, 5)), "2008-05-17T10:00:00.005Z");
  EXPECT_EQ(formatIsoTimeMs(at(2008, 5, 17, 10, 0, 0)), "2008-05-17T10:00:00Z") << "whole seconds keep their form";
}

TEST(IsoTime, ParsesZonesToUtc) {
  EXPECT_EQ(parseIsoTime("2008-05-17T12:00:00+02:00"), at(2008, 5, 17, 10, 0, 0));
  EXPECT_EQ(parseIsoTime("2008-05-17T12:00:00+0200"), at(2008, 5, 17, 10, 0, 0));
  EXPECT_EQ(parseIsoTime("2008-05-17T05:30:00-04:30"), at(2008, 5, 17, 10, 0, 0));
  EXPECT_EQ(parseIsoTime("2008-05-17T10:00:00Z"), at(2008, 5, 17, 10, 0, 0));
  EXPECT_EQ(parseIsoTime("2008-05-17T00:30:00+01:00"), at(2008, 5, 16, 23, 30, 0));
}

TEST(IsoTime, FractionTruncatesToMilliseconds) {
  EXPECT_EQ(splitDateTime(parseIsoTime("2008-05-17T10:00:00.75Z")), (DateTimeParts{2008, 5, 17, 10, 0, 0, 750}));
  EXPECT_EQ(splitDateTime(parseIsoTime("2008-05-17T10:00:01.2349Z")).millisecond, 234);
  EXPECT_EQ(splitDateTime(parseIsoTime("2008-05-17T10:00:01.7Z")).millisecond, 700);
}

TEST(IsoTime, MalformedTexts) {
  // No zone designator, or a missing separator: no date.
  EXPECT_EQ(parseIsoTime("2008-05-17T10:00:00"), 0.0);
  EXPECT_EQ(parseIsoTime("2008-05-17 10:00:00Z"), 0.0);
  EXPECT_EQ(parseIsoTime("20080517T100000Z"), 0.0);
  EXPECT_EQ(parseIsoTime(""), 0.0);
  // A zone that is no time of day counts as UTC.
  EXPECT_EQ(parseIsoTime("2008-05-17T10:00:00+xx"), at(2008, 5, 17, 10, 0, 0));
  // Fields that are no numbers, or name no real date, raise.
  EXPECT_THROW((void)parseIsoTime("2008-May-17T10:00:00Z"), ConversionError);
  EXPECT_THROW((void)parseIsoTime("2008-05-17T1a:00:00Z"), ConversionError);
  EXPECT_THROW((void)parseIsoTime("2008-05-17T10:00:xxZ"), ConversionError);
  EXPECT_THROW((void)parseIsoTime("2008-02-30T10:00:00Z"), ConversionError);
  EXPECT_THROW((void)parseIsoTime("2008-05-17T25:00:00Z"), ConversionError);
}

TEST(IsoTime, FormatThenParseIsIdentity) {
  for (DateTime t : {at(1999, 12, 31, 23, 59, 59), at(2038, 1, 19, 3, 14, 8), at(2026, 12, 8, 4, 55, 0)})
    EXPECT_EQ(parseIsoTime(formatIsoTime(t)), t);
}

}  // namespace
}  // namespace geomuxer
