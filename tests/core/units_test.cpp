#include "core/units.h"

#include <gtest/gtest.h>

#include <cmath>

namespace geomuxer {
namespace {

const NumberFormat kC = NumberFormat::fromLocale(std::locale::classic());

// The German locale when the machine has it; the tests that need it skip otherwise.
std::optional<NumberFormat> german() {
  try {
    return NumberFormat::fromLocale(std::locale("de_DE.UTF-8"));
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
}

TEST(NumberFormat, LocaleSeparators) {
  EXPECT_EQ(kC.decimalPoint, ".");
  EXPECT_EQ(kC.thousandsSep, ",");
  const auto de = german();
  if (!de) GTEST_SKIP() << "locale de_DE.UTF-8 is not installed";
  EXPECT_EQ(de->decimalPoint, ",");
  EXPECT_EQ(de->thousandsSep, ".");
}

TEST(FormatDistance, MetricSwitchesAndRounding) {
  EXPECT_EQ(formatDistance(DistUnit::metric, 0.0, kC), "0 m");
  EXPECT_EQ(formatDistance(DistUnit::metric, 999.96, kC), "1,000.0 m");
  EXPECT_EQ(formatDistance(DistUnit::metric, 5430.0, kC), "5.4 km");
  EXPECT_EQ(formatDistance(DistUnit::metric, 9960.0, kC), "10 km");
  EXPECT_EQ(formatDistance(DistUnit::metric, 1234567.0, kC), "1,235 km");
  EXPECT_EQ(formatDistance(DistUnit::metric, -1500.0, kC), "-1,500.0 m");
  EXPECT_EQ(formatDistance(DistUnit::metric, NAN, kC), "n.a.");
}

TEST(FormatDistance, StatuteAndNautic) {
  EXPECT_EQ(formatDistance(DistUnit::statute, 0.0, kC), "0 nm");
  EXPECT_EQ(formatDistance(DistUnit::statute, 100.0, kC), "328.1 ft");
  EXPECT_EQ(formatDistance(DistUnit::statute, 1609.3 * 2.5, kC), "2.5 mi");
  EXPECT_EQ(formatDistance(DistUnit::nautic, 0.0, kC), "0 nm");
  EXPECT_EQ(formatDistance(DistUnit::nautic, 1851.0, kC), "6,072.8 ft");
  EXPECT_EQ(formatDistance(DistUnit::nautic, 1852.0 * 12, kC), "12 nm");
  EXPECT_EQ(formatDistance(static_cast<DistUnit>(3), 5.0, kC), "n.a.");
}

TEST(FormatDistance, PrecisionCarriesPlusMinus) {
  EXPECT_EQ(formatPrecision(DistUnit::metric, 4.25, kC), "\u00B1 4.2 m");
  EXPECT_EQ(formatPrecision(static_cast<DistUnit>(7), 4.0, kC), "n.a.");
}

TEST(FormatSpeed, EachUnitSystem) {
  EXPECT_EQ(formatSpeed(DistUnit::metric, 50.91, kC), "50.9 km/h");
  EXPECT_EQ(formatSpeed(DistUnit::statute, 16.093, kC), "10.0 mph");
  EXPECT_EQ(formatSpeed(DistUnit::nautic, 18.52, kC), "10.0 kt");
  EXPECT_EQ(formatVertSpeed(DistUnit::metric, -1.25, kC), "-1.2 m/s");
  EXPECT_EQ(formatVertSpeed(DistUnit::nautic, 1.0, kC), "3.3 ft/s");
}

TEST(FormatHeading, DegreesAndCompassPoints) {
  EXPECT_EQ(formatHeading(0, 0, 90.0, kC), "90\u00B0 true");
  EXPECT_EQ(formatHeading(0, 1, 271.6, kC), "272\u00B0 mag");
  EXPECT_EQ(formatHeading(1, 0, 337.5, kC), "N");
  EXPECT_EQ(formatHeading(1, 0, 22.4, kC), "N");
  EXPECT_EQ(formatHeading(1, 0, 22.5, kC), "NE");
  EXPECT_EQ(formatHeading(1, 0, 180.0, kC), "S");
  EXPECT_EQ(formatHeading(1, 0, 300.0, kC), "NW");
  EXPECT_EQ(formatHeading(1, 0, -90.0, kC), "W");
  EXPECT_EQ(formatHeading(2, 0, 90.0, kC), "");
  EXPECT_EQ(formatMagVar(-3.4, kC), "-3\u00B0");
}

TEST(FormatCoord, DecimalDegreesAndMinutes) {
  EXPECT_EQ(formatCoord(47.26962, PosUnit::decimalDegree, kC), "47.26962\u00B0");
  EXPECT_EQ(formatCoord(47.5, PosUnit::decimalMinute, kC), "47\u00B0 30\u2032");
  EXPECT_EQ(formatCoord(47.26962, PosUnit::decimalMinute, kC), "47\u00B0 16.177\u2032");
  EXPECT_EQ(formatCoord(11.1, PosUnit::decimalMinute, kC), "11\u00B0 06\u2032");
  EXPECT_EQ(formatCoord(0.0835, PosUnit::decimalMinute, kC), "0\u00B0 05.010\u2032");
  // Minutes that round up to a whole degree carry into the degrees.
  EXPECT_EQ(formatCoord(47.9999999, PosUnit::decimalMinute, kC), "48\u00B0 00\u2032");
}

TEST(FormatCoord, DecimalSeconds) {
  EXPECT_EQ(formatCoord(47.26962, PosUnit::decimalSecond, kC), "47\u00B0 16\u2032 10.6\u2033");
  EXPECT_EQ(formatCoord(11.5, PosUnit::decimalSecond, kC), "11\u00B0 30\u2032 00.0\u2033");
  // Within a tenth of a second below a whole degree.
  EXPECT_EQ(formatCoord(47.99999, PosUnit::decimalSecond, kC), "48\u00B0 00\u2032 00.0\u2033");
}

TEST(FormatLatLon, HemispheresPrefixTheAbsoluteValue) {
  EXPECT_EQ(formatLatLon({11.39321f, 47.26962f}, PosUnit::decimalMinute, kC), "N47\u00B0 16.177\u2032 E11\u00B0 23.593\u2032");
  EXPECT_EQ(formatLatLon({-58.5f, -34.5f}, PosUnit::decimalMinute, kC), "S34\u00B0 30\u2032 W58\u00B0 30\u2032");
}

TEST(UserFacingTexts, FollowTheGermanLocale) {
  const auto de = german();
  if (!de) GTEST_SKIP() << "locale de_DE.UTF-8 is not installed";
  EXPECT_EQ(formatDistance(DistUnit::metric, 999.96, *de), "1.000,0 m");
  EXPECT_EQ(formatDistance(DistUnit::metric, 5430.0, *de), "5,4 km");
  EXPECT_EQ(formatSpeed(DistUnit::metric, 50.91, *de), "50,9 km/h");
  EXPECT_EQ(formatCoord(47.26962, PosUnit::decimalMinute, *de), "47\u00B0 16,177\u2032");
  EXPECT_EQ(formatCoord(47.26962, PosUnit::decimalSecond, *de), "47\u00B0 16\u2032 10,6\u2033");
}

TEST(ParseCoord, ReadsBackEveryFormat) {
  const double values[] = {0.0, 0.0835, 11.39321, 47.26962, 89.99, 179.5};
  for (const NumberFormat& nf : {kC, NumberFormat{",", "."}}) {
    for (double v : values) {
      for (PosUnit unit : {PosUnit::decimalDegree, PosUnit::decimalMinute, PosUnit::decimalSecond}) {
        const std::string text = formatCoord(v, unit, nf);
        const auto parsed = parseCoord(text, nf);
        ASSERT_TRUE(parsed) << text;
        const double tolerance = unit == PosUnit::decimalSecond ? 0.05 / 3600 : 0.001 / 60;
        EXPECT_NEAR(parsed->degrees, v, tolerance) << text;
      }
    }
  }
}

TEST(ParseCoord, HemispheresSignsAndPlainDegrees) {
  EXPECT_NEAR(parseCoord("S34\u00B0 30\u2032", kC)->degrees, -34.5, 1e-9);
  EXPECT_EQ(parseCoord("S34\u00B0 30\u2032", kC)->hemisphere, 'S');
  EXPECT_NEAR(parseCoord("58 30' W", kC)->degrees, -58.5, 1e-9);
  EXPECT_NEAR(parseCoord("-11.5", kC)->degrees, -11.5, 1e-9);
  EXPECT_NEAR(parseCoord("11,5", kC)->degrees, 11.5, 1e-9);
  EXPECT_NEAR(parseCoord("47*16'10.6\"", kC)->degrees, 47.26961, 1e-5);
  EXPECT_EQ(parseCoord("x", kC), std::nullopt);
  EXPECT_EQ(parseCoord("", kC), std::nullopt);
  EXPECT_EQ(parseCoord("47 60", kC), std::nullopt);
  EXPECT_EQ(parseCoord("47 10 60", kC), std::nullopt);
  EXPECT_EQ(parseCoord("47.5 10", kC), std::nullopt);
  EXPECT_EQ(parseCoord("1 2 3 4", kC), std::nullopt);
}

TEST(ParseLatLon, ReadsFormatLatLon) {
  for (PosUnit unit : {PosUnit::decimalDegree, PosUnit::decimalMinute, PosUnit::decimalSecond}) {
    const Point p{-58.38157f, -34.60368f};
    const auto back = parseLatLon(formatLatLon(p, unit, kC), kC);
    ASSERT_TRUE(back);
    EXPECT_NEAR(back->x, p.x, 1e-4);
    EXPECT_NEAR(back->y, p.y, 1e-4);
  }
  EXPECT_FALSE(parseLatLon("N95\u00B0 E11\u00B0", kC));
  EXPECT_FALSE(parseLatLon("hello", kC));
}

}  // namespace
}  // namespace geomuxer
