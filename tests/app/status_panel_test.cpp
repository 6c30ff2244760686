// The status panel of the main window on the offscreen platform, fed by the real simulator and by
// the NMEA serial source reading a pseudo-terminal.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QTabBar>
#include <QTabWidget>
#include <QHostAddress>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>

#include "app/main_window.h"
#include "app/widgets/live_status.h"
#include "app/widgets/sky_view.h"
#include "app/widgets/status_panel.h"
#include "app/widgets/track_view.h"
#include "app/widgets/view_refresher.h"
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

// Saves the widget's picture beside the other screenshots of the build, for a person to look at.
bool shootTo(QWidget& widget, const QString& name) {
  const QString folder = QStringLiteral(GEOMUXER_BINARY_DIR "/screenshots");
  QDir().mkpath(folder);
  QApplication::processEvents();
  return widget.grab().save(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
}

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
  // The tray follows the line: open and silent, then bytes without a fix, then positions.
  EXPECT_EQ(window.trayState(), MainWindow::TrayState::waitingForData);
  ASSERT_TRUE(pty.write(frame("GPGSA,A,1,,,,,,,,,,,,,,,,")));
  ASSERT_TRUE(test::waitUntil([&] { return window.trayState() == MainWindow::TrayState::noFix; }));
  EXPECT_TRUE(window.trayIcon()->toolTip().endsWith("\nNMEA via COM: receiving, no fix"));

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
  EXPECT_EQ(window.trayState(), MainWindow::TrayState::fix);
  panel.refresh();

  EXPECT_EQ(panel.text(Field::source), "NMEA via COM: receiving, fix");
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
  EXPECT_EQ(panel.text(Field::source), "NMEA via COM: stopped");
  EXPECT_EQ(panel.text(Field::epochs), "2");  // the run that ended
}

TEST(StatusPanel, FollowsTheSimulatorAgesAndRefreshesOnlyWhileShown) {
  ControllerFixture f("<general><tracker>0</tracker><watchdog>25</watchdog></general>"
                      "<simu><lat>47.5</lat><long>11.25</long></simu>"
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
  EXPECT_EQ(panel.text(Field::source), "Simulator: stopped");
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
  // The server's link is reached with Tab after the source selector and the tabs.
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  window.sourceSelector()->setFocus(Qt::TabFocusReason);
  QTest::keyClick(window.sourceSelector(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), window.statusTabs()->tabBar());
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), panel.valueLabel(Field::server));

  // The age counts on the panel's clock and turns amber at the watchdog time of the settings.
  EXPECT_EQ(panel.text(Field::age), "0 s");
  EXPECT_FALSE(panel.ageOverdue());
  clock.set(clock.now() + std::chrono::seconds(24));
  panel.refresh();
  EXPECT_FALSE(panel.ageOverdue());
  clock.set(clock.now() + std::chrono::seconds(51));
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
  // The tray tells the same: a fix, and none once positions stay away for the watchdog time.
  window.updateTrayState();
  EXPECT_EQ(window.trayState(), MainWindow::TrayState::fix);
  clock.set(clock.now() + std::chrono::seconds(c.watchdogSeconds()));
  window.updateTrayState();
  EXPECT_EQ(window.trayState(), MainWindow::TrayState::noFix);
  // The tabs answer their access keys.
  QTest::keyClick(window.logPane(), Qt::Key_K, Qt::AltModifier);
  EXPECT_TRUE(test::waitUntil([&] { return window.statusTabs()->currentWidget() == window.skyView(); }));
  QTest::keyClick(window.logPane(), Qt::Key_T, Qt::AltModifier);
  EXPECT_TRUE(test::waitUntil([&] { return window.statusTabs()->currentWidget() == &panel; }));

  // Hidden with the window, the panel does nothing; shown again, it refreshes on its timer.
  window.hide();
  const int hidden = panel.refreshCount();
  test::spin(std::chrono::milliseconds(3 * ViewRefresher::kRefreshMs));
  EXPECT_EQ(panel.refreshCount(), hidden);
  window.show();
  EXPECT_TRUE(test::waitUntil([&] { return panel.refreshCount() >= hidden + 3; }));
  c.setActive(false);
}

