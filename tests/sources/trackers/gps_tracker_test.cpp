#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPointer>
#include <QSignalSpy>

#include <memory>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sources/fault_spy.h"
#include "support/qt_event_loop.h"
#include "sources/transports/gps_stream_interface.h"
#include "sources/transports/gps_timer_interface.h"
#include "sources/trackers/gps_tracker.h"
#include "sources/decoders/gps_protocol_nmea.h"

namespace geomuxer {
namespace {

QCoreApplication& app() {
  static int argc = 1;
  static char name[] = "geomuxer_sources_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication instance(argc, argv);
  return instance;
}

// Everything that happens, in order, across tracker, interface and logger.
using Journal = std::vector<std::string>;

class FakeInterface : public GpsInterface {
 public:
  explicit FakeInterface(Journal& journal) : m_journal(journal) {}
  ~FakeInterface() override { m_journal.push_back("interface deleted"); }
  std::string name() const override { return "FAKE"; }
  bool isActive() const override { return m_open; }
  void open() override {
    if (failOpen) throw InterfaceError("port busy");
    m_open = true;
  }
  void close() override { m_open = false; }
  void deliver(const PositionInfo& p) { doPosition(p); }
  // Like a socket's disconnect handler: it keeps using its members after announcing the end.
  void endByItself() {
    reportFault({FaultKind::endOfStream, "closed", false});
    ++m_terminations;
  }
  bool failOpen = false;

 private:
  Journal& m_journal;
  bool m_open = false;
  int m_terminations = 0;
};

class RecordingLogger : public TrackLogger {
 public:
  explicit RecordingLogger(Journal& journal) : m_journal(journal) {}
  void addPosition(const PositionInfo& p) override {
    if (failAdd) throw std::runtime_error("disk full");
    m_journal.push_back("logger position");
    positions.push_back(p);
  }
  void start() override { m_journal.push_back("logger start"); }
  void stop() override { m_journal.push_back("logger stop"); }
  std::vector<PositionInfo> positions;
  bool failAdd = false;

 private:
  Journal& m_journal;
};

class FakeTracker : public GpsTracker {
 public:
  explicit FakeTracker(Journal& journal) : m_journal(journal) {
    connect(this, &GpsTracker::started, [this] { m_journal.push_back("started"); });
    connect(this, &GpsTracker::stopped, [this] { m_journal.push_back("stopped"); });
    connect(this, &GpsTracker::positionReceived, [this](const PositionInfo&) { m_journal.push_back("position"); });
  }
  // Like every concrete tracker: stop while the derived part still exists.
  ~FakeTracker() override {
    if (isActive()) stop();
  }
  std::string displayName() const override { return "Fake"; }
  // The framework itself, without the supervisor (which has tests of its own).
  bool supervised() const override { return false; }
  FakeInterface* fake() const { return static_cast<FakeInterface*>(gpsInterface()); }
  int created = 0;
  bool failCreate = false;
  bool failOpen = false;

 protected:
  std::unique_ptr<GpsInterface> createInterface() override {
    if (failCreate) throw InterfaceError("no such port");
    ++created;
    auto iface = std::make_unique<FakeInterface>(m_journal);
    iface->failOpen = failOpen;
    return iface;
  }

