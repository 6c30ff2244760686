// The program's clock: timers run from the Qt event loop and end with their handles.

#include <gtest/gtest.h>

#include <memory>

#include "net/event_loop_clock.h"
#include "support/qt_event_loop.h"

namespace geomuxer {
namespace {

using test::qtApp;
using test::spin;
using test::waitUntil;
using namespace std::chrono_literals;

TEST(EventLoopClock, TimersRunFromTheEventLoop) {
  qtApp();
  EventLoopClock& clock = eventLoopClock();
  int once = 0;
  int every = 0;
  Timer single = clock.callAfter(0ms, [&] { ++once; });
  Timer repeating = clock.callEvery(5ms, [&] { ++every; });
  EXPECT_EQ(once, 0) << "not from inside the call that sets it";
  ASSERT_TRUE(waitUntil([&] { return once == 1 && every >= 3; }));
  EXPECT_FALSE(single.pending());
  EXPECT_TRUE(repeating.pending());
  repeating.cancel();
  const int seen = every;
  spin(30ms);
  EXPECT_EQ(every, seen);
  EXPECT_EQ(once, 1);
}

TEST(EventLoopClock, ADroppedHandleCancelsAndACallbackMayDropItsOwn) {
  qtApp();
  EventLoopClock& clock = eventLoopClock();
  int dropped = 0;
  {
    Timer gone = clock.callAfter(1ms, [&] { ++dropped; });
  }
  // Callbacks that destroy the handle of their own timer, single-shot and repeating.
  auto single = std::make_unique<Timer>();
  *single = clock.callAfter(1ms, [&] { single.reset(); });
  int ticks = 0;
  auto repeating = std::make_unique<Timer>();
  *repeating = clock.callEvery(1ms, [&] {
    if (++ticks == 2) repeating.reset();
  });
  ASSERT_TRUE(waitUntil([&] { return single == nullptr && repeating == nullptr; }));
  spin(20ms);
  EXPECT_EQ(ticks, 2);
  EXPECT_EQ(dropped, 0);
}

TEST(EventLoopClock, ARestartableTimerWaitsForItsLastRestart) {
  qtApp();
  EventLoopClock& clock = eventLoopClock();
  int fired = 0;
  Timer quiet = clock.makeRestartable([&] { ++fired; });
  spin(10ms);
  EXPECT_EQ(fired, 0) << "starts stopped";
  quiet.restart(1ms);
  quiet.restart(60s);  // the later restart wins
  spin(20ms);
  EXPECT_EQ(fired, 0);
  EXPECT_TRUE(quiet.pending());
  quiet.restart(1ms);
  ASSERT_TRUE(waitUntil([&] { return fired == 1; }));
  EXPECT_FALSE(quiet.pending());
  quiet.restart(1ms);
  quiet.stop();
  spin(20ms);
  EXPECT_EQ(fired, 1);
  // A callback that restarts its own timer, then drops its handle.
  auto owner = std::make_unique<Timer>();
  *owner = clock.makeRestartable([&] {
    if (++fired == 3) owner.reset(); else owner->restart(1ms);
  });
  owner->restart(1ms);
  ASSERT_TRUE(waitUntil([&] { return owner == nullptr; }));
  spin(10ms);
  EXPECT_EQ(fired, 3);
}

}  // namespace
}  // namespace geomuxer
