// Timer handles and the hand-moved clock that the tests of timed components run on.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/clock.h"
#include "support/manual_clock.h"

namespace geomuxer {
namespace {

using namespace std::chrono_literals;
using test::ManualClock;

TEST(ManualClock, TimersFireInDeadlineOrderWithNowAtTheirDeadline) {
  ManualClock clock;
  const Clock::TimePoint start = clock.now();
  std::vector<std::string> fired;
  const auto note = [&](const char* name) {
    return [&fired, &clock, start, name] {
      fired.push_back(std::string(name) + "@" + std::to_string((clock.now() - start).count()));
    };
  };
  Timer late = clock.callAfter(300ms, note("late"));
  Timer tieA = clock.callAfter(100ms, note("a"));
  Timer tieB = clock.callAfter(100ms, note("b"));
  Timer every = clock.callEvery(150ms, note("every"));
  Timer zero = clock.callAfter(0ms, note("zero"));
  EXPECT_TRUE(fired.empty()) << "nothing fires inside the call that sets it";
  EXPECT_EQ(clock.pendingTimers(), 5u);

  clock.advance(0ms);
  EXPECT_EQ(fired, std::vector<std::string>{"zero@0"});
  clock.advance(310ms);
  EXPECT_EQ(fired, (std::vector<std::string>{"zero@0", "a@100", "b@100", "every@150", "late@300", "every@300"}));
  EXPECT_EQ(clock.now() - start, 310ms);
  EXPECT_FALSE(late.pending());
  EXPECT_TRUE(every.pending());
  EXPECT_EQ(clock.nextDeadline(), start + 450ms);
  EXPECT_EQ(clock.pendingTimers(), 1u);
}

TEST(ManualClock, HandlesCancelAndCallbacksMayRearmOrDropTheirTimer) {
  ManualClock clock;
  int ticks = 0;
  {
    Timer scoped = clock.callEvery(10ms, [&] { ++ticks; });
  }
  Timer moved = clock.callAfter(10ms, [&] { ticks += 100; });
  moved = clock.callAfter(20ms, [&] { ticks += 1000; });  // assigning over cancels the first
  clock.advance(1s);
  EXPECT_EQ(ticks, 1000);

  // A retry chain: each call sets the next timer on the same handle, three times.
  Timer retry;
  int tries = 0;
  std::function<void()> again = [&] {
    if (++tries < 3) retry = clock.callAfter(100ms, again);
  };
  retry = clock.callAfter(100ms, again);
  clock.advance(250ms);
  EXPECT_EQ(tries, 2);
  clock.advance(1s);
  EXPECT_EQ(tries, 3);

  // A repeating timer that cancels itself, and one whose owner is destroyed by its own callback.
  int count = 0;
  Timer self = clock.callEvery(5ms, [&] {
    if (++count == 4) self.cancel();
  });
  auto owner = std::make_unique<Timer>();
  *owner = clock.callEvery(5ms, [&] { owner.reset(); });
  clock.advance(100ms);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(owner, nullptr);
  EXPECT_EQ(clock.pendingTimers(), 0u);
  EXPECT_FALSE(clock.advanceToNextTimer());
}

TEST(ManualClock, ARestartableTimerFiresOnceAfterItsLastRestart) {
  ManualClock clock;
  int fired = 0;
  Timer quiet = clock.makeRestartable([&] { ++fired; });
  EXPECT_FALSE(quiet.pending()) << "starts stopped";
  clock.advance(1s);
  quiet.restart(100ms);
  clock.advance(60ms);
  quiet.restart(100ms);  // pushed back to 160 ms
  EXPECT_EQ(clock.pendingTimers(), 1u);
  clock.advance(99ms);
  EXPECT_EQ(fired, 0);
  clock.advance(1ms);
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(quiet.pending());
  clock.advance(1s);
  EXPECT_EQ(fired, 1) << "once per restart";
  quiet.restart(10ms);
  quiet.stop();
  clock.advance(1s);
  EXPECT_EQ(fired, 1) << "stopped";
  quiet.restart(-5ms);
  clock.advance(0ms);
  EXPECT_EQ(fired, 2) << "the handle survives stop; a negative delay counts as 0";

  // Restarted from its own callback, and one that drops its own handle.
  int ticks = 0;
  Timer self;
  self = clock.makeRestartable([&] {
    if (++ticks < 3) self.restart(10ms);
  });
  self.restart(10ms);
  auto owner = std::make_unique<Timer>();
  *owner = clock.makeRestartable([&] { owner.reset(); });
  owner->restart(5ms);
  clock.advance(1s);
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(owner, nullptr);
  EXPECT_EQ(clock.pendingTimers(), 0u);
}

TEST(ManualClock, WallClockFollowsTheMonotonicOneUntilSet) {
  const DateTime noon = *makeDateTime({.year = 2024, .month = 3, .day = 9, .hour = 12});
  ManualClock clock(noon);
  clock.advance(90s);
  EXPECT_EQ(formatIsoTime(clock.utcNow()), "2024-03-09T12:01:30Z");
  const Clock::TimePoint before = clock.now();
  clock.setUtc(*makeDateTime({.year = 2001, .month = 1, .day = 1}));  // the system time is set back
  EXPECT_EQ(clock.now(), before) << "the monotonic clock does not jump";
  clock.advance(2s);
  EXPECT_EQ(formatIsoTime(clock.utcNow()), "2001-01-01T00:00:02Z");
}

TEST(SystemClock, ReadsBothClocks) {
  const Clock& clock = systemClock();
  const Clock::TimePoint a = clock.now();
  EXPECT_GE(clock.now(), a);
  EXPECT_NEAR(clock.utcNow(), nowUtc(), 1.0 / 86400.0);
}

}  // namespace
}  // namespace geomuxer
