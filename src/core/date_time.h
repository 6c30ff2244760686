#pragma once
// Date-time values: a double counting days since 1899-12-30 00:00, the fraction being the time of
// day. All times in positions and output texts are UTC.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace geomuxer {

using DateTime = double;

inline constexpr std::int64_t kMsPerDay = 86'400'000;
/// Day number of 1970-01-01.
inline constexpr std::int64_t kUnixEpochDays = 25'569;

struct DateTimeParts {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  friend bool operator==(const DateTimeParts&, const DateTimeParts&) = default;
};

/// The date's day number, or nothing for a day that does not exist (month 13, 30 February, year 0).
[[nodiscard]] std::optional<DateTime> makeDate(int year, int month, int day);
/// The fraction of a day, or nothing when a field is out of range (hour 24, minute 60, ...).
[[nodiscard]] std::optional<DateTime> makeTime(int hour, int minute, int second, int millisecond);
[[nodiscard]] std::optional<DateTime> makeDateTime(const DateTimeParts& parts);

/// Calendar fields of a value, rounded to the nearest millisecond.
[[nodiscard]] DateTimeParts splitDateTime(DateTime value);

/// Milliseconds since 1970-01-01 and back, rounded to the nearest millisecond.
[[nodiscard]] std::int64_t toUnixMillis(DateTime value);
[[nodiscard]] DateTime fromUnixMillis(std::int64_t millis);

/// The system clock in UTC.
[[nodiscard]] DateTime nowUtc();

/// "YYYY-MM-DDThh:mm:ssZ"; milliseconds are dropped.
[[nodiscard]] std::string formatIsoTime(DateTime value);
/// "YYYY-MM-DDThh:mm:ss.fffZ" when the time has a fraction of a second, else formatIsoTime.
[[nodiscard]] std::string formatIsoTimeMs(DateTime value);
/// "YYYY-MM-DD", `separator`, "hh:mm:ss", then `suffix`; milliseconds are dropped.
[[nodiscard]] std::string formatDateTimeText(DateTime value, char separator, std::string_view suffix);

/// Reads "YYYY-MM-DDThh:mm:ss[.fff](Z|+hh:mm|-hh:mm|+hhmm|-hhmm)" and converts it to UTC.
/// A text lacking "-", "T", both ":" or a zone designator gives 0 (no date); a zone that does not
/// read as a time of day counts as UTC. Throws ConversionError when a date or time field is not a
/// number or names no existing date or time.
[[nodiscard]] DateTime parseIsoTime(std::string_view text);

}  // namespace geomuxer
