#pragma once
// The operating system's location service as a source, reached through liblocapi (which asks
// gpsd on Linux).

#include <string>

#include "sources/trackers/gps_tracker.h"

namespace geomuxer {

/// "Location Service" ("Windows" on Windows). Offered whenever the library loads, also while the
/// service is not running yet: starting then fails with a fault that may pass. Main thread only.
class GpsTrackerLocapi : public GpsTracker {
  Q_OBJECT

 public:
  using GpsTracker::GpsTracker;
  ~GpsTrackerLocapi() override;

  [[nodiscard]] std::string displayName() const override;
  /// Loads the library (once); never throws.
  [[nodiscard]] bool isAvailable() const override;

  /// The library to load; empty (the default) means the usual place beside the program.
  [[nodiscard]] const std::string& libraryPath() const { return m_libraryPath; }
  void setLibraryPath(std::string path) { m_libraryPath = std::move(path); }
  /// Milliseconds between polls, from the next start on (default 1000).
  [[nodiscard]] int interval() const { return m_interval; }
  void setInterval(int milliseconds) { m_interval = milliseconds; }

 protected:
  [[nodiscard]] std::unique_ptr<GpsInterface> createInterface() override;

 private:
  std::string m_libraryPath;
  int m_interval = 1000;
};

}  // namespace geomuxer