 private:
  Journal& m_journal;
};

class Tracker : public ::testing::Test {
 protected:
  void SetUp() override {
    app();
    logger.setActive(true);
    tracker.setLogger(&logger);
  }
  void TearDown() override { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

  Journal journal;
  RecordingLogger logger{journal};
  FakeTracker tracker{journal};
};

PositionInfo somewhere() {
  PositionInfo p;
  p.x = 8.25f;
  p.y = 47.5f;
  p.fields = {defXY};
  return p;
}

TEST_F(Tracker, LifecycleOrdersLoggerBeforeSignals) {
  tracker.setActive(true);
  ASSERT_TRUE(tracker.isActive());
  tracker.fake()->deliver(somewhere());
  EXPECT_EQ(tracker.lastPosition().x, 8.25f);
  EXPECT_EQ(tracker.fake()->lastPosition().y, 47.5f);
  tracker.setActive(false);
  EXPECT_FALSE(tracker.isActive());
  EXPECT_EQ(tracker.gpsInterface(), nullptr);
  EXPECT_EQ(journal, (Journal{"logger start", "started", "logger position", "position", "interface deleted",
                              "logger stop", "stopped"}));
}

TEST_F(Tracker, SetActiveToTheCurrentStateDoesNothing) {
  tracker.setActive(false);
  tracker.setActive(true);
  tracker.setActive(true);
  EXPECT_EQ(journal, (Journal{"logger start", "started"}));
  EXPECT_EQ(tracker.created, 1);
}

TEST_F(Tracker, StopWhenStoppedStillAnnouncesIt) {
  tracker.stop();
  EXPECT_EQ(journal, (Journal{"logger stop", "stopped"}));
}

TEST_F(Tracker, SignalsFireWithoutAnActiveLogger) {
  logger.setActive(false);
  tracker.start();
  tracker.fake()->deliver(somewhere());
  tracker.setLogger(nullptr);
  tracker.fake()->deliver(somewhere());
  tracker.stop();
  EXPECT_EQ(journal, (Journal{"started", "position", "position", "interface deleted", "stopped"}));
}

TEST_F(Tracker, TransportEndingByItselfStopsOnceAndDeletesLater) {
  tracker.start();
  QPointer<FakeInterface> iface = tracker.fake();
  QSignalSpy stopped(&tracker, &GpsTracker::stopped);
  iface->endByItself();  // must not touch freed memory (checked under AddressSanitizer)
  EXPECT_FALSE(tracker.isActive());
  EXPECT_EQ(stopped.count(), 1);
  EXPECT_FALSE(iface.isNull()) << "deleted while its own callback was running";
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(iface.isNull());
}

TEST_F(Tracker, FailingCreateLeavesItStoppedAndSilent) {
  tracker.failCreate = true;
  EXPECT_THROW(tracker.setActive(true), InterfaceError);
  EXPECT_FALSE(tracker.isActive());
  EXPECT_EQ(tracker.gpsInterface(), nullptr);
  EXPECT_TRUE(journal.empty());
}

TEST_F(Tracker, FailingOpenKeepsTheInterfaceForTheNextStart) {
  tracker.failOpen = true;
  EXPECT_THROW(tracker.start(), InterfaceError);
  ASSERT_NE(tracker.gpsInterface(), nullptr);
  EXPECT_FALSE(tracker.isActive());
  tracker.fake()->failOpen = false;
  tracker.start();
  EXPECT_TRUE(tracker.isActive());
  EXPECT_EQ(tracker.created, 1);
  EXPECT_EQ(journal, (Journal{"logger start", "started"}));
}

TEST_F(Tracker, LoggerFailurePassesToTheTransportAndReleasesTheLock) {
  tracker.start();
  logger.failAdd = true;
  EXPECT_THROW(tracker.fake()->deliver(somewhere()), std::runtime_error);
  logger.failAdd = false;
  std::thread other([&] { EXPECT_EQ(tracker.lastPosition().x, 8.25f); });  // would block on a held lock
  other.join();
}

// A stream transport over an in-memory device that announces every write like a socket would.
class FeedDevice : public QIODevice {
 public:
  void push(const QByteArray& bytes) {
    m_data += bytes;
    emit readyRead();
  }
  qint64 bytesAvailable() const override { return m_data.size() + QIODevice::bytesAvailable(); }
  bool isSequential() const override { return true; }
  QByteArray written;

 protected:
  qint64 readData(char* data, qint64 max) override {
    const qint64 n = std::min<qint64>(max, m_data.size());
    std::memcpy(data, m_data.constData(), static_cast<std::size_t>(n));
    m_data.remove(0, n);
    return n;
  }
  qint64 writeData(const char* data, qint64 len) override {
    written.append(data, len);
    return len;
  }

