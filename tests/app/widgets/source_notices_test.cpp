// Which source changes become a notification while the window is out of sight.

#include <gtest/gtest.h>

#include "app/widgets/source_notices.h"

namespace geomuxer {
namespace {

using namespace std::chrono_literals;

SourceStatus status(SourceState state, std::string error = {}) {
  SourceStatus s;
  s.source = "NMEA via TCP/IP";
  s.state = state;
  s.reconnectInSeconds = 5;
  s.lastError = std::move(error);
  return s;
}

TEST(SourceNotices, ToldOnFailureAndRecoveryAtMostOncePerQuietTime) {
  SourceNotices notices;
  Clock::TimePoint t{1h};
  EXPECT_FALSE(notices.update(status(SourceState::WaitingForData), false, t));
  EXPECT_FALSE(notices.update(status(SourceState::ReceivingFix), false, t)) << "a first fix is no recovery";

  const auto failed = notices.update(status(SourceState::Reconnecting, "Connection reset"), false, t);
  ASSERT_TRUE(failed);
  EXPECT_TRUE(failed->failure);
  EXPECT_EQ(failed->text, "NMEA via TCP/IP: reconnecting in 5 s (Connection reset)");
  // Flapping: back, down, back within the quiet time is one notice when it ends, of the last state.
  EXPECT_FALSE(notices.update(status(SourceState::Connecting, "Connection reset"), false, t + 5s));
  EXPECT_FALSE(notices.update(status(SourceState::ReceivingNoFix, "Connection reset"), false, t + 6s));
  EXPECT_FALSE(notices.update(status(SourceState::Reconnecting, "Connection reset"), false, t + 8s));
  EXPECT_FALSE(notices.update(status(SourceState::ReceivingFix, "Connection reset"), false, t + 9s));
  EXPECT_TRUE(notices.pending());
  EXPECT_FALSE(notices.poll(false, t + 29s));
  const auto back = notices.poll(false, t + 30s);
  ASSERT_TRUE(back);
  EXPECT_FALSE(back->failure);
  EXPECT_EQ(back->text, "NMEA via TCP/IP: receiving, fix");
  EXPECT_FALSE(notices.pending());

  // A change that is undone within the quiet time is never told.
  EXPECT_FALSE(notices.update(status(SourceState::Reconnecting, "Connection reset"), false, t + 40s));
  EXPECT_FALSE(notices.update(status(SourceState::ReceivingFix, "Connection reset"), false, t + 41s));
  EXPECT_FALSE(notices.poll(false, t + 90s));
  EXPECT_FALSE(notices.pending());
}

TEST(SourceNotices, StopsByAFaultCountButTheUsersDoNot) {
  SourceNotices notices;
  Clock::TimePoint t{1h};
  // Switched off while an old fault's text is still in the status: nothing to tell.
  EXPECT_FALSE(notices.update(status(SourceState::ReceivingFix, "Connection reset"), false, t));
  EXPECT_FALSE(notices.update(status(SourceState::Stopped, "Connection reset"), false, t));
  // Stopped by a fault: the stop, then the fault (with the same text as an earlier one here).
  EXPECT_FALSE(notices.update(status(SourceState::ReceivingFix, "Device gone"), false, t + 1min));
  EXPECT_FALSE(notices.update(status(SourceState::Stopped, "Device gone"), false, t + 1min));
  const auto gone = notices.update(status(SourceState::Stopped, "Device gone"), false, t + 1min);
  ASSERT_TRUE(gone);
  EXPECT_EQ(gone->text, "NMEA via TCP/IP: stopped (Device gone)");
  // Back while the window is in sight: seen there, not told; the next failure is news again.
  EXPECT_FALSE(notices.update(status(SourceState::ReceivingFix, "Device gone"), true, t + 2min));
  EXPECT_TRUE(notices.update(status(SourceState::Reconnecting, "Device gone"), false, t + 3min));
}

}  // namespace
}  // namespace geomuxer
