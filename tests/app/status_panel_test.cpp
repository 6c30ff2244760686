// The status panel of the main window on the offscreen platform, fed by the real simulator and by
// the NMEA serial source reading a pseudo-terminal.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QHostAddress>
#include <QLabel>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>

#include "app/main_window.h"
#include "app/widgets/live_status.h"
#include "app/widgets/status_panel.h"
#include "app_test_support.h"
#include "core/nmea.h"
#include "loggers/nmea_tcp_logger.h"
#include "support/pty_pair.h"

extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace geomuxer {
namespace {

using Field = StatusPanel::Field;
using test::ControllerFixture;

int sourceIndex(const AppController& controller, std::string_view name) {
  const auto names = controller.sourceNames();
  return static_cast<int>(std::find(names.begin(), names.end(), name) - names.begin());
}

std::string frame(std::string_view body) { return nmeaFrame(body) + "\r\n"; }

TEST(StatusPanel, ShowsTheLastEpochOfAReceiverOnASerialLine) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ControllerFixture f(std::string(test::kQuietPorts) + "<nmeacom><port>" + pty.slaveName() +
                      "</port></nmeacom><general><posunit>1</posunit><distunit>0</distunit></general>");
  AppController& c = *f.controller;
  MainWindow window(c);
  ASSERT_FALSE(window.start({}));
  c.selectSource(sourceIndex(c, "NMEA via COM"));
  c.setActive(true);
  ASSERT_TRUE(c.isActive());
  window.show();
  StatusPanel& panel = *window.statusPanel();

  // Two epochs, the second one at a fraction of a second, and one line with a wrong checksum.
  ASSERT_TRUE(pty.write(frame("GPRMC,123519.00,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W") +
                        frame("GPGGA,123519.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") +
                        "$GPGGA,123519.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*00\r\n"));
  ASSERT_TRUE(test::waitUntil([&] { return window.liveStatus().epochs() == 1; }));
  ASSERT_TRUE(pty.write(frame("GPRMC,123520.20,A,4807.100,N,01131.050,E,010.0,270.0,230394,003.1,W") +
                        frame("GPGGA,123520.20,4807.100,N,01131.050,E,2,07,1.3,550.0,M,46.9,M,,") +
                        frame("GPGSA,A,3,04,05,09,12,24,25,29,,,,,,2.1,1.3,1.6") +
                        frame("GPGSV,3,1,11,04,60,120,45,05,30,200,38,09,10,045,30,12,75,300,42")));
  ASSERT_TRUE(test::waitUntil([&] { return window.liveStatus().epochs() == 2; }));
  panel.refresh();

  EXPECT_EQ(panel.text(Field::source), "NMEA via COM, active");
  EXPECT_EQ(panel.text(Field::fix), "3D differential");
  EXPECT_EQ(panel.text(Field::satellites), "7 / 11");
  EXPECT_EQ(panel.text(Field::position), "N48\u00B0 07.100\u2032 E11\u00B0 31.050\u2032");
  EXPECT_EQ(panel.text(Field::altitude), "550.0 m");
  EXPECT_EQ(panel.text(Field::speed), "18.5 km/h");
  EXPECT_EQ(panel.text(Field::course), "270\u00B0 true");
  EXPECT_EQ(panel.text(Field::hdop), "1.3");
  EXPECT_EQ(panel.text(Field::time), "12:35:20.2 UTC");
  EXPECT_EQ(panel.text(Field::epochs), "2");
  EXPECT_EQ(panel.text(Field::dropped), "1");
  EXPECT_EQ(panel.text(Field::clients), "0 clients");
  EXPECT_EQ(panel.text(Field::uploadQueue), "off");
  EXPECT_EQ(panel.text(Field::server), "not running");

  c.setActive(false);
  panel.refresh();
  EXPECT_EQ(panel.text(Field::source), "NMEA via COM, stopped");
  EXPECT_EQ(panel.text(Field::epochs), "2");  // the run that ended
}

TEST(StatusPanel, FollowsTheSimulatorAgesAndRefreshesOnlyWhileShown) {
  ControllerFixture f("<general><tracker>0</tracker></general><simu><lat>47.5</lat><long>11.25</long></simu>"
                      "<tcpiplog><active>true</active><port>0</port></tcpiplog>"
                      "<http><active>true</active><port>0</port></http>");
  AppController& c = *f.controller;
  FixedClock clock(Clock::TimePoint(std::chrono::hours(1)));
  MainWindow window(c, nullptr, clock);
  ASSERT_FALSE(window.start({}));
  window.show();
  StatusPanel& panel = *window.statusPanel();
  c.setActive(true);
  ASSERT_TRUE(test::waitUntil([&] { return window.liveStatus().epochs() >= 1; }));
  c.setActive(false);
  panel.refresh();

  const PositionInfo last = c.lastPosition();
  EXPECT_EQ(panel.text(Field::source), "Simulator, stopped");
  EXPECT_EQ(panel.text(Field::fix), QString::fromStdString(std::string(fixText(last.fix))));
  EXPECT_EQ(panel.text(Field::position), "N47\u00B0 30\u2032 E11\u00B0 15\u2032");
  EXPECT_EQ(panel.text(Field::server), c.serverUrl());
  ASSERT_FALSE(c.serverUrl().isEmpty());
  // A broadcast client on loopback is counted.
  EXPECT_EQ(panel.text(Field::clients), "0 clients");
  QTcpSocket client;
  client.connectToHost(QHostAddress::LocalHost, c.nmeaTcpLogger()->listeningPort());
  EXPECT_TRUE(test::waitUntil([&] {
    panel.refresh();
    return panel.text(Field::clients) == "1 client";
  }));
  // The server's link is reached with Tab after the source selector.
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  window.sourceSelector()->setFocus(Qt::TabFocusReason);
  QTest::keyClick(window.sourceSelector(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), panel.valueLabel(Field::server));

  // The age counts on the panel's clock and turns amber at the overdue time.
  EXPECT_EQ(panel.text(Field::age), "0 s");
  EXPECT_FALSE(panel.ageOverdue());
  clock.set(clock.now() + std::chrono::seconds(StatusPanel::kDefaultOverdueSeconds - 1));
  panel.refresh();
  EXPECT_FALSE(panel.ageOverdue());
  clock.set(clock.now() + std::chrono::seconds(66));
  panel.refresh();
  EXPECT_TRUE(panel.ageOverdue());
  EXPECT_EQ(panel.text(Field::age), "1 min 15 s");
  EXPECT_TRUE(panel.valueLabel(Field::age)->styleSheet().contains(QStringLiteral("color")));
  // A new position makes it fresh again.
  c.setActive(true);
  ASSERT_TRUE(test::waitUntil([&] { return window.liveStatus().epochs() >= 1; }));
  panel.refresh();
  EXPECT_FALSE(panel.ageOverdue());
  EXPECT_TRUE(panel.valueLabel(Field::age)->styleSheet().isEmpty());

  // Hidden with the window, the panel does nothing; shown again, it refreshes on its timer.
  window.hide();
  const int hidden = panel.refreshCount();
  test::spin(std::chrono::milliseconds(3 * StatusPanel::kRefreshMs));
  EXPECT_EQ(panel.refreshCount(), hidden);
  window.show();
  EXPECT_TRUE(test::waitUntil([&] { return panel.refreshCount() >= hidden + 3; }));
  c.setActive(false);
}

}  // namespace
}  // namespace geomuxer
