#include "server/program_status.h"

#include <algorithm>
#include <cstdio>

#include "core/date_time.h"

namespace geomuxer {

namespace {

std::string isoTimeWithMs(std::int64_t unixMs) {
  // Always with milliseconds, also for a whole second, so that readers parse one shape.
  const DateTime time = fromUnixMillis(unixMs);
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, ".%03dZ", splitDateTime(time).millisecond);
  return formatDateTimeText(time, 'T', suffix);
}

/// Tenths of a second, rounded, as "S.t"; integer arithmetic keeps it free of the process locale.
std::string secondsWithOneDecimal(std::int64_t ms) {
  const std::int64_t tenths = (std::max<std::int64_t>(ms, 0) + 50) / 100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

}  // namespace

std::string jsonString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string statusJson(const ProgramStatus& status, std::int64_t nowMs) {
  std::string out = "{\"source\":" + jsonString(status.source);
  out += ",\"state\":" + jsonString(status.state.empty() ? std::string_view("stopped") : status.state);
  out += ",\"lastPositionTime\":";
  out += status.lastPositionMs ? "\"" + isoTimeWithMs(*status.lastPositionMs) + "\"" : "null";
  out += ",\"lastByteAgeSeconds\":";
  out += status.lastByteMs ? secondsWithOneDecimal(nowMs - *status.lastByteMs) : "null";
  out += ",\"epochs\":" + std::to_string(status.epochs);
  out += ",\"droppedLines\":" + std::to_string(status.droppedLines);
  out += ",\"reconnects\":" + std::to_string(status.reconnects);
  out += ",\"broadcastClients\":" + std::to_string(status.broadcastClients);
  out += ",\"lastError\":";
  out += status.lastError.empty() ? "null" : jsonString(status.lastError);
  out += "}\n";
  return out;
}

StatusBoard::StatusBoard(const Clock& clock) : m_clock(clock) {}

void StatusBoard::publish(ProgramStatus status) {
  std::lock_guard lock(m_mutex);
  m_status = std::move(status);
}

ProgramStatus StatusBoard::snapshot() const {
  std::lock_guard lock(m_mutex);
  return m_status;
}

std::string StatusBoard::json() const {
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(m_clock.now().time_since_epoch()).count();
  return statusJson(snapshot(), now);
}

}  // namespace geomuxer
