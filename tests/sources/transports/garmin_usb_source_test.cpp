// The Garmin USB source against a simulated device behind the device interface, and the libusb
// backend on a machine without a Garmin receiver.

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QThread>

#include <numbers>
#include <vector>

#include "support/qt_event_loop.h"
#include "sources/fault_spy.h"
#include "sources/transports/garmin_usb_libusb.h"
#include "sources/transports/garmin_usb_link.h"
#include "sources/transports/garmin_usb_watch.h"
#include "sources/trackers/gps_tracker_garmin_usb.h"
#include "sources/transports/simulated_garmin_usb.h"

namespace geomuxer {
namespace {

using test::qtApp;
using test::SimulatedGarminUsb;
using test::waitUntil;
using namespace std::chrono_literals;

garmin::PvtRecord record(double latDegrees) {
  garmin::PvtRecord r;
  r.alt = 400.0f;
  r.fix = 2;
  r.tow = 3600.0;
  r.lat = latDegrees * std::numbers::pi / 180.0;
  r.lon = -std::numbers::pi / 2;
  r.east = -3.0f;
  r.weekNumberDays = 7;
  return r;
}

std::string commandBytes(std::uint16_t command) { return garmin::encodeUsbPacket(garmin::usbCommand(command)); }

class GarminUsbSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qtApp();
    tracker.setOpener(sim->opener(sim));
    tracker.setTiming({.replyTimeout = 2s, .readTimeout = 20ms, .restartInterval = 1s});
    QObject::connect(&tracker, &GpsTracker::positionReceived, [this](const PositionInfo& p) {
      positions.push_back(p);
      onMainThread = onMainThread && QThread::currentThread() == qtApp().thread();
    });
  }

  // Starts a source whose device does not open: it runs on, waiting for the device. Returns the
  // fault it reports.
  std::string startFailure() {
    QSignalSpy faults(&tracker, &GpsTracker::faulted);
    tracker.start();
    EXPECT_TRUE(tracker.isActive());
    EXPECT_EQ(tracker.status().state, SourceState::Reconnecting);
    tracker.stop();
    if (faults.count() != 1) {
      ADD_FAILURE() << "faults: " << faults.count();
      return {};
    }
    return test::faultAt(faults, 0).message;
  }

  std::shared_ptr<SimulatedGarminUsb> sim = std::make_shared<SimulatedGarminUsb>();
  GpsTrackerGarminUsb tracker;
  std::vector<PositionInfo> positions;
  bool onMainThread = true;
};

TEST_F(GarminUsbSourceTest, HandshakeThenRecordsFromBothPipes) {
  EXPECT_EQ(tracker.displayName(), "Garmin via USB");
  tracker.start();
  ASSERT_TRUE(tracker.isActive());
  auto* iface = qobject_cast<GpsInterfaceUsb*>(tracker.gpsInterface());
  ASSERT_NE(iface, nullptr);
  EXPECT_EQ(iface->name(), "USB");
  EXPECT_EQ(iface->product().product, 313);
  EXPECT_EQ(iface->product().softwareVersion, 300);
  EXPECT_EQ(iface->product().description, "Bench receiver");

  const std::vector<std::string> greeting = sim->writes();
  ASSERT_GE(greeting.size(), 3u);
  EXPECT_EQ(greeting[0], garmin::encodeUsbPacket({0, garmin::kUsbStartSession, {}}));
  EXPECT_EQ(greeting[1], garmin::encodeUsbPacket({20, garmin::kUsbProductRequest, {}}));
  EXPECT_EQ(greeting[2], commandBytes(garmin::kCommandStartPvt));

  sim->sendPvt(record(45.0), false);
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 1; }));
  sim->sendPvt(record(45.5), true);
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 2; }));
  // Packets that are not PVT records, or too short to be one, deliver nothing.
  sim->sendPacket({20, garmin::kUsbPvt, std::string(63, '\0')}, false);
  sim->sendPacket({20, 114, std::string(80, '\1')}, true);
  sim->sendPvt(record(46.0), false);
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 3; }));
  EXPECT_TRUE(onMainThread);

  EXPECT_FLOAT_EQ(positions[0].y, 45.0f);
  EXPECT_FLOAT_EQ(positions[0].x, -90.0f);
  EXPECT_FLOAT_EQ(positions[0].heading, 270.0f);
  EXPECT_EQ(positions[0].fix, fix2D);
  EXPECT_FLOAT_EQ(positions[1].y, 45.5f);
  EXPECT_FLOAT_EQ(positions[2].y, 46.0f);

  QSignalSpy stopped(&tracker, &GpsTracker::stopped);
  tracker.stop();
  EXPECT_EQ(stopped.count(), 1);
  EXPECT_EQ(sim->stopCommands(), 1);
  EXPECT_GE(sim->startCommands(), 2) << "open and the reader's first pass both ask for records";
}

