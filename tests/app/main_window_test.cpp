#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QSystemTrayIcon>

#include "app/main_window.h"
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
  for (const QAction* action : menu->actions()) texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
  return texts;
}

TEST(MainWindow, CloseToTrayHidesAndExitEnds) {
  ControllerFixture f(quiet("<general><closetotray>true</closetotray><tracker>0</tracker></general>"));
  MainWindow window(*f.controller);
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
  EXPECT_EQ(menuTexts(loggers), (QStringList{"NMEA TCP/IP", "HTTP", "NMEA File", "GPX File"}));
  const QMenu* server = window.trayMenu()->actions().at(5)->menu();
  EXPECT_EQ(menuTexts(server), (QStringList{"Open Page", "Open Admin Page"}));
  for (const QAction* action : server->actions()) EXPECT_FALSE(action->isEnabled());
  const QMenu* trackers = window.trayMenu()->actions().at(3)->menu();
  ASSERT_EQ(trackers->actions().size(), c.sourceCount());
  EXPECT_TRUE(trackers->actions().at(0)->isChecked());
  EXPECT_EQ(window.sourceSelector()->currentIndex(), 0);
  EXPECT_EQ(window.sourceSelector()->toolTip(), "Source");

  // "Active" from the tool strip starts the source; the tray icon cycles and names it.
  EXPECT_EQ(window.trayIcon()->toolTip(), "Geomuxer - inactive");
  window.activeAction()->trigger();
  ASSERT_TRUE(c.isActive());
  EXPECT_TRUE(window.activeAction()->isChecked());
  EXPECT_EQ(window.trayIcon()->toolTip(), "Geomuxer - Simulator active");
  const int frame = window.iconFrame();
  EXPECT_GT(frame, 0);
  EXPECT_TRUE(test::waitUntil([&] { return window.iconFrame() != frame; }));

  // Choosing another source in the tray menu stops the running one.
  trackers->actions().at(3)->trigger();
  EXPECT_EQ(c.currentSource(), 3);
  EXPECT_EQ(window.sourceSelector()->currentIndex(), 3);
  EXPECT_FALSE(window.activeAction()->isChecked());
  EXPECT_EQ(window.iconFrame(), 0);
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
  EXPECT_EQ(window.logPane()->toPlainText(), log.lines().join('\n'));
  EXPECT_EQ(window.logPane()->document()->blockCount(), 5);
  log.addLine(QStringLiteral("a\r\nb"));
  EXPECT_TRUE(window.logPane()->toPlainText().endsWith("a  b"));
  log.clear();
  EXPECT_TRUE(window.logPane()->toPlainText().isEmpty());
  EXPECT_TRUE(window.logPane()->isReadOnly());
}

}  // namespace
}  // namespace geomuxer
