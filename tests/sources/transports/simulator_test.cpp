// The simulator driven tick by tick with a hand-set clock, and once by its real timer.

#include <gtest/gtest.h>

#include <QSignalSpy>

#include <cstdint>
#include <vector>

#include "support/manual_clock.h"
#include "support/qt_event_loop.h"
#include "core/geodesy.h"
#include "sources/trackers/gps_tracker_simu.h"

namespace geomuxer {
namespace {

using test::qtApp;
using test::waitUntil;
using namespace std::chrono_literals;

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qtApp();
    tracker.setClock(clock);
    tracker.setStartPoint({8.25f, 47.5f});
    QObject::connect(&tracker, &GpsTracker::positionReceived,
                     [this](const PositionInfo& p) { positions.push_back(p); });
  }

  // Starts and lets `seconds` seconds pass on the simulation's own timer.
  void run(int seconds) {
    if (!tracker.isActive()) tracker.start();
    clock.advance(std::chrono::seconds(seconds));
  }

  test::ManualClock clock;
  GpsTrackerSimu tracker;
  std::vector<PositionInfo> positions;
};

TEST_F(SimulatorTest, OnePositionPerSecondMovingAlongTheCourse) {
  EXPECT_EQ(tracker.displayName(), "Simulator");
  EXPECT_EQ(tracker.fields(), GpsTrackerSimu::kDefaultFields);
  tracker.setSpeed(36.0f);  // 10 m per second
  run(3);
  ASSERT_EQ(positions.size(), 3u);
  const float step = 10.0f / 1852.0f / 60.0f;
  EXPECT_NEAR(positions[0].y, 47.5f + step, 1e-5f);
  EXPECT_NEAR(positions[1].y - positions[0].y, step, 1e-5f);
  EXPECT_NEAR(positions[2].y - positions[1].y, step, 1e-5f);
  EXPECT_NEAR(positions[2].x, 8.25f, 1e-9);
  EXPECT_EQ(positions[0].fields, GpsTrackerSimu::kDefaultFields);
  EXPECT_EQ(toUnixMillis(positions[2].time) - toUnixMillis(positions[0].time), 2000)
      << "time stamps come from the simulation's clock";

  // Course 90 moves east; speed 0 stays put and still carries the point.
  positions.clear();
  tracker.setCourse(90.0f);
  run(1);
  ASSERT_EQ(positions.size(), 1u);
  EXPECT_GT(positions[0].x, 8.25f);
  tracker.setSpeed(0.0f);
  run(2);
  ASSERT_EQ(positions.size(), 3u);
  EXPECT_TRUE(samePoint(positions[1].point(), positions[0].point()));
  EXPECT_TRUE(samePoint(positions[2].point(), positions[0].point()));
  EXPECT_TRUE(positions[2].has(defXY));
}

// Steps of less than a metre must add up: walking for ten minutes covers the distance walked.
TEST_F(SimulatorTest, WalkingSpeedStepsAddUp) {
  struct Walk {
    const char* name;
    float course;
    float kmh;
    double metres;
  };
  for (const Walk& walk : {Walk{"3 km/h north", 0.0f, 3.0f, 500.0}, Walk{"2 km/h east", 90.0f, 2.0f, 333.3}}) {
    SCOPED_TRACE(walk.name);
    positions.clear();
    tracker.stop();
    tracker.setCourse(walk.course);
    tracker.setSpeed(walk.kmh);
    run(601);
    ASSERT_EQ(positions.size(), 601u);
    const double moved = ellipsoidDistance(positions.front().point(), positions.back().point());
    EXPECT_NEAR(moved, walk.metres, walk.metres * 0.01);
  }
}

TEST_F(SimulatorTest, FieldsChooseWhatPositionsCarry) {
  tracker.setFields(DefFields{});
  tracker.setSatellites(0);
  run(1);
  ASSERT_EQ(positions.size(), 1u);
  EXPECT_EQ(positions[0].fields, DefFields{defXY});

  tracker.setFields({defSatellites, defFix, defHeading, defSpeed, defGeoidHeight, defHDOP});
  tracker.setCourse(45.0f);
  tracker.setSpeed(20.0f);
  tracker.setFix(fixSimulation);
  run(1);
  EXPECT_EQ(positions[1].fields, (DefFields{defXY, defFix, defHeading, defSpeed}));  // no count of 0
  EXPECT_EQ(positions[1].fix, fixSimulation);
  EXPECT_FLOAT_EQ(positions[1].heading, 45.0f);
  EXPECT_FLOAT_EQ(positions[1].speed, 20.0f);

  tracker.setSatellites(7);
  run(1);
  EXPECT_TRUE(positions[2].has(defSatellites));
  EXPECT_EQ(positions[2].satellites, 7);
}