TEST_F(GarminUsbSourceTest, MissingSilentAndUnopenableDevices) {
  tracker.setOpener([] { return std::unique_ptr<GarminUsbDevice>(); });
  EXPECT_EQ(startFailure(), "No GPS device connected.");

  tracker.setOpener([]() -> std::unique_ptr<GarminUsbDevice> {
    throw std::runtime_error("Can not open the Garmin USB device: Access denied (insufficient permissions)");
  });
  EXPECT_EQ(startFailure(), "Can not open the Garmin USB device: Access denied (insufficient permissions)");

  // A device that never answers is given up after the reply time-out.
  sim->answers = false;
  tracker.setOpener(sim->opener(sim));
  tracker.setTiming({.replyTimeout = 100ms, .readTimeout = 20ms, .restartInterval = 1s});
  EXPECT_EQ(startFailure(), "The GPS device does not answer.");

  // Nothing can be written to a device without a packet size, so it cannot answer either.
  auto sizeless = std::make_shared<SimulatedGarminUsb>();
  sizeless->packetSize = 0;
  tracker.setOpener(sizeless->opener(sizeless));
  EXPECT_EQ(startFailure(), "The GPS device does not answer.");
  EXPECT_TRUE(sizeless->writes().empty());
}

TEST_F(GarminUsbSourceTest, UnplugLeavesTheSourceWaitingForTheReceiver) {
  QSignalSpy stopped(&tracker, &GpsTracker::stopped);
  QSignalSpy faults(&tracker, &GpsTracker::faulted);
  tracker.start();
  sim->sendPvt(record(45.0), false);
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 1; }));
  sim->unplug();
  ASSERT_TRUE(waitUntil([&] { return tracker.status().state == SourceState::Reconnecting; }));
  EXPECT_TRUE(tracker.isActive());
  EXPECT_EQ(tracker.gpsInterface(), nullptr);
  test::spin(50ms);  // the interface is deleted from the event loop; nothing fires after that
  EXPECT_EQ(stopped.count(), 0);
  ASSERT_GE(faults.count(), 1);
  EXPECT_EQ(test::faultAt(faults, 0).kind, FaultKind::deviceGone);
  tracker.stop();
}

TEST_F(GarminUsbSourceTest, ReceiverSwitchedOnLateAndSilentForAWhileStreamsAgain) {
  sim->answerFrom = 3;
  sim->streamed = record(45.0);
  tracker.setTiming({.replyTimeout = 2s, .readTimeout = 20ms, .restartInterval = 100ms, .noAnswerAfter = 400ms});
  std::vector<std::string> notices;
  QObject::connect(&tracker, &GpsTracker::noticed, [&](const std::string& text) { notices.push_back(text); });
  tracker.start();
  ASSERT_TRUE(waitUntil([&] { return !positions.empty(); }, 5s));
  EXPECT_GE(sim->startCommands(), 3) << "the third start command is the first answered";
  notices.clear();  // what the late start said has arrived before the first record

  sim->setAnswers(false);
  ASSERT_TRUE(waitUntil([&] { return !notices.empty() && notices.back() == "no answer from the receiver"; }, 5s));
  const std::size_t before = positions.size();
  sim->setAnswers(true);
  ASSERT_TRUE(waitUntil([&] { return positions.size() > before; }, 5s)) << "streams again without a restart";
  const std::vector<std::string> expected{"no answer from the receiver", "the receiver answers again"};
  EXPECT_EQ(notices, expected);
  EXPECT_TRUE(tracker.isActive());
  tracker.stop();
}

TEST_F(GarminUsbSourceTest, ReceiverPluggedInAgainIsAnnouncedAndOpensAgain) {
  tracker.setWatchMaker(sim->watchMaker(sim));
  tracker.start();
  sim->sendPvt(record(45.0), false);
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 1; }));
  sim->unplug();
  ASSERT_TRUE(waitUntil([&] { return tracker.status().state == SourceState::Reconnecting; }));

  // Plugged in again: the source's watch sees it arrive and the source opens it at once.
  sim->plug();
  ASSERT_TRUE(waitUntil([&] { return tracker.status().state == SourceState::WaitingForData; }, 2s));
  EXPECT_EQ(tracker.status().reconnects, 1u);
  sim->sendPvt(record(45.5), false);
  ASSERT_TRUE(waitUntil([&] { return positions.size() == 2; }));
  EXPECT_FLOAT_EQ(positions[1].y, 45.5f);
  tracker.stop();
}

