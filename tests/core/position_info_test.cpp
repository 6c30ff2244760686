#include "core/position_info.h"

#include <gtest/gtest.h>

#include <cmath>

namespace geomuxer {
namespace {

TEST(DefFields, BitNIsOrdinalN) {
  EXPECT_EQ(DefFields{defTime}.bits(), 0x0001);
  EXPECT_EQ(DefFields{defXY}.bits(), 0x0002);
  EXPECT_EQ(DefFields{defFix}.bits(), 0x1000);
  EXPECT_EQ(DefFields{defHDOP}.bits(), 0x4000);
  EXPECT_EQ(DefFields{defVDOP}.bits(), 0x8000);
  const DefFields mask{defTime, defXY, defXYPrec, defAltitude, defAltitudePrec, defHeading, defSpeed, defVertSpeed, defFix};
  EXPECT_EQ(mask.bits(), 0x169F);
  EXPECT_EQ(DefFields::fromBits(0x169F), mask);
  // Flags past the first sixteen take the bits above, leaving those masks as they were.
  EXPECT_EQ(DefFields{defSatellitesInView}.bits(), 0x10000u);
  EXPECT_EQ((mask | DefFields{defSatellitesInView}).bits() & 0xFFFF, 0x169Fu);
}

TEST(DefFields, IncludeExcludeAndUnion) {
  DefFields s;
  EXPECT_TRUE(s.empty());
  s.include(defSpeed);
  s.include(defSpeed);
  EXPECT_TRUE(s.has(defSpeed));
  EXPECT_FALSE(s.has(defHeading));
  s |= DefFields{defHeading};
  EXPECT_EQ(s.bits(), 0x0280);
  s.exclude(defSpeed);
  EXPECT_EQ(s.bits(), 0x0080);
}

TEST(PositionInfo, DefaultIsAllZeroWithoutFields) {
  const PositionInfo p;
  EXPECT_EQ(p.time, 0.0);
  EXPECT_EQ(p.x, 0.0f);
  EXPECT_EQ(p.satellites, 0);
  EXPECT_EQ(p.fix, fixInvalid);
  EXPECT_TRUE(p.fields.empty());
  EXPECT_FALSE(p.has(defXY));
}

TEST(Fix, DisplayTexts) {
  EXPECT_EQ(fixText(fixInvalid), "Invalid");
  EXPECT_EQ(fixText(fix2D_diff), "2D differential");
  EXPECT_EQ(fixText(fixRTK), "Real Time Kinematic");
  EXPECT_EQ(fixText(fixFRTK), "Float RTK");
  EXPECT_EQ(fixText(fixSimulation), "Simulation");
  EXPECT_EQ(fixText(static_cast<Fix>(200)), "Invalid");
}

TEST(Point, InvalidPointIsOnlyItself) {
  EXPECT_TRUE(samePoint(kInvalidPoint, kInvalidPoint));
  EXPECT_FALSE(samePoint(kInvalidPoint, Point{-180.0f, -90.0f}));
  EXPECT_FALSE(samePoint(Point{11.5, 47.25}, Point{11.5, std::nextafter(47.25, 48.0)}));
  EXPECT_TRUE(samePoint(Point{11.5f, 47.25f}, Point{11.5f, 47.25f}));
}

}  // namespace
}  // namespace geomuxer
