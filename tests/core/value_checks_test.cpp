#include "core/value_checks.h"

#include <gtest/gtest.h>

#include <limits>

namespace geomuxer {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

struct ValueCase {
  const char* name;
  DefField field;
  double value;
  bool valid;
};

TEST(ValueChecks, RangesAndNonFiniteNumbers) {
  const ValueCase cases[] = {
      {"altitude at the lower bound", defAltitude, -1000.0, true},
      {"altitude below the Dead Sea by far", defAltitude, -1000.1, false},
      {"altitude of a balloon", defAltitude, 100'000.0, true},
      {"altitude in orbit", defAltitude, 100'000.5, false},
      {"speed zero", defSpeed, 0.0, true},
      {"negative speed", defSpeed, -0.1, false},
      {"speed of a jet", defSpeed, 2000.0, true},
      {"speed of a rocket", defSpeed, 2000.1, false},
      {"course 360", defHeading, 360.0, true},
      {"course past 360", defHeading, 360.5, false},
      {"negative course", defHeading, -1.0, false},
      {"magnetic variation west", defMagVar, -20.0, true},
      {"magnetic variation 999.9", defMagVar, 999.9, false},
      {"dilution zero means none", defHDOP, 0.0, false},
      {"dilution 99.99 means unknown", defPDOP, 99.99, false},
      {"dilution 1.2", defVDOP, 1.2, true},
      {"infinity", defAltitude, kInf, false},
      {"nan", defSpeed, kNan, false},
      {"1e39", defGeoidHeight, 1e39, false},
      {"time before GPS", defTime, 10.0, false},
  };
  for (const auto& c : cases) EXPECT_EQ(validValue(c.field, c.value), c.valid) << c.name;
}

TEST(ValueChecks, PointsOnTheEarthOnly) {
  EXPECT_TRUE(validPoint(180.0, -90.0));
  EXPECT_TRUE(validPoint(-180.0, 90.0));
  EXPECT_FALSE(validPoint(180.0001, 0.0));
  EXPECT_FALSE(validPoint(0.0, 90.0001));
  EXPECT_FALSE(validPoint(kNan, 0.0));
  EXPECT_FALSE(validPoint(0.0, 7.77778e23));
  EXPECT_FALSE(validPoint(kInvalidPoint.x, kInvalidPoint.y));
}

TEST(ValueChecks, ClearingTakesOnlyTheBadFlags) {
  PositionInfo p;
  p.time = 45000.0;
  p.x = 8.5;
  p.y = 47.3;
  p.altitude = 1e38f;
  p.speed = -5.0f;
  p.heading = 90.0f;
  p.satellites = 7;
  p.fix = static_cast<Fix>(40);
  p.fields = {defTime, defXY, defAltitude, defSpeed, defHeading, defSatellites, defFix};
  EXPECT_EQ(clearInvalidValues(p), (DefFields{defAltitude, defSpeed, defFix}));
  EXPECT_EQ(p.fields, (DefFields{defTime, defXY, defHeading, defSatellites}));

  p.y = 91.0;
  EXPECT_EQ(clearInvalidValues(p), DefFields{defXY});
  EXPECT_EQ(clearInvalidValues(p), DefFields{}) << "unflagged members are not looked at";
}

}  // namespace
}  // namespace geomuxer
