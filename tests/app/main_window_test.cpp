#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>
#include <QToolBar>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTabWidget>

#include "app/main_window.h"
#include "app/widgets/screen_place.h"
#include "app_test_support.h"
#include "sources/trackers/gps_tracker_simu.h"

// Fontconfig keeps a cache for the life of the process on purpose; it is not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace geomuxer {
namespace {

using test::ControllerFixture;

std::string quiet(std::string_view extra) { return std::string(test::kQuietPorts) + std::string(extra); }

QStringList menuTexts(const QMenu* menu) {
  QStringList texts;
  // Without the access keys' marks.
  for (const QAction* action : menu->actions())
    texts << (action->isSeparator() ? QStringLiteral("-") : QString(action->text()).remove(QLatin1Char('&')));
  return texts;
}

TEST(MainWindow, CloseToTrayHidesAndExitEnds) {
  ControllerFixture f(quiet("<general><closetotray>true</closetotray><tracker>0</tracker></general>"));
  MainWindow window(*f.controller);
  window.setTrayProbe([] { return true; });
  QSignalSpy closed(&window, &MainWindow::closed);
  ASSERT_FALSE(window.start({}));
  window.showAtStart();
  ASSERT_TRUE(window.isVisible());
  f.controller->toggleActive();
  ASSERT_TRUE(f.controller->isActive());

  window.close();
  EXPECT_FALSE(window.isVisible());
  EXPECT_FALSE(f.controller->isClosed());
  EXPECT_TRUE(f.controller->isActive());
  EXPECT_EQ(closed.count(), 0);

  window.showAction()->trigger();
  EXPECT_TRUE(window.isVisible());
  // Trays that send single clicks restore the window as well as those sending double clicks.
  for (auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick}) {
    window.close();
    ASSERT_FALSE(window.isVisible());
    emit window.trayIcon()->activated(reason);
    EXPECT_TRUE(window.isVisible()) << reason;
  }

  window.exitAction()->trigger();
  EXPECT_TRUE(f.controller->isClosed());
  EXPECT_FALSE(f.controller->isActive());
  EXPECT_EQ(closed.count(), 1);
  // The window's place is part of the stored state.
  EXPECT_TRUE(f.settings->loadWindowRect("MainForm", {}).has_value());
}

TEST(MainWindow, ClosingWithoutCloseToTrayEnds) {
  ControllerFixture f(quiet(""));
  MainWindow window(*f.controller);
  QSignalSpy closed(&window, &MainWindow::closed);
  ASSERT_FALSE(window.start({}));
  window.showAtStart();
  window.close();
  EXPECT_TRUE(f.controller->isClosed());
  EXPECT_EQ(closed.count(), 1);
}

// On a desktop without a notification area a hidden window could never come back.
TEST(MainWindow, CloseToTrayWithoutATrayEnds) {
  ControllerFixture f(quiet("<general><closetotray>true</closetotray></general>"));
  MainWindow window(*f.controller);
  window.setTrayProbe([] { return false; });
  QSignalSpy closed(&window, &MainWindow::closed);
  ASSERT_FALSE(window.start({}));
  window.showAtStart();
  window.close();
  EXPECT_TRUE(f.controller->isClosed());
  EXPECT_EQ(closed.count(), 1);
}

TEST(MainWindow, KeyboardReachesTheControlsAndShortcutsWork) {
  ControllerFixture f(quiet("<general><tracker>0</tracker></general>"));
  MainWindow window(*f.controller);
  QSignalSpy options(&window, &MainWindow::optionsRequested);
  QSignalSpy closed(&window, &MainWindow::closed);
  ASSERT_FALSE(window.start({}));
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

  // Tab goes round the tool strip's buttons, the source selector, the status tabs and the log pane.
  auto* strip = window.findChild<QToolBar*>();
  ASSERT_NE(strip, nullptr);
  QWidget* active = strip->widgetForAction(window.activeAction());
  QWidget* optionsButton = strip->widgetForAction(window.optionsAction());
  active->setFocus(Qt::TabFocusReason);
  ASSERT_EQ(QApplication::focusWidget(), active);
  std::vector<QWidget*> reached;
  for (int i = 0; i < 5; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    reached.push_back(QApplication::focusWidget());
  }
  EXPECT_EQ(reached, (std::vector<QWidget*>{optionsButton, window.sourceSelector(), window.statusTabs()->tabBar(),
                                            window.logPane(), active}));

  // Space on the focused button, the access key and the shortcut all switch the source.
  QTest::keyClick(active, Qt::Key_Space);
  EXPECT_TRUE(f.controller->isActive());
  // An access key presses its button the way a click does, a moment later.
  QTest::keyClick(window.logPane(), Qt::Key_A, Qt::AltModifier);
  EXPECT_TRUE(test::waitUntil([&] { return !f.controller->isActive(); }));
  QTest::keyClick(window.logPane(), Qt::Key_R, Qt::ControlModifier);
  EXPECT_TRUE(f.controller->isActive());
  EXPECT_TRUE(window.activeAction()->isChecked());

  QTest::keyClick(window.sourceSelector(), Qt::Key_O, Qt::AltModifier);
  EXPECT_TRUE(test::waitUntil([&] { return options.count() == 1; }));
  QTest::keyClick(window.logPane(), Qt::Key_Comma, Qt::ControlModifier);
  EXPECT_EQ(options.count(), 2);

  QTest::keyClick(window.logPane(), Qt::Key_Q, Qt::ControlModifier);
  EXPECT_EQ(closed.count(), 1);
  EXPECT_TRUE(f.controller->isClosed());
}