TEST(GarminUsbLink, ZeroLengthPacketEndsAWriteOfWholePackets) {
  const garmin::UsbPacket command = garmin::usbCommand(garmin::kCommandStartPvt);  // 14 bytes
  const garmin::UsbPacket sixtyFour{20, 99, std::string(52, 'x')};
  struct Case {
    const char* legend;
    std::uint32_t packetSize;
    garmin::UsbPacket packet;
    std::vector<std::string> expected;
  } cases[] = {
      {"14 bytes in 14-byte packets", 14, command, {commandBytes(49), ""}},
      {"14 bytes in 64-byte packets", 64, command, {commandBytes(49)}},
      {"14 bytes in 7-byte packets", 7, command, {commandBytes(49), ""}},
      {"64 bytes in 64-byte packets", 64, sixtyFour, {garmin::encodeUsbPacket(sixtyFour), ""}},
      {"no packet size", 0, command, {}},
  };
  for (const Case& c : cases) {
    auto device = std::make_shared<SimulatedGarminUsb>();
    device->packetSize = c.packetSize;
    device->answers = false;
    const std::unique_ptr<GarminUsbDevice> opened = device->opener(device)();
    GarminUsbLink link(*opened);
    EXPECT_EQ(link.send(c.packet), UsbStatus::ok) << c.legend;
    EXPECT_EQ(device->writes(), c.expected) << c.legend;
  }
}

TEST(GarminUsbLink, InterruptTransfersJoinAndBulkFollowsAnnouncement) {
  auto sim = std::make_shared<SimulatedGarminUsb>();
  const std::unique_ptr<GarminUsbDevice> device = sim->opener(sim)();
  GarminUsbLink link(*device);

  // 64 bytes exactly: one full transfer and an empty one that ends it.
  sim->sendPacket({20, 99, std::string(52, 'a')}, false);
  auto received = link.receive(50ms);
  ASSERT_TRUE(received.packet);
  EXPECT_EQ(received.packet->data, std::string(52, 'a'));
  // 140 bytes: 64 + 64 + 12.
  sim->sendPacket({20, 98, std::string(128, 'b')}, false);
  received = link.receive(50ms);
  ASSERT_TRUE(received.packet);
  EXPECT_EQ(received.packet->id, 98);
  EXPECT_EQ(received.packet->data.size(), 128u);

  sim->sendPacket({20, 97, "bulk"}, true);
  received = link.receive(50ms);
  ASSERT_TRUE(received.packet);
  EXPECT_TRUE(received.packet->is(0, garmin::kUsbDataAvailable));
  EXPECT_TRUE(link.bulkPending());
  received = link.receive(50ms);
  ASSERT_TRUE(received.packet);
  EXPECT_EQ(received.packet->data, "bulk");
  // The bulk pipe runs dry: the link goes back to the interrupt pipe.
  EXPECT_EQ(link.receive(20ms).status, UsbStatus::timeout);
  EXPECT_FALSE(link.bulkPending());

  sim->unplug();
  EXPECT_EQ(link.receive(20ms).status, UsbStatus::disconnected);
  EXPECT_EQ(link.send(garmin::usbCommand(50)), UsbStatus::disconnected);
}

TEST(GarminUsbLibusb, ArrivalWatchStartsAndStopsWithoutAReceiver) {
  qtApp();
  for (int i = 0; i < 2; ++i) {
    GarminUsbWatch watch;
    QSignalSpy appeared(&watch, &DeviceWatch::appeared);
    test::spin(20ms);
    EXPECT_EQ(appeared.count(), 0) << (watch.hotplug() ? "hot-plug callbacks" : "polling");
  }
}

TEST(GarminUsbLibusb, NoReceiverOnThisMachine) {
  qtApp();
  std::unique_ptr<GarminUsbDevice> device;
  try {
    device = openLibusbGarminDevice();
  } catch (const std::exception& e) {
    GTEST_SKIP() << "a Garmin receiver is attached but cannot be opened: " << e.what();
  }
  if (device) GTEST_SKIP() << "a Garmin receiver is attached";
  GpsTrackerGarminUsb tracker;
  QSignalSpy faults(&tracker, &GpsTracker::faulted);
  tracker.start();  // it waits for one to be plugged in
  ASSERT_EQ(faults.count(), 1);
  EXPECT_EQ(test::faultAt(faults, 0).message, "No GPS device connected.");
  tracker.stop();
}

}  // namespace
}  // namespace geomuxer
