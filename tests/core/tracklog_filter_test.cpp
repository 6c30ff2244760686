#include "core/tracklog_filter.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/geodesy.h"

namespace geomuxer {
namespace {

constexpr DateTime kStart = 40000.5;
constexpr DateTime kSecond = 1.0 / 86400.0;

PositionInfo fixAt(double seconds, Point p = {11.0f, 47.0f}) {
  PositionInfo pos;
  pos.time = kStart + seconds * kSecond;
  pos.x = p.x;
  pos.y = p.y;
  pos.fields = {defTime, defXY};
  return pos;
}

// Which of `count` fixes one second apart at the same place pass.
std::vector<int> acceptedSeconds(TracklogFilter& f, int count) {
  std::vector<int> out;
  for (int s = 0; s < count; ++s)
    if (f.accept(fixAt(s))) out.push_back(s);
  return out;
}

TEST(TracklogFilter, Thresholds) {
  EXPECT_EQ(TracklogFilter::timeThreshold(riMax), 1);
  EXPECT_EQ(TracklogFilter::timeThreshold(riMin), 40);
  EXPECT_EQ(TracklogFilter::distanceThreshold(riOften), 2.0);
  EXPECT_EQ(TracklogFilter::distanceThreshold(riSeldom), 10.0);
}

TEST(TracklogFilter, TimeModeNeedsMoreThanTheThreshold) {
  TracklogFilter f;
  f.setRecordMode(rmTime);
  f.setRecordInterval(riMax);
  EXPECT_EQ(acceptedSeconds(f, 7), (std::vector<int>{0, 2, 4, 6}));
}

TEST(TracklogFilter, AutoModeRecordsAStationaryReceiverEveryEleventhSecond) {
  TracklogFilter f;
  EXPECT_EQ(acceptedSeconds(f, 25), (std::vector<int>{0, 11, 22}));
}

TEST(TracklogFilter, DistanceModeIsStrict) {
  TracklogFilter f;
  f.setRecordMode(rmDistance);
  // Near the equator a float resolves millimetres; at 47 degrees it steps by about 0.4 m.
  const Point origin{0.5f, 0.5f};
  ASSERT_TRUE(f.accept(fixAt(0, origin)));
  // Floats cannot hit 5.000 m exactly; just below it and 5.1 m tell a strict comparison.
  const Point under{origin.x, origin.y + 4.99f / 110580.0f};
  const Point over{origin.x, origin.y + 5.1f / 110580.0f};
  ASSERT_LT(ellipsoidDistance(origin, under), 5.0);
  ASSERT_GT(ellipsoidDistance(origin, over), 5.05);
  EXPECT_FALSE(f.accept(fixAt(100, under)));
  EXPECT_TRUE(f.accept(fixAt(101, over)));
}

TEST(TracklogFilter, ExactlyOneThresholdIsRejected) {
  TracklogFilter f;
  f.setRecordMode(rmTime);
  ASSERT_TRUE(f.accept(fixAt(0)));
  EXPECT_FALSE(f.accept(fixAt(10)));
  EXPECT_FALSE(f.accept(fixAt(10.999)));  // milliseconds are dropped
  EXPECT_TRUE(f.accept(fixAt(11)));
}

TEST(TracklogFilter, ElapsedTimeIsTakenModuloOneDay) {
  TracklogFilter f;
  f.setRecordMode(rmTime);
  ASSERT_TRUE(f.accept(fixAt(0)));
  EXPECT_FALSE(f.accept(fixAt(86400 + 3)));   // a day and 3 s counts as 3 s
  EXPECT_TRUE(f.accept(fixAt(86400 + 11)));
  EXPECT_TRUE(f.accept(fixAt(0)));            // an earlier fix counts by the size of the gap
}

TEST(TracklogFilter, MissingFieldsUnderEachMode) {
  PositionInfo noTime = fixAt(1);
  noTime.fields.exclude(defTime);
  PositionInfo speedOnly;
  speedOnly.fields = {defSpeed};
  const PositionInfo empty;

  TracklogFilter autoMode;
  ASSERT_TRUE(autoMode.accept(fixAt(0)));
  EXPECT_FALSE(autoMode.accept(noTime));     // judged by distance alone: it did not move
  EXPECT_FALSE(autoMode.accept(speedOnly));  // neither time nor position
  EXPECT_TRUE(autoMode.accept(empty));       // no fields at all pass ...
  EXPECT_TRUE(autoMode.accept(fixAt(1)));    // ... and the next fix counts as a first one

  TracklogFilter timeMode;
  timeMode.setRecordMode(rmTime);
  ASSERT_TRUE(timeMode.accept(fixAt(0)));
  EXPECT_TRUE(timeMode.accept(noTime));

  TracklogFilter distanceMode;
  distanceMode.setRecordMode(rmDistance);
  ASSERT_TRUE(distanceMode.accept(fixAt(0)));
  EXPECT_TRUE(distanceMode.accept(speedOnly));
}

TEST(TracklogFilter, ResetAndInactive) {
  TracklogFilter f;
  ASSERT_TRUE(f.accept(fixAt(0)));
  EXPECT_FALSE(f.accept(fixAt(1)));
  f.reset();
  EXPECT_TRUE(f.accept(fixAt(1)));

  f.setActive(false);
  EXPECT_TRUE(f.accept(fixAt(2)));
  EXPECT_TRUE(f.accept(fixAt(2)));
  EXPECT_EQ(f.lastPosition().time, fixAt(1).time);  // untouched while inactive
  f.setActive(true);
  EXPECT_FALSE(f.accept(fixAt(2)));
  // Changing the mode keeps the last position.
  f.setRecordMode(rmTime);
  EXPECT_FALSE(f.accept(fixAt(3)));
}

}  // namespace
}  // namespace geomuxer
