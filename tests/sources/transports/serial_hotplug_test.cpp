// A serial receiver unplugged and plugged in again, with pseudo-terminals behind a symbolic link
// as /dev/serial/by-id has them: the watcher sees the link come back and the source re-opens the
// same configured path.

#include <gtest/gtest.h>

#include <QSignalSpy>

#include <filesystem>
#include <memory>
#include <vector>

#include "sources/trackers/gps_tracker_nmea_com.h"
#include "sources/transports/device_path_watcher.h"
#include "sources/transports/gps_interface_com.h"
#include "support/pty_pair.h"
#include "support/qt_event_loop.h"
#include "support/temp_dir.h"

namespace geomuxer {
namespace {

namespace fs = std::filesystem;
using test::PtyPair;
using test::qtApp;
using test::waitUntil;
using namespace std::chrono_literals;

constexpr const char* kRmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";

// Points `link` at `target` in one step, as udev does (a new link renamed over the old one).
void relink(const fs::path& link, const std::string& target) {
  const fs::path fresh = link.string() + ".new";
  fs::remove(fresh);
  fs::create_symlink(target, fresh);
  fs::rename(fresh, link);
}

class SerialHotplugTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qtApp();
    if (!first->ok()) GTEST_SKIP() << "no pseudo-terminal available";
    fs::create_directories(byId);
    relink(link, first->slaveName());
  }

  test::TempDir dir;
  fs::path byId = dir.path() / "serial" / "by-id";
  fs::path link = byId / "usb-Bench_GPS_receiver-if00-port0";
  std::unique_ptr<PtyPair> first = std::make_unique<PtyPair>();
};

TEST_F(SerialHotplugTest, WatchedFoldersFollowLinksAndMissingFolders) {
  const auto folders = DevicePathWatcher::foldersFor(link.string());
  const fs::path pts = fs::path(first->slaveName()).parent_path();
  ASSERT_EQ(folders.size(), 2u);
  EXPECT_EQ(folders.at(byId.string()), std::set<std::string>{link.filename().string()});
  EXPECT_EQ(folders.at(pts.string()), std::set<std::string>{fs::path(first->slaveName()).filename().string()});

  // udev removes the folder with the last adapter: the nearest folder above is watched instead.
  const auto missing = DevicePathWatcher::foldersFor((dir.path() / "gone" / "by-id" / "x").string());
  ASSERT_EQ(missing.size(), 1u);
  EXPECT_EQ(missing.at(dir.path().string()), std::set<std::string>{"gone"});
}

TEST_F(SerialHotplugTest, StableNamesListTheLinksThatLeadToADevice) {
  fs::create_symlink(dir.path() / "nothing", byId / "usb-dangling");
  const std::vector<GpsInterfaceCom::StableName> names = GpsInterfaceCom::stableNames(byId.string());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].link, link.string());
  EXPECT_EQ(names[0].device, fs::path(first->slaveName()).filename().string());
  EXPECT_TRUE(GpsInterfaceCom::stableNames((dir.path() / "none").string()).empty());
}

TEST_F(SerialHotplugTest, UnpluggedReceiverIsReopenedAtTheSamePathWhenItComesBack) {
  GpsTrackerNmeaCom tracker;
  tracker.setPort(link.string());
  std::vector<PositionInfo> positions;
  QObject::connect(&tracker, &GpsTracker::positionReceived, [&](const PositionInfo& p) { positions.push_back(p); });
  QSignalSpy stopped(&tracker, &GpsTracker::stopped);
  tracker.start();
  ASSERT_TRUE(first->write(kRmc));
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 1; }));

  // Unplugged: the port fails, the source waits, the link is left dangling for now.
  DevicePathWatcher watcher(link.string());
  if (!watcher.watching()) GTEST_SKIP() << "no inotify on this machine";
  QSignalSpy appeared(&watcher, &DevicePathWatcher::appeared);
  first.reset();
  ASSERT_TRUE(waitUntil([&] { return tracker.status().state == SourceState::Reconnecting; }));
  EXPECT_TRUE(tracker.isActive());
  EXPECT_FALSE(watcher.present());

  // The whole by-id folder goes, then comes back with a link to another terminal.
  fs::remove_all(byId.parent_path());
  test::spin(50ms);
  EXPECT_EQ(appeared.count(), 0);
  PtyPair second;
  ASSERT_TRUE(second.ok());
  fs::create_directories(byId);
  relink(link, second.slaveName());
  ASSERT_TRUE(waitUntil([&] { return appeared.count() > 0; }, 5s)) << "the new link is seen";
  EXPECT_TRUE(watcher.present());

  // The source's own watch has seen it too and opened the configured path again.
  ASSERT_TRUE(waitUntil([&] { return tracker.status().state == SourceState::WaitingForData; }, 2s));
  EXPECT_EQ(tracker.port(), link.string());
  ASSERT_TRUE(second.write(kRmc));
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 2; }));
  EXPECT_EQ(tracker.status().reconnects, 1u);
  EXPECT_EQ(stopped.count(), 0);

  // A device node that comes back behind an unchanged link is seen too.
  tracker.stop();
  PtyPair third;
  ASSERT_TRUE(third.ok());
  const fs::path node = dir.path() / "node";
  relink(node, third.slaveName());
  relink(link, node.string());
  DevicePathWatcher chained(link.string());
  QSignalSpy chainedAppeared(&chained, &DevicePathWatcher::appeared);
  fs::remove(node);
  test::spin(50ms);
  EXPECT_FALSE(chained.present());
  relink(node, third.slaveName());
  ASSERT_TRUE(waitUntil([&] { return chainedAppeared.count() > 0; }, 5s));
}

}  // namespace
}  // namespace geomuxer
