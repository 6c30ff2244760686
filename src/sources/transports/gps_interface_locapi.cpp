#include "sources/transports/gps_interface_locapi.h"

#include <cmath>
#include <filesystem>

namespace geomuxer {

namespace {

LocapiLibrary* loadOrThrow(const std::string& path) {
  LocapiLibrary* library = LocapiLibrary::load(path);
  if (library == nullptr) {
    const std::string shown = path.empty() ? std::string(LocapiLibrary::kFileName)
                                           : std::filesystem::path(path).filename().string();
    // Trying again finds the same files: only installing the library can mend this.
    throw InterfaceError(TransportFault{FaultKind::refused, "Unable to load library " + shown, true});
  }
  return library;
}

}  // namespace

GpsInterfaceLocapi::GpsInterfaceLocapi(const std::string& libraryPath, QObject* parent)
    : GpsTimerInterface(parent), m_library(loadOrThrow(libraryPath)) {}

GpsInterfaceLocapi::~GpsInterfaceLocapi() { close(); }

void GpsInterfaceLocapi::open() {
  if (m_connection == 0) m_connection = m_library->init();
  if (m_connection == 0) throw InterfaceError("The location service is not running.");
  GpsTimerInterface::open();
}

void GpsInterfaceLocapi::close() {
  GpsTimerInterface::close();
  if (m_connection != 0) {
    m_library->done(m_connection);
    m_connection = 0;
  }
}

void GpsInterfaceLocapi::timerTick() {
  if (m_connection == 0) return;
  locapi_Location location{};
  if (m_library->query(m_connection, location)) doPosition(toPosition(location));
  if (!isActive() || m_connection == 0 || m_library->connected(m_connection)) return;
  // The service went away (gpsd stopped): end this connection, a new one is opened on retry.
  close();
  reportFault({FaultKind::reset, "The location service went away.", false});
}

PositionInfo GpsInterfaceLocapi::toPosition(const locapi_Location& l) {
  PositionInfo p;
  const std::optional<DateTime> time = makeDateTime(
      {l.year, l.month, l.day, l.hour, l.minute, l.second, l.milliseconds});
  if (time) {
    p.time = *time;
    p.fields.include(defTime);
  }
  if (std::fabs(l.latitude) <= 90.0 && std::fabs(l.longitude) <= 180.0) {  // false for NaN too
    p.x = l.longitude;
    p.y = l.latitude;
    p.fields.include(defXY);
  }
  const std::pair<DefField, double> optional[] = {
      {defXYPrec, l.errorRadius}, {defAltitude, l.altitude}, {defAltitudePrec, l.altitudeError}};
  float* const members[] = {&p.xyPrec, &p.altitude, &p.altitudePrec};
  for (std::size_t i = 0; i < std::size(optional); ++i) {
    const auto [field, value] = optional[i];
    // Values beyond the float range are as unknown as NaN.
    if (!std::isfinite(value) || std::fabs(value) > 1e30) continue;
    *members[i] = static_cast<float>(value);
    p.fields.include(field);
  }
  return p;
}

}  // namespace geomuxer
