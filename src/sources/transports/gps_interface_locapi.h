#pragma once
// Positions from the location-service library, polled on a main-thread timer.

#include <cstdint>
#include <optional>
#include <string>

#include "sources/transports/gps_timer_interface.h"
#include "sources/transports/locapi_library.h"

namespace geomuxer {

/// Location-service transport. `open` opens a connection to the service and fails (`refused`)
/// when the service is not running, so that the source is tried again once it is; `close` ends
/// it; every tick asks for the newest reading, and a connection that has lost the service ends
/// with a `reset` fault. Main thread only.
class GpsInterfaceLocapi : public GpsTimerInterface {
  Q_OBJECT

 public:
  /// Loads the library at `libraryPath` (empty: the default place); throws InterfaceError
  /// "Unable to load library <file name>" when it cannot.
  explicit GpsInterfaceLocapi(const std::string& libraryPath = {}, QObject* parent = nullptr);
  ~GpsInterfaceLocapi() override;

  [[nodiscard]] std::string name() const override { return "LocationAPI"; }
  void open() override;
  void close() override;

  /// Throws InterfaceError "The location service is not running." when it cannot be reached.
  /// The service connection; 0 when there is none.
  [[nodiscard]] std::uint32_t connection() const { return m_connection; }

  /// The position a reading stands for: time, point, horizontal precision, altitude and its
  /// precision. Members the reading does not know (NaN) and a time that names no date are left
  /// out of the flags; no fix kind is set.
  [[nodiscard]] static PositionInfo toPosition(const locapi_Location& location);

 protected:
  void timerTick() override;

 private:
  LocapiLibrary* m_library;
  std::uint32_t m_connection = 0;
};

}  // namespace geomuxer