// The states come as the controller announces them (here by hand, as the supervisor would).
TEST(StatusPanel, PanelAndTrayFollowTheAnnouncedStateAndNotifyOnlyWhileHidden) {
  ControllerFixture f(std::string(test::kQuietPorts));
  AppController& c = *f.controller;
  FixedClock clock(Clock::TimePoint(std::chrono::hours(1)));
  MainWindow window(c, nullptr, clock);
  ASSERT_FALSE(window.start({}));
  c.selectSource(sourceIndex(c, "NMEA via TCP/IP"));
  window.show();
  StatusPanel& panel = *window.statusPanel();
  QSignalSpy notices(&window, &MainWindow::noticeShown);
  const auto announce = [&](SourceState state) {
    SourceStatus status;
    status.source = "NMEA via TCP/IP";
    status.state = state;
    status.reconnectInSeconds = 4;
    status.reconnects = 2;
    status.lastError = "Connection refused";
    emit c.sourceStatusChanged(status);
  };

  announce(SourceState::Reconnecting);
  panel.refresh();
  EXPECT_EQ(panel.text(Field::source), "NMEA via TCP/IP: reconnecting in 4 s (Connection refused)");
  EXPECT_EQ(panel.text(Field::reconnects), "2");
  EXPECT_EQ(window.trayState(), MainWindow::TrayState::waitingForData);
  EXPECT_EQ(window.trayIcon()->toolTip(),
            "Geomuxer - inactive\nNMEA via TCP/IP: reconnecting in 4 s (Connection refused)");
  clock.set(clock.now() + std::chrono::seconds(3));  // the wait counts down
  window.updateTrayState();
  EXPECT_TRUE(window.trayIcon()->toolTip().endsWith("reconnecting in 1 s (Connection refused)"));
  announce(SourceState::ReceivingNoFix);
  EXPECT_EQ(window.trayState(), MainWindow::TrayState::noFix);
  EXPECT_EQ(window.trayIcon()->toolTip(), "Geomuxer - inactive\nNMEA via TCP/IP: receiving, no fix");
  EXPECT_EQ(notices.count(), 0) << "the window is in sight";

  // Out of sight: the failure is told at once, the recovery after the quiet time.
  window.hide();
  announce(SourceState::Reconnecting);
  ASSERT_EQ(notices.count(), 1);
  EXPECT_EQ(notices.at(0).at(0).toString(), "Source failed");
  EXPECT_EQ(notices.at(0).at(1).toString(), "NMEA via TCP/IP: reconnecting in 4 s (Connection refused)");
  announce(SourceState::ReceivingFix);
  EXPECT_EQ(window.trayState(), MainWindow::TrayState::fix);
  test::spin(std::chrono::milliseconds(1200));
  EXPECT_EQ(notices.count(), 1);
  clock.set(clock.now() + SourceNotices::kQuietTime);
  ASSERT_TRUE(test::waitUntil([&] { return notices.count() == 2; }, std::chrono::seconds(3)));
  EXPECT_EQ(notices.at(1).at(0).toString(), "Source recovered");
  EXPECT_EQ(notices.at(1).at(1).toString(), "NMEA via TCP/IP: receiving, fix");
}

// A real TCP source whose server drops it and takes it back: the supervisor reconnects, the tray
// and the notifications follow.
TEST(StatusPanel, TrayFollowsATcpSourceWhoseServerDropsIt) {
  test::qtApp();
  QTcpServer server;
  ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
  ControllerFixture f(std::string(test::kQuietPorts) + "<nmeatcpip><host>127.0.0.1</host><port>" +
                      std::to_string(server.serverPort()) + "</port></nmeatcpip>");
  AppController& c = *f.controller;
  FixedClock clock(Clock::TimePoint(std::chrono::hours(1)));
  MainWindow window(c, nullptr, clock);
  ASSERT_FALSE(window.start({}));
  c.selectSource(sourceIndex(c, "NMEA via TCP/IP"));
  QSignalSpy notices(&window, &MainWindow::noticeShown);
  c.setActive(true);
  const auto feed = [&] {
    EXPECT_TRUE(test::waitUntil([&] { return server.hasPendingConnections(); }, std::chrono::seconds(20)));
    QTcpSocket* peer = server.nextPendingConnection();
    if (peer == nullptr) return peer;
    peer->write(QByteArray::fromStdString(
        frame("GPRMC,123519.00,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W") +
        frame("GPGGA,123519.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,")));
    EXPECT_TRUE(test::waitUntil([&] { return window.trayState() == MainWindow::TrayState::fix; }));
    return peer;
  };
  QTcpSocket* peer = feed();
  ASSERT_NE(peer, nullptr);

  // Hidden in the tray: the server closes the connection.
  window.hide();
  peer->close();
  ASSERT_TRUE(test::waitUntil([&] { return window.trayState() == MainWindow::TrayState::waitingForData; }));
  EXPECT_TRUE(window.trayIcon()->toolTip().contains("NMEA via TCP/IP: reconnecting in "))
      << window.trayIcon()->toolTip().toStdString();
  ASSERT_EQ(notices.count(), 1);
  EXPECT_EQ(notices.at(0).at(0).toString(), "Source failed");

  // It takes the source back; the recovery is told once the quiet time is over.
  ASSERT_NE(feed(), nullptr);
  clock.set(clock.now() + SourceNotices::kQuietTime);
  ASSERT_TRUE(test::waitUntil([&] { return notices.count() == 2; }, std::chrono::seconds(3)));
  EXPECT_EQ(notices.at(1).at(0).toString(), "Source recovered");
  EXPECT_EQ(c.sourceStatus().reconnects, 1U);
  c.setActive(false);
}

