#include "core/geodesy.h"

#include <gtest/gtest.h>

#include <cmath>

namespace geomuxer {
namespace {

TEST(EllipsoidDistance, DegreesAtTheEquator) {
  EXPECT_EQ(ellipsoidDistance({0, 0}, {0, 0}), 0.0);
  EXPECT_NEAR(ellipsoidDistance({0, 0}, {0, 1}), 110574.4, 0.05);
  EXPECT_NEAR(ellipsoidDistance({0, 0}, {1, 0}), 111319.5, 0.05);
}

TEST(EllipsoidDistance, ShortDistancesAndSymmetry) {
  const Point innsbruck{11.39321f, 47.26962f};
  EXPECT_EQ(ellipsoidDistance(innsbruck, innsbruck), 0.0);
  const Point east{11.39330f, 47.26962f};
  const double d = ellipsoidDistance(innsbruck, east);
  EXPECT_GT(d, 5.0);
  EXPECT_LT(d, 8.0);
  EXPECT_NEAR(ellipsoidDistance(east, innsbruck), d, 1e-6);
  // Antipodes stay finite.
  EXPECT_TRUE(std::isfinite(ellipsoidDistance({0, 0}, {180, 0})));
}

TEST(DestinationPoint, OneNauticalMileIsOneMinuteOfArc) {
  const Point north = destinationPoint({11.0f, 47.0f}, 0.0f, 1852.0f);
  EXPECT_NEAR(north.y, 47.0 + 1.0 / 60.0, 1e-4);
  EXPECT_NEAR(north.x, 11.0, 1e-5);
  const Point east = destinationPoint({0.0f, 0.0f}, 90.0f, 1852.0f * 60.0f);
  EXPECT_NEAR(east.x, 1.0, 1e-4);
  EXPECT_NEAR(east.y, 0.0, 1e-4);
  const Point south = destinationPoint({0.0f, 0.0f}, 180.0f, 1852.0f);
  EXPECT_NEAR(south.y, -1.0 / 60.0, 1e-4);
}

TEST(DestinationPoint, WrapsAtTheDateLineAndStaysFiniteAtThePole) {
  const Point p = destinationPoint({179.99f, 0.0f}, 90.0f, 5000.0f);
  EXPECT_LT(p.x, -179.9f);
  const Point pole = destinationPoint({0.0f, 89.999f}, 0.0f, 1000.0f);
  EXPECT_TRUE(std::isfinite(pole.x));
  EXPECT_TRUE(std::isfinite(pole.y));
  const Point zero = destinationPoint({11.0f, 47.0f}, 123.0f, 0.0f);
  EXPECT_NEAR(zero.x, 11.0f, 1e-5);
  EXPECT_NEAR(zero.y, 47.0f, 1e-5);
}

TEST(FloatMod, TakesTheSignOfTheDivisor) {
  EXPECT_DOUBLE_EQ(floatMod(360.0, 370.0), 10.0);
  EXPECT_DOUBLE_EQ(floatMod(360.0, -10.0), 350.0);
  EXPECT_DOUBLE_EQ(floatMod(-360.0, 10.0), -350.0);
  EXPECT_DOUBLE_EQ(floatMod(2.0, 4.0), 0.0);
}

TEST(RatePerSecond, DividesByTheGapInSeconds) {
  const double t = 40000.0;
  EXPECT_EQ(ratePerSecond(t, t, 10.0, 5.0), 0.0);
  EXPECT_DOUBLE_EQ(ratePerSecond(t + 2.0 / 86400.0, t, 110.0, 100.0), 5.0);
  // Order of the times does not matter, order of the values does.
  EXPECT_DOUBLE_EQ(ratePerSecond(t, t + 2.0 / 86400.0, 110.0, 100.0), 5.0);
  EXPECT_DOUBLE_EQ(ratePerSecond(t + 1.0 + 0.5 / 86400.0, t, 0.0, 86400.5), -1.0);
}

}  // namespace
}  // namespace geomuxer
