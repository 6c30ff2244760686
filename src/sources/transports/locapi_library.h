#pragma once
// The location-service library (liblocapi), loaded at run time. A machine without it simply has
// no location source, so it is never linked.

#include <cstdint>
#include <string>

#include "locapi/locapi.h"

namespace geomuxer {

/// One loaded copy of the library. Loaded at most once per path and process and never unloaded
/// (the library may keep connections of its own). Calls are made from the main thread.
class LocapiLibrary {
 public:
  /// File name of the library.
  static constexpr const char* kFileName = "liblocapi.so";

  /// The library at `path` (empty: `defaultPath()`), loading it on first use. Null when it
  /// cannot be loaded or lacks one of the three entry points; a failed load is tried again on
  /// the next call.
  [[nodiscard]] static LocapiLibrary* load(const std::string& path);
  /// Beside the executable, else in ../lib from it, else where the build put it; the first of
  /// these that exists, or the first when none does.
  [[nodiscard]] static std::string defaultPath();

  [[nodiscard]] std::uint32_t init() const { return m_init(); }
  [[nodiscard]] bool query(std::uint32_t handle, locapi_Location& location) const {
    return m_query(handle, &location) != 0;
  }
  void done(std::uint32_t handle) const { m_done(handle); }
  /// Whether the connection still reaches the service; true when the library cannot tell.
  [[nodiscard]] bool connected(std::uint32_t handle) const { return m_connected == nullptr || m_connected(handle) != 0; }

  [[nodiscard]] const std::string& path() const { return m_path; }

 private:
  LocapiLibrary(std::string path, locapi_InitFunction initFn, locapi_QueryFunction queryFn, locapi_DoneFunction doneFn,
                locapi_ConnectedFunction connectedFn)
      : m_path(std::move(path)), m_init(initFn), m_query(queryFn), m_done(doneFn), m_connected(connectedFn) {}

  std::string m_path;
  locapi_InitFunction m_init;
  locapi_QueryFunction m_query;
  locapi_DoneFunction m_done;
  locapi_ConnectedFunction m_connected;  // optional
};

}  // namespace geomuxer