TEST_F(SimulatorTest, AltitudeClimbsFromTheStartAndResetsWhenSet) {
  tracker.setAltitude(100.0f);
  tracker.setVSpeed(2.0f);
  run(3);
  ASSERT_EQ(positions.size(), 3u);
  EXPECT_FLOAT_EQ(positions[0].altitude, 102.0f);
  EXPECT_FLOAT_EQ(positions[1].altitude, 104.0f);
  EXPECT_FLOAT_EQ(positions[2].altitude, 106.0f);
  EXPECT_FLOAT_EQ(positions[2].vertSpeed, 2.0f);
  EXPECT_FLOAT_EQ(tracker.altitude(), 100.0f);

  tracker.setAltitude(50.0f);  // while running: the climb restarts from here
  run(1);
  EXPECT_FLOAT_EQ(positions[3].altitude, 52.0f);

  // Without the altitude field the running altitude stands still.
  tracker.setFields({defXY});
  run(2);
  tracker.setFields({defAltitude});
  run(1);
  EXPECT_FLOAT_EQ(positions.back().altitude, 54.0f);

  // A new run starts from the tracker's altitude again.
  tracker.stop();
  positions.clear();
  run(1);
  EXPECT_FLOAT_EQ(positions[0].altitude, 52.0f);
}

TEST_F(SimulatorTest, PrecisionBoundsAreLiveAndIndependent) {
  tracker.setPrec(0.4f);  // rounds to 0: always 0
  tracker.setVPrec(3.0f);
  run(20);
  tracker.setVPrec(1.0f);  // only the vertical bound changes
  run(10);
  ASSERT_EQ(positions.size(), 30u);
  bool sawNonZero = false;
  for (std::size_t i = 0; i < positions.size(); ++i) {
    EXPECT_FLOAT_EQ(positions[i].xyPrec, 0.0f);
    const float bound = i < 20 ? 3.0f : 1.0f;
    EXPECT_GE(positions[i].altitudePrec, 0.0f);
    EXPECT_LT(positions[i].altitudePrec, bound);
    EXPECT_FLOAT_EQ(positions[i].altitudePrec, std::floor(positions[i].altitudePrec));
    sawNonZero = sawNonZero || positions[i].altitudePrec > 0.0f;
  }
  EXPECT_TRUE(sawNonZero) << "twenty draws below 3 were all 0";
  EXPECT_FLOAT_EQ(tracker.prec(), 0.4f);
}

TEST_F(SimulatorTest, StartPointChangesMoveTheNextPosition) {
  tracker.setSpeed(36.0f);
  run(2);
  tracker.setStartPoint({8.25f, 47.5f});  // the same point again: no jump back
  run(1);
  ASSERT_EQ(positions.size(), 3u);
  EXPECT_GT(positions[2].y, positions[1].y);

  tracker.setStartPoint({-0.5f, -33.5f});
  run(1);
  EXPECT_NEAR(positions[3].y, -33.5f + 10.0f / 1852.0f / 60.0f, 1e-5f);
  EXPECT_NEAR(positions[3].x, -0.5f, 1e-5f);
}

TEST(SimulatorTimer, RealTicksProduceAPositionFromTheStartPoint) {
  qtApp();
  GpsTrackerSimu tracker;
  tracker.setStartPoint({8.25f, 47.5f});
  QSignalSpy positions(&tracker, &GpsTracker::positionReceived);
  tracker.start();
  EXPECT_TRUE(tracker.isActive());
  ASSERT_TRUE(waitUntil([&] { return positions.count() >= 1; }));
  EXPECT_FLOAT_EQ(tracker.lastPosition().y, 47.5f);
  EXPECT_TRUE(tracker.lastPosition().has(defTime));
  tracker.stop();
  EXPECT_FALSE(tracker.isActive());
}

}  // namespace
}  // namespace geomuxer
