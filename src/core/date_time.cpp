#include "core/date_time.h"

#include <chrono>
#include <algorithm>
#include <charconv>
#include <cmath>

#include "core/number_text.h"

namespace geomuxer {

namespace chr = std::chrono;

std::optional<DateTime> makeDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  const chr::year_month_day ymd{chr::year{year}, chr::month{static_cast<unsigned>(month)},
                                chr::day{static_cast<unsigned>(day)}};
  if (!ymd.ok()) return std::nullopt;
  const auto sinceUnix = chr::sys_days{ymd}.time_since_epoch().count();
  return static_cast<DateTime>(sinceUnix + kUnixEpochDays);
}

std::optional<DateTime> makeTime(int hour, int minute, int second, int millisecond) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999)
    return std::nullopt;
  const std::int64_t ms = ((hour * 60LL + minute) * 60 + second) * 1000 + millisecond;
  return static_cast<DateTime>(ms) / static_cast<DateTime>(kMsPerDay);
}

std::optional<DateTime> makeDateTime(const DateTimeParts& p) {
  const auto date = makeDate(p.year, p.month, p.day);
  const auto time = makeTime(p.hour, p.minute, p.second, p.millisecond);
  if (!date || !time) return std::nullopt;
  return *date + *time;
}

std::int64_t toUnixMillis(DateTime value) {
  return std::llround((value - static_cast<DateTime>(kUnixEpochDays)) * static_cast<DateTime>(kMsPerDay));
}

DateTime fromUnixMillis(std::int64_t millis) {
  const std::int64_t days = millis >= 0 ? millis / kMsPerDay : -((-millis + kMsPerDay - 1) / kMsPerDay);
  const std::int64_t rest = millis - days * kMsPerDay;
  return static_cast<DateTime>(days + kUnixEpochDays) +
         static_cast<DateTime>(rest) / static_cast<DateTime>(kMsPerDay);
}

DateTimeParts splitDateTime(DateTime value) {
  const std::int64_t millis = toUnixMillis(value);
  std::int64_t days = millis / kMsPerDay;
  std::int64_t ms = millis % kMsPerDay;
  if (ms < 0) {
    ms += kMsPerDay;
    --days;
  }
  const chr::year_month_day ymd{chr::sys_days{chr::days{days}}};
  DateTimeParts p;
  p.year = static_cast<int>(ymd.year());
  p.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  p.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  p.millisecond = static_cast<int>(ms % 1000);
  ms /= 1000;
  p.second = static_cast<int>(ms % 60);
  ms /= 60;
  p.minute = static_cast<int>(ms % 60);
  p.hour = static_cast<int>(ms / 60);
  return p;
}

DateTime nowUtc() {
  const auto now = chr::time_point_cast<chr::milliseconds>(chr::system_clock::now());
  return fromUnixMillis(now.time_since_epoch().count());
}

namespace {

void appendPadded(std::string& out, int value, int width) {
  if (value < 0) {
    out += '-';
    value = -value;
  }
  char digits[12];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  const auto count = static_cast<int>(end - digits);
  for (int i = count; i < width; ++i) out += '0';
  out.append(digits, end);
}

int fieldToInt(std::string_view field) {
  const auto v = parseInt(field);
  if (!v) throw ConversionError("'" + std::string(field) + "' is not a valid integer value");
  return *v;
}

// Offset of a zone text "hh:mm" in milliseconds; a text that is no time of day counts as UTC.
std::int64_t zoneOffsetMs(std::string_view zone) {
  // "hhmm" reads like "hh:mm".
  const auto colon = zone.find(':');
  std::string_view hours, minutes;
  if (colon != std::string_view::npos) {
    hours = zone.substr(0, colon);
    minutes = zone.substr(colon + 1);
  } else if (zone.size() == 4) {
    hours = zone.substr(0, 2);
    minutes = zone.substr(2);
  } else {
    return 0;
  }
  const auto h = parseInt(hours);
  const auto m = parseInt(minutes);
  if (!h || !m || *h < 0 || *h > 23 || *m < 0 || *m > 59) return 0;
  return (*h * 60LL + *m) * 60'000;
}

}  // namespace

