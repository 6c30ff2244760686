#include "core/number_text.h"

#include <gtest/gtest.h>

#include <limits>

namespace geomuxer {
namespace {

TEST(NumberText, ParseIntIsStrict) {
  EXPECT_EQ(parseInt("42"), 42);
  EXPECT_EQ(parseInt("-7"), -7);
  EXPECT_EQ(parseInt("+7"), 7);
  EXPECT_FALSE(parseInt(""));
  EXPECT_FALSE(parseInt("4 2"));
  EXPECT_FALSE(parseInt("12abc"));
  EXPECT_FALSE(parseInt("99999999999"));
  EXPECT_THROW((void)toInt("x"), ConversionError);
}

TEST(NumberText, ParseDoubleUsesDotOnly) {
  EXPECT_EQ(parseDouble("47.5"), 47.5);
  EXPECT_EQ(parseDouble("-0.25"), -0.25);
  EXPECT_EQ(parseDouble(".5"), 0.5);
  EXPECT_EQ(parseDouble("1e3"), 1000.0);
  EXPECT_FALSE(parseDouble("47,5"));
  EXPECT_FALSE(parseDouble("inf"));
  EXPECT_FALSE(parseDouble("nan"));
  EXPECT_FALSE(parseDouble("1e999"));
  EXPECT_FALSE(parseDouble(""));
  EXPECT_THROW((void)toDouble("4..5"), ConversionError);
}

TEST(NumberText, FixedIsLocaleFree) {
  EXPECT_EQ(formatFixed(4916.45, 3), "4916.450");
  EXPECT_EQ(formatFixed(0.05, 1), "0.1");
  EXPECT_EQ(formatFixed(2.5, 0), "2");
  EXPECT_EQ(formatFixed(-1.25, 2), "-1.25");
}

TEST(NumberText, GeneralFormOfWidenedSingles) {
  EXPECT_EQ(formatGeneral(static_cast<double>(47.123f)), "47.1230010986328");
  EXPECT_EQ(formatGeneral(static_cast<double>(47.26962f)), "47.2696189880371");
  EXPECT_EQ(formatGeneral(0.0), "0");
  EXPECT_EQ(formatGeneral(-12.5), "-12.5");
  EXPECT_EQ(formatGeneral(100.0), "100");
  EXPECT_EQ(formatGeneral(0.00001), "0.00001");
  EXPECT_EQ(formatGeneral(0.0000015), "1.5E-6");
  EXPECT_EQ(formatGeneral(123456789012345.0), "123456789012345");
  EXPECT_EQ(formatGeneral(1e15), "1E15");
}

// XML decimals take no exponent, and a single's shortest text is what the receiver sent.
TEST(NumberText, ShortestFixedFormOfSingles) {
  EXPECT_EQ(formatShortest(1.2f), "1.2");
  EXPECT_EQ(formatShortest(0.94f), "0.94");
  EXPECT_EQ(formatShortest(-30.25f), "-30.25");
  EXPECT_EQ(formatShortest(1e-5f), "0.00001");
  EXPECT_EQ(formatShortest(2.5e6f), "2500000");
  EXPECT_EQ(formatShortest(std::numeric_limits<float>::quiet_NaN()), "");
  EXPECT_EQ(formatShortest(std::numeric_limits<float>::infinity()), "");
}

}  // namespace
}  // namespace geomuxer