 private:
  QByteArray m_data;
};

class FeedInterface : public GpsStreamInterface {
 public:
  explicit FeedInterface(std::unique_ptr<FeedDevice> device)
      : GpsStreamInterface(std::make_unique<GpsProtocolNmea>(), std::move(device)) {}
  ~FeedInterface() override { close(); }
  std::string name() const override { return "FEED"; }
  void open() override { openDevice(QIODevice::ReadWrite, "feed"); }
  FeedDevice* feedDevice() const { return static_cast<FeedDevice*>(device()); }
};

class StreamTracker : public GpsTracker {
 public:
  std::string displayName() const override { return "NMEA via Feed"; }
  FeedDevice* device() const { return static_cast<FeedInterface*>(gpsInterface())->feedDevice(); }

 protected:
  std::unique_ptr<GpsInterface> createInterface() override {
    return std::make_unique<FeedInterface>(std::make_unique<FeedDevice>());
  }
};

TEST(StreamInterface, DecodesWhatArrivesAndReportsHandlerErrors) {
  app();
  StreamTracker tracker;
  QSignalSpy positions(&tracker, &GpsTracker::positionReceived);
  QSignalSpy faults(&tracker, &GpsTracker::faulted);
  tracker.start();
  FeedDevice* device = tracker.device();
  device->push("$GPRMC,123519,A,4807.038,N,0113");
  EXPECT_EQ(positions.count(), 0);
  device->push("1.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
  EXPECT_EQ(positions.count(), 0) << "the epoch may still grow";
  // The line stays quiet, so the decoder is flushed.
  ASSERT_TRUE(test::waitUntil([&] { return positions.count() == 1; }));
  EXPECT_NEAR(tracker.lastPosition().x, 11.516667, 1e-5);

  // An exception from a position handler must not escape into the event loop.
  const auto throwing = QObject::connect(&tracker, &GpsTracker::positionReceived,
                                         [](const PositionInfo&) { throw std::runtime_error("handler failed"); });
  device->push("$GPGLL,4916.45,N,12311.12,W,225444,A*31\r\n$GPGLL,4916.45,N,12311.12,W,225445,A*30\r\n");
  ASSERT_EQ(faults.count(), 1);
  EXPECT_EQ(test::faultAt(faults, 0), (TransportFault{FaultKind::protocol, "handler failed", false}));
  QObject::disconnect(throwing);

  // Stopping from inside a delivery closes the device before the rest of the data is read.
  QObject::connect(&tracker, &GpsTracker::positionReceived, &tracker, [&] { tracker.stop(); });
  device->push("$GPGLL,4916.45,N,12311.12,W,225446,A*33\r\n$GPGLL,4916.45,N,12311.12,W,225447,A*32\r\n");
  EXPECT_FALSE(tracker.isActive());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

class TickInterface : public GpsTimerInterface {
 public:
  std::string name() const override { return "Simulator"; }
  int ticks = 0;

 protected:
  void timerTick() override {
    ++ticks;
    PositionInfo p;
    p.satellites = ticks;
    p.fields = {defXY};
    doPosition(p);
  }
};

class TickTracker : public GpsTracker {
 public:
  std::string displayName() const override { return "Ticks"; }

 protected:
  std::unique_ptr<GpsInterface> createInterface() override {
    auto iface = std::make_unique<TickInterface>();
    iface->setInterval(5);
    return iface;
  }
};

TEST(TimerInterface, TicksWhileEnabledAndMayBeStoppedFromATick) {
  app();
  TickTracker tracker;
  QSignalSpy positions(&tracker, &GpsTracker::positionReceived);
  tracker.start();
  EXPECT_TRUE(tracker.isActive());
  // Stop from inside the third tick: the interface is deleted only after its tick returned.
  QObject::connect(&tracker, &GpsTracker::positionReceived, &tracker, [&](const PositionInfo& p) {
    if (p.satellites == 3) tracker.stop();
  });
  QSignalSpy stopped(&tracker, &GpsTracker::stopped);
  EXPECT_TRUE(stopped.wait(5000));
  EXPECT_EQ(positions.count(), 3);
  EXPECT_FALSE(tracker.isActive());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

  TickInterface idle;
  EXPECT_FALSE(idle.isActive());
  idle.open();
  EXPECT_TRUE(idle.isActive());
  idle.setInterval(0);
  EXPECT_TRUE(idle.isActive()) << "interval 0 pauses the ticks but stays enabled";
  idle.close();
  EXPECT_FALSE(idle.isActive());
}

}  // namespace
}  // namespace geomuxer
