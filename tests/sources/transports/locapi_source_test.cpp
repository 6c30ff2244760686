// The location source with stand-ins for the location-service library: missing, unreachable and
// working.

#include <gtest/gtest.h>

#include <QSignalSpy>

#include <dlfcn.h>

#include <cmath>
#include <vector>

#include "support/qt_event_loop.h"
#include "sources/transports/gps_interface_locapi.h"
#include "sources/trackers/gps_tracker_locapi.h"
#include "sources/transports/locapi_library.h"

namespace geomuxer {
namespace {

using test::qtApp;
using test::spin;
using test::waitUntil;
using namespace std::chrono_literals;

struct Counts {
  int inits = 0;
  int dones = 0;
  int queries = 0;
};

// Reads the stand-in's call counters from the copy the program loaded.
Counts counts(const char* path) {
  Counts c;
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return c;
  using CountsFunction = void (*)(int*, int*, int*);
  auto read = reinterpret_cast<CountsFunction>(dlsym(handle, "standin_counts"));
  if (read != nullptr) read(&c.inits, &c.dones, &c.queries);
  dlclose(handle);
  return c;
}

class LocapiSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qtApp();
    tracker.setInterval(10);
    QObject::connect(&tracker, &GpsTracker::positionReceived,
                     [this](const PositionInfo& p) { positions.push_back(p); });
  }

  GpsTrackerLocapi tracker;
  std::vector<PositionInfo> positions;
};

TEST_F(LocapiSourceTest, MissingLibrary) {
  tracker.setLibraryPath(GEOMUXER_BINARY_DIR "/no-such-dir/liblocapi-missing.so");
  EXPECT_FALSE(tracker.isAvailable());
  QSignalSpy started(&tracker, &GpsTracker::started);
  try {
    tracker.start();
    ADD_FAILURE() << "started without its library";
  } catch (const InterfaceError& e) {
    EXPECT_STREQ(e.what(), "Unable to load library liblocapi-missing.so");
    EXPECT_TRUE(e.fault().terminal) << "a missing library does not come back by retrying";
  }
  EXPECT_FALSE(tracker.isActive());
  EXPECT_EQ(started.count(), 0);
  EXPECT_EQ(tracker.displayName(), "Location Service");
}

// Starts or stops the failing stand-in's service.
void setRunning(bool running) {
  void* handle = dlopen(LOCAPI_FAILING_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  auto set = reinterpret_cast<void (*)(int)>(dlsym(handle, "standin_setRunning"));
  ASSERT_NE(set, nullptr);
  set(running ? 1 : 0);
  dlclose(handle);
}

// The service is started after the source, stops and starts again: the source runs throughout
// and positions resume each time.
TEST_F(LocapiSourceTest, ServiceStartedLateOrGoneIsWaitedFor) {
  tracker.setLibraryPath(LOCAPI_FAILING_PATH);
  EXPECT_TRUE(tracker.isAvailable()) << "offered before the service runs";
  QSignalSpy faults(&tracker, &GpsTracker::faulted);
  QSignalSpy stopped(&tracker, &GpsTracker::stopped);
  tracker.start();
  EXPECT_TRUE(tracker.isActive());
  ASSERT_EQ(faults.count(), 1);
  EXPECT_EQ(faults.at(0).at(0).value<TransportFault>(),
            (TransportFault{FaultKind::refused, "The location service is not running.", false}));
  EXPECT_EQ(counts(LOCAPI_FAILING_PATH).queries, 0) << "no connection, no queries";

  setRunning(true);
  ASSERT_TRUE(waitUntil([&] { return !positions.empty(); }));
  setRunning(false);
  ASSERT_TRUE(waitUntil([&] { return tracker.status().lastError == "The location service went away."; }));
  EXPECT_EQ(counts(LOCAPI_FAILING_PATH).dones, 1) << "the lost connection is closed";
  const std::size_t before = positions.size();
  setRunning(true);
  ASSERT_TRUE(waitUntil([&] { return positions.size() > before; }));
  EXPECT_EQ(tracker.status().reconnects, 2u);
  EXPECT_EQ(stopped.count(), 0);
  tracker.stop();
}

TEST_F(LocapiSourceTest, ReadingsBecomePositionsAndConnectionsArePaired) {
  tracker.setLibraryPath(LOCAPI_STANDIN_PATH);
  ASSERT_TRUE(tracker.isAvailable());
  Counts c = counts(LOCAPI_STANDIN_PATH);
  EXPECT_EQ(c.inits, 0) << "offering the source opens no connection";

  tracker.start();
  EXPECT_EQ(tracker.gpsInterface()->name(), "LocationAPI");
  ASSERT_TRUE(waitUntil([&] { return positions.size() >= 3; }));
  const PositionInfo& p = positions.front();
  EXPECT_EQ(p.y, 48.1);
  EXPECT_EQ(p.x, 11.5f);
  EXPECT_EQ(p.xyPrec, 12.5f);
  EXPECT_EQ(p.altitude, 530.25f);
  EXPECT_EQ(splitDateTime(p.time), (DateTimeParts{2024, 5, 6, 7, 8, 9, 250}));
  // The unknown altitude error stays out; without it the flags would be exactly 0x001F.
  EXPECT_EQ(p.fields, (DefFields{defTime, defXY, defXYPrec, defAltitude}));
  EXPECT_EQ(p.fix, fixInvalid);
  c = counts(LOCAPI_STANDIN_PATH);
  EXPECT_GT(c.queries, static_cast<int>(positions.size())) << "queries that find nothing deliver nothing";

  tracker.stop();
  tracker.start();
  tracker.stop();
  c = counts(LOCAPI_STANDIN_PATH);
  EXPECT_EQ(c.inits, 2);
  EXPECT_EQ(c.dones, 2);
  EXPECT_EQ(LocapiLibrary::load(LOCAPI_STANDIN_PATH), LocapiLibrary::load(LOCAPI_STANDIN_PATH))
      << "loaded once, for good";
}

TEST(LocapiConversion, FullReadingCarriesTheFiveFields) {
  const locapi_Location full{2023, 12, 0, 31, 23, 59, 59, 999, -33.85, 151.2, 4.0, 12.0, 6.0};
  const PositionInfo p = GpsInterfaceLocapi::toPosition(full);
  EXPECT_EQ(p.fields.bits(), 0x001F);
  EXPECT_EQ(p.y, -33.85);
  EXPECT_EQ(p.altitudePrec, 6.0f);

  const locapi_Location odd{2023, 13, 0, 31, 23, 59, 59, 0, 91.0, 151.2, INFINITY, 1e40, NAN};
  EXPECT_TRUE(GpsInterfaceLocapi::toPosition(odd).fields.empty())
      << "a month 13, a latitude beyond the pole and values no float can hold are all left out";
}

}  // namespace
}  // namespace geomuxer