TEST(MainWindow, PlaceOffEveryScreenIsBroughtBack) {
  ControllerFixture f(quiet("<MainForm><left>-9000</left><top>7000</top><width>500</width><height>400</height></MainForm>"));
  MainWindow window(*f.controller);
  ASSERT_FALSE(window.start({}));
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_TRUE(screen.contains(QRect(window.x(), window.y(), window.width(), window.height())))
      << window.x() << "," << window.y();
  EXPECT_EQ(window.width(), 500);
}

TEST(ScreenPlace, KeepsWindowsWhereAScreenShowsThem) {
  const QList<QRect> screens{QRect(0, 0, 1920, 1080), QRect(1920, 0, 1280, 1024)};
  EXPECT_EQ(keptInsideScreens(QRect(100, 100, 400, 300), screens), QRect(100, 100, 400, 300));
  EXPECT_EQ(keptInsideScreens(QRect(2000, 500, 400, 300), screens), QRect(2000, 500, 400, 300));
  // Hanging over the right edge of the second screen: pulled in by as much as sticks out.
  EXPECT_EQ(keptInsideScreens(QRect(3000, 900, 400, 300), screens), QRect(2800, 724, 400, 300));
  // On a monitor that is gone: onto the first screen.
  EXPECT_EQ(keptInsideScreens(QRect(-3000, -200, 400, 300), screens), QRect(0, 0, 400, 300));
  // Straddling both: onto the one holding most of it.
  EXPECT_EQ(keptInsideScreens(QRect(1800, 10, 400, 300), screens), QRect(1920, 10, 400, 300));
  // Larger than the screen: its top left corner, so that the title bar can be reached.
  EXPECT_EQ(keptInsideScreens(QRect(500, 500, 2500, 1500), {QRect(0, 0, 1920, 1080)}), QRect(0, 0, 2500, 1500));
  EXPECT_EQ(keptInsideScreens(QRect(5, 5, 10, 10), {}), QRect(5, 5, 10, 10));
}

TEST(MainWindow, FixedSizeFloorAndStoredPlace) {
  ControllerFixture f(quiet("<MainForm><left>40</left><top>50</top><width>600</width><height>100</height></MainForm>"));
  MainWindow window(*f.controller);
  ASSERT_FALSE(window.start({}));
  EXPECT_EQ(window.windowTitle(), "Geomuxer");
  EXPECT_EQ(window.minimumSize(), QSize(MainWindow::kInitialWidth, MainWindow::kInitialHeight));
  EXPECT_EQ(window.width(), 600);
  EXPECT_EQ(window.height(), MainWindow::kInitialHeight);  // never below the floor
}

TEST(MainWindow, StartsInTheTrayWhenAskedTo) {
  ControllerFixture settingsMinimized(quiet("<general><minimized>true</minimized></general>"));
  MainWindow first(*settingsMinimized.controller);
  ASSERT_FALSE(first.start({}));
  EXPECT_TRUE(first.startsMinimized());

  ControllerFixture commandLine(quiet(""));
  MainWindow second(*commandLine.controller);
  ASSERT_FALSE(second.start(parseCommandLine({"/m"}, {})));
  EXPECT_TRUE(second.startsMinimized());

  ControllerFixture plain(quiet(""));
  MainWindow third(*plain.controller);
  ASSERT_FALSE(third.start({}));
  EXPECT_FALSE(third.startsMinimized());
}