std::string formatDateTimeText(DateTime value, char separator, std::string_view suffix) {
  const DateTimeParts p = splitDateTime(value);
  std::string out;
  out.reserve(19 + suffix.size());
  appendPadded(out, p.year, 4);
  out += '-';
  appendPadded(out, p.month, 2);
  out += '-';
  appendPadded(out, p.day, 2);
  out += separator;
  appendPadded(out, p.hour, 2);
  out += ':';
  appendPadded(out, p.minute, 2);
  out += ':';
  appendPadded(out, p.second, 2);
  out += suffix;
  return out;
}

std::string formatIsoTime(DateTime value) { return formatDateTimeText(value, 'T', "Z"); }

std::string formatIsoTimeMs(DateTime value) {
  const int ms = splitDateTime(value).millisecond;
  if (ms == 0) return formatIsoTime(value);
  std::string suffix = ".";
  appendPadded(suffix, ms, 3);
  suffix += 'Z';
  return formatDateTimeText(value, 'T', suffix);
}

DateTime parseIsoTime(std::string_view text) {
  const auto dash1 = text.find('-');
  if (dash1 == std::string_view::npos) return 0.0;
  const auto dash2 = text.find('-', dash1 + 1);
  const auto tee = text.find('T', dash1 + 1);
  if (dash2 == std::string_view::npos || tee == std::string_view::npos || dash2 > tee) return 0.0;
  const auto colon1 = text.find(':', tee + 1);
  if (colon1 == std::string_view::npos) return 0.0;
  const auto colon2 = text.find(':', colon1 + 1);
  if (colon2 == std::string_view::npos) return 0.0;

  const std::string_view rest = text.substr(colon2 + 1);
  auto zoneAt = rest.find('Z');
  if (zoneAt == std::string_view::npos) zoneAt = rest.find('+');
  if (zoneAt == std::string_view::npos) zoneAt = rest.find('-');
  if (zoneAt == std::string_view::npos) return 0.0;

  const int year = fieldToInt(text.substr(0, dash1));
  const int month = fieldToInt(text.substr(dash1 + 1, dash2 - dash1 - 1));
  const int day = fieldToInt(text.substr(dash2 + 1, tee - dash2 - 1));
  const int hour = fieldToInt(text.substr(tee + 1, colon1 - tee - 1));
  const int minute = fieldToInt(text.substr(colon1 + 1, colon2 - colon1 - 1));

  const std::string_view secondsText = rest.substr(0, zoneAt);
  const auto seconds = parseDouble(secondsText);
  if (!seconds || *seconds < 0.0)
    throw ConversionError("'" + std::string(secondsText) + "' is not a valid floating point value");
  const double whole = std::floor(*seconds);
  // Truncate to milliseconds; the small bias keeps ".7" from reading as 699 ms.
  const int millis = static_cast<int>(std::floor((*seconds - whole) * 1000.0 + 1e-7));

  const auto date = makeDate(year, month, day);
  if (!date) throw ConversionError("Invalid argument to date encode");
  const int second = static_cast<int>(std::min(whole, 99.0));
  if (!makeTime(hour, minute, second, std::min(millis, 999))) throw ConversionError("Invalid argument to time encode");

  std::int64_t offset = 0;
  const char designator = rest[zoneAt];
  if (designator != 'Z') {
    offset = zoneOffsetMs(rest.substr(zoneAt + 1));
    if (designator == '-') offset = -offset;
  }
  // Whole milliseconds, so that the value equals the one built from the UTC fields.
  const std::int64_t ms = toUnixMillis(*date) + ((hour * 60LL + minute) * 60 + second) * 1000 + millis - offset;
  return fromUnixMillis(ms);
}

}  // namespace geomuxer