TEST(StatusViews, SkyHasOneMarkPerSatelliteInViewAndTheTrackKeepsTenMinutes) {
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ControllerFixture f(std::string(test::kQuietPorts) + "<nmeacom><port>" + pty.slaveName() + "</port></nmeacom>");
  AppController& c = *f.controller;
  FixedClock clock(Clock::TimePoint(std::chrono::hours(1)));
  MainWindow window(c, nullptr, clock);
  ASSERT_FALSE(window.start({}));
  c.selectSource(sourceIndex(c, "NMEA via COM"));
  c.setActive(true);
  window.show();
  window.statusTabs()->setCurrentWidget(window.skyView());
  SkyView& sky = *window.skyView();
  EXPECT_EQ(sky.markCount(), 0);

  // Twelve satellites in three GSV sentences, one of them without a place; seven used.
  ASSERT_TRUE(pty.write(frame("GPRMC,123519.00,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W") +
                        frame("GPGSA,A,3,04,05,09,12,24,25,29,,,,,,2.1,1.3,1.6") +
                        frame("GPGSV,3,1,12,04,60,120,45,05,30,200,38,09,10,045,30,12,75,300,42") +
                        frame("GPGSV,3,2,12,24,90,000,41,25,00,090,22,29,40,270,35,31,05,330,") +
                        frame("GPGSV,3,3,12,02,15,160,,14,,,,17,50,020,12,20,22,100,19")));
  ASSERT_TRUE(test::waitUntil([&] { return window.liveStatus().epochs() == 1; }));
  sky.refresh();
  EXPECT_EQ(sky.satellites().size(), 12u);
  EXPECT_EQ(sky.markCount(), 11) << "satellite 14 has no elevation or azimuth";
  EXPECT_EQ(std::count_if(sky.satellites().begin(), sky.satellites().end(),
                          [](const SatelliteInView& s) { return s.used; }),
            7);
  // The zenith is the centre, the horizon the ring, north up and east right.
  const auto find = [&](int prn) {
    return *std::find_if(sky.satellites().begin(), sky.satellites().end(),
                         [prn](const SatelliteInView& s) { return s.prn == prn; });
  };
  const QPointF zenith = sky.markPlace(find(24));
  const QPointF east = sky.markPlace(find(25));
  EXPECT_NEAR(east.y(), zenith.y(), 0.01);
  EXPECT_GT(east.x(), zenith.x() + 40);
  const QPointF west = sky.markPlace(find(29));
  EXPECT_LT(west.x(), zenith.x());
  ASSERT_TRUE(shootTo(sky, QStringLiteral("sky_view")));

  // The track: the point of the last epoch, gone ten minutes later.
  window.statusTabs()->setCurrentWidget(window.trackView());
  TrackView& track = *window.trackView();
  track.refresh();
  EXPECT_EQ(track.points().size(), 1u);
  clock.set(clock.now() + LiveStatus::kTrackSpan + std::chrono::seconds(1));
  track.refresh();
  EXPECT_TRUE(track.points().empty());
  c.setActive(false);
}

TEST(StatusViews, ScaleBarReadsInTheUsersUnits) {
  EXPECT_EQ(TrackView::scaleBar(1000.0, DistUnit::metric).text, "200 m");
  EXPECT_DOUBLE_EQ(TrackView::scaleBar(1000.0, DistUnit::metric).metres, 200.0);
  EXPECT_EQ(TrackView::scaleBar(9000.0, DistUnit::metric).text, "2 km");
  EXPECT_EQ(TrackView::scaleBar(100.0, DistUnit::metric).text, "20 m");
  EXPECT_EQ(TrackView::scaleBar(1000.0, DistUnit::statute).text, "500 ft");
  EXPECT_EQ(TrackView::scaleBar(10000.0, DistUnit::statute).text, "1 mi");
  EXPECT_EQ(TrackView::scaleBar(5000.0, DistUnit::nautic).text, "0.5 nm");
}

}  // namespace
}  // namespace geomuxer
