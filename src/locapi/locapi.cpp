// locapi backed by gpsd: each handle is one client connection to gpsd, watching its reports;
// a query drains what has arrived without waiting and answers with the newest fix.
//
// The gpsd to use comes from GEOMUXER_GPSD ("host:port", "host", ":port", "[v6-address]:port");
// the default is localhost:2947.

#include "locapi/locapi.h"

#include <gps.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace {

using SteadyClock = std::chrono::steady_clock;

// A fix older than this is not reported: the receiver or gpsd has stopped delivering.
constexpr auto kFixLifetime = std::chrono::seconds(5);
// A broken connection is reopened at most this often, from within queries.
constexpr auto kReconnectInterval = std::chrono::seconds(5);

struct Endpoint {
  std::string host = "localhost";
  std::string port = DEFAULT_GPSD_PORT;
};

Endpoint configuredEndpoint() {
  Endpoint endpoint;
  const char* value = std::getenv("GEOMUXER_GPSD");
  if (value == nullptr || *value == '\0') return endpoint;
  std::string_view text(value);
  std::string_view host = text;
  std::string_view port;
  if (text.front() == '[') {
    const auto close = text.find(']');
    if (close != std::string_view::npos) {
      host = text.substr(1, close - 1);
      if (close + 1 < text.size() && text[close + 1] == ':') port = text.substr(close + 2);
    }
  } else if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (!host.empty()) endpoint.host = host;
  if (!port.empty()) endpoint.port = port;
  return endpoint;
}

class Connection {
 public:
  Connection() : m_endpoint(configuredEndpoint()) {}
  ~Connection() { disconnect(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool connect() {
    m_lastAttempt = SteadyClock::now();
    if (gps_open(m_endpoint.host.c_str(), m_endpoint.port.c_str(), &m_data) != 0) return false;
    m_open = true;
    if (gps_stream(&m_data, WATCH_ENABLE | WATCH_JSON, nullptr) != 0) {
      disconnect();
      return false;
    }
    return true;
  }

  [[nodiscard]] bool connected() const { return m_open; }

  bool query(locapi_Location& location) {
    if (!m_open && SteadyClock::now() - m_lastAttempt >= kReconnectInterval) (void)connect();
    if (m_open) drain();
    if (!m_fix || SteadyClock::now() - m_fixArrived > kFixLifetime) return false;
    location = *m_fix;
    return true;
  }

 private:
  void drain() {
    // Bounded, so that a gpsd flooding reports cannot hold the caller.
    for (int i = 0; i < 64 && gps_waiting(&m_data, 0); ++i) {
      m_data.set = 0;
      if (gps_read(&m_data, nullptr, 0) < 0) {
        disconnect();
        return;
      }
      if ((m_data.set & LATLON_SET) != 0 && m_data.fix.mode >= MODE_2D) take(m_data.fix);
    }
  }

  void take(const gps_fix_t& fix) {
    if (!std::isfinite(fix.latitude) || !std::isfinite(fix.longitude)) return;
    locapi_Location location{};
    std::tm parts{};
    const std::time_t seconds = fix.time.tv_sec;
    if (fix.time.tv_sec <= 0 || gmtime_r(&seconds, &parts) == nullptr) return;
    location.year = static_cast<uint16_t>(parts.tm_year + 1900);
    location.month = static_cast<uint16_t>(parts.tm_mon + 1);
    location.dayOfWeek = static_cast<uint16_t>(parts.tm_wday);
    location.day = static_cast<uint16_t>(parts.tm_mday);
    location.hour = static_cast<uint16_t>(parts.tm_hour);
    location.minute = static_cast<uint16_t>(parts.tm_min);
    location.second = static_cast<uint16_t>(parts.tm_sec > 59 ? 59 : parts.tm_sec);
    location.milliseconds = static_cast<uint16_t>(fix.time.tv_nsec / 1'000'000);
    location.latitude = fix.latitude;
    location.longitude = fix.longitude;
    location.errorRadius = fix.eph;
    const bool hasAltitude = fix.mode >= MODE_3D && std::isfinite(fix.altMSL);
    location.altitude = hasAltitude ? fix.altMSL : NAN;
    location.altitudeError = hasAltitude ? fix.epv : NAN;
    m_fix = location;
    m_fixArrived = SteadyClock::now();
  }

  void disconnect() {
    if (!m_open) return;
    (void)gps_stream(&m_data, WATCH_DISABLE, nullptr);
    (void)gps_close(&m_data);
    m_open = false;
  }

  Endpoint m_endpoint;
  gps_data_t m_data{};
  bool m_open = false;
  SteadyClock::time_point m_lastAttempt{};
  std::optional<locapi_Location> m_fix;
  SteadyClock::time_point m_fixArrived{};
};

// Handles are small numbers rather than addresses: they are 32 bits wide.
struct Registry {
  std::mutex mutex;
  std::map<uint32_t, std::unique_ptr<Connection>> connections;
  uint32_t next = 1;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

extern "C" {

uint32_t locapi_Init(void) {
  try {
    auto connection = std::make_unique<Connection>();
    if (!connection->connect()) return 0;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    uint32_t handle = r.next++;
    if (handle == 0) handle = r.next++;
    r.connections.emplace(handle, std::move(connection));
    return handle;
  } catch (...) {
    return 0;
  }
}

int32_t locapi_Query(uint32_t handle, locapi_Location* location) {
  if (location == nullptr) return 0;
  try {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    const auto it = r.connections.find(handle);
    if (it == r.connections.end()) return 0;
    return it->second->query(*location) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int32_t locapi_Connected(uint32_t handle) {
  try {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    const auto it = r.connections.find(handle);
    return it != r.connections.end() && it->second->connected() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

void locapi_Done(uint32_t handle) {
  try {
    Registry& r = registry();
    std::unique_ptr<Connection> closing;
    {
      std::lock_guard lock(r.mutex);
      const auto it = r.connections.find(handle);
      if (it == r.connections.end()) return;
      closing = std::move(it->second);
      r.connections.erase(it);
    }
  } catch (...) {
    // Nothing to report through this interface.
  }
}

}  // extern "C"
