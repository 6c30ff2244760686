#pragma once
// The two policies of a supervised source, as plain values that can be tested without a clock or
// Qt: how long to wait before the next attempt, and which failures deserve a log line.

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>

namespace geomuxer {

/// Exponential backoff with jitter: the first wait is `first`, each failed attempt doubles it up
/// to `longest`, and every wait is spread by up to ±`jitter` of its length, so that many sources
/// (or many copies of this program) that failed together do not retry in step.
class RetryBackoff {
 public:
  using Duration = std::chrono::milliseconds;

  static constexpr Duration kFirst{500};
  static constexpr Duration kLongest{30'000};
  static constexpr double kJitter = 0.2;

  explicit RetryBackoff(std::uint32_t seed = std::random_device{}()) : m_random(seed) {}

  /// The wait before the next attempt; the one after it will be twice as long (up to the cap).
  [[nodiscard]] Duration next();
  /// A successful attempt: the next failure waits `kFirst` again.
  void reset() { m_base = kFirst; }
  /// The wait `next` would give without jitter.
  [[nodiscard]] Duration base() const { return m_base; }

 private:
  Duration m_base = kFirst;
  std::minstd_rand m_random;
};

/// Lets the first event through, then at most one a `window`; what it holds back is counted for a
/// summary that the owner writes once the window has passed. Time is the caller's monotonic clock.
class EventThrottle {
 public:
  using Duration = std::chrono::milliseconds;
  using TimePoint = std::chrono::time_point<std::chrono::steady_clock, Duration>;

  static constexpr Duration kWindow{60'000};

  /// True when this event gets its own line; false when it is only counted.
  bool admit(TimePoint now);
  /// How many events were held back since the last line; the count starts again from zero and
  /// the summary counts as the window's line.
  std::uint64_t takeHeldBack(TimePoint now);
  [[nodiscard]] std::uint64_t heldBack() const { return m_heldBack; }
  /// When the summary of what is held back is due (meaningful while `heldBack` is above zero).
  [[nodiscard]] TimePoint summaryDue() const { return m_lastLine.value_or(TimePoint{}) + kWindow; }
  void reset() {
    m_lastLine.reset();
    m_heldBack = 0;
  }

 private:
  std::optional<TimePoint> m_lastLine;
  std::uint64_t m_heldBack = 0;
};

}  // namespace geomuxer