TEST(MainWindow, TrayMenuSelectorAndToggleFollowTheController) {
  ControllerFixture f(quiet("<general><tracker>0</tracker><iconanim>20</iconanim></general>"));
  MainWindow window(*f.controller);
  ASSERT_FALSE(window.start({}));
  AppController& c = *f.controller;

  const QStringList top = menuTexts(window.trayMenu());
  EXPECT_EQ(top, (QStringList{"Show", "-", "Active", "Tracker", "Logger", "HTTP Server", "Options...", "-", "Help",
                              "About...", "-", "Exit"}));
  EXPECT_EQ(window.trayMenu()->defaultAction(), window.showAction());
  const QMenu* loggers = window.trayMenu()->actions().at(4)->menu();
  EXPECT_EQ(menuTexts(loggers), (QStringList{"NMEA TCP/IP", "NMEA UDP", "HTTP", "NMEA File", "GPX File"}));
  const QMenu* server = window.trayMenu()->actions().at(5)->menu();
  EXPECT_EQ(menuTexts(server), (QStringList{"Open Page", "Open Admin Page"}));
  for (const QAction* action : server->actions()) EXPECT_FALSE(action->isEnabled());
  const QMenu* trackers = window.trayMenu()->actions().at(3)->menu();
  ASSERT_EQ(trackers->actions().size(), c.sourceCount());
  EXPECT_TRUE(trackers->actions().at(0)->isChecked());
  EXPECT_EQ(window.sourceSelector()->currentIndex(), 0);
  EXPECT_EQ(window.sourceSelector()->toolTip(), "Source");

  // "Active" from the tool strip starts the source; the tray names it and its state, and its icon
  // turns from waiting to a fix with the first position.
  EXPECT_EQ(window.trayIcon()->toolTip(), "Geomuxer - inactive");
  window.activeAction()->trigger();
  ASSERT_TRUE(c.isActive());
  EXPECT_TRUE(window.activeAction()->isChecked());
  EXPECT_EQ(window.trayIcon()->toolTip(), "Geomuxer - Simulator active\nSimulator: waiting for data");
  EXPECT_EQ(window.trayState(), MainWindow::TrayState::waitingForData);
  EXPECT_TRUE(test::waitUntil([&] { return window.trayState() == MainWindow::TrayState::fix; }));
  EXPECT_EQ(window.trayIcon()->toolTip(), "Geomuxer - Simulator active\nSimulator: receiving, fix");

  // Choosing another source in the tray menu stops the running one.
  trackers->actions().at(3)->trigger();
  EXPECT_EQ(c.currentSource(), 3);
  EXPECT_EQ(window.sourceSelector()->currentIndex(), 3);
  EXPECT_FALSE(window.activeAction()->isChecked());
  EXPECT_EQ(window.trayState(), MainWindow::TrayState::noSource);
  EXPECT_EQ(window.trayIcon()->toolTip(), "Geomuxer - inactive");

  // Logger items switch the loggers.
  const bool gpxBefore = c.loggerActive(LoggerKind::gpxFile);
  window.loggerAction(LoggerKind::gpxFile)->trigger();
  EXPECT_NE(c.loggerActive(LoggerKind::gpxFile), gpxBefore);
  EXPECT_EQ(window.loggerAction(LoggerKind::gpxFile)->isChecked(), !gpxBefore);

  QSignalSpy options(&window, &MainWindow::optionsRequested);
  window.optionsAction()->trigger();
  EXPECT_EQ(options.count(), 1);
}

TEST(MainWindow, LogPaneMirrorsTheLog) {
  ControllerFixture f(quiet("<log><maxlines>10</maxlines></log>"));
  MainWindow window(*f.controller);
  ASSERT_FALSE(window.start({}));
  LogModel& log = f.controller->log();
  log.clear();
  for (int i = 1; i <= 16; ++i) log.addLine(QStringLiteral("line %1").arg(i));
  // Each line carries the local time it came in, to the second.
  QStringList stamped;
  for (int row = 0; row < log.count(); ++row) {
    stamped << log.line(row);
    EXPECT_EQ(log.time(row).timeSpec(), Qt::LocalTime);
  }
  const QStringList shown = window.logPane()->toPlainText().split('\n');
  ASSERT_EQ(shown.size(), stamped.size());
  const QRegularExpression stamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d (.*)$"));
  for (qsizetype i = 0; i < shown.size(); ++i) {
    const QRegularExpressionMatch m = stamp.match(shown[i]);
    ASSERT_TRUE(m.hasMatch()) << shown[i].toStdString();
    EXPECT_EQ(m.captured(1), stamped[i]);
    EXPECT_EQ(shown[i], MainWindow::stampedLogLine(log.time(static_cast<int>(i)), stamped[i]));
  }
  EXPECT_EQ(window.logPane()->document()->blockCount(), 5);
  log.addLine(QStringLiteral("a\r\nb"));
  EXPECT_TRUE(window.logPane()->toPlainText().endsWith("a  b"));
  EXPECT_EQ(MainWindow::stampedLogLine(QDateTime(QDate(2026, 12, 9), QTime(7, 5, 3)), QStringLiteral("x")),
            QStringLiteral("07:05:03 x"));
  log.clear();
  EXPECT_TRUE(window.logPane()->toPlainText().isEmpty());
  EXPECT_TRUE(window.logPane()->isReadOnly());
}

}  // namespace
}  // namespace geomuxer
