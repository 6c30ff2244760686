// Renders the windows to PNG files under the build folder (screenshots/), so that a person can look
// at them after a change; the checks only make sure something was drawn.

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <filesystem>
#include <set>

#include "app/app_controller.h"
#include "app/main_window.h"
#include "app/widgets/live_status.h"
#include "app/widgets/status_panel.h"
#include "app/widgets/options_dialog.h"
#include "app/widgets/simulator_window.h"
#include "app/widgets/widget_test_app.h"
#include "support/temp_dir.h"
#include "sources/trackers/gps_tracker_nmea_com.h"
#include "sources/trackers/gps_tracker_simu.h"
#include "support/pty_pair.h"

namespace geomuxer {
namespace {

const QString kFolder = QStringLiteral(GEOMUXER_BINARY_DIR "/screenshots");

/// Saves the window's picture and checks that it is more than a blank area.
void shoot(QWidget& widget, const QString& name) {
  widget.show();
  QApplication::processEvents();
  const QImage image = widget.grab().toImage();
  ASSERT_FALSE(image.isNull()) << name.toStdString();
  std::set<QRgb> colours;
  for (int y = 0; y < image.height(); y += 3)
    for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
  EXPECT_GT(colours.size(), 3u) << name.toStdString();
  const QString file = kFolder + QLatin1Char('/') + name + QStringLiteral(".png");
  EXPECT_TRUE(image.save(file)) << file.toStdString();
}

class ScreenshotTest : public ::testing::Test {
 protected:
  void SetUp() override { QDir().mkpath(kFolder); }

  QApplication& app = test::widgetApp();
  test::TempDir dir;
  Settings settings{dir / "geomuxer.sml"};
  AppController controller{settings, {}};
};

TEST_F(ScreenshotTest, MainWindow) {
  // With a fix: the simulator running, after its first positions.
  MainWindow window(controller);
  controller.selectSource(0);
  controller.simulator()->setStartPoint({11.39322, 47.26962});
  controller.simulator()->setSpeed(4.5f);
  controller.setActive(true);
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.liveStatus().epochs() >= 2; }, 10000));
  controller.addLog(QStringLiteral("TRACKER: N47\u00B0 16.177\u2032 E11\u00B0 23.593\u2032 (\u00B14.0 m), 90\u00B0 true"));
  window.statusPanel()->refresh();
  shoot(window, QStringLiteral("main_window"));
  controller.setActive(false);
  window.hide();
}

TEST_F(ScreenshotTest, MainWindowWaitingForData) {
  // A receiver's serial line that is open but silent.
  test::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  MainWindow window(controller);
  const auto names = controller.sourceNames();
  const int com = static_cast<int>(std::find(names.begin(), names.end(), "NMEA via COM") - names.begin());
  controller.selectSource(com);
  static_cast<GpsTrackerNmeaCom*>(controller.currentTracker())->setPort(pty.slaveName());
  controller.setActive(true);
  ASSERT_TRUE(controller.isActive());
  shoot(window, QStringLiteral("main_window_waiting"));
  EXPECT_EQ(window.statusPanel()->text(StatusPanel::Field::source), "NMEA via COM: waiting for data");
  controller.setActive(false);
  window.hide();
}

TEST_F(ScreenshotTest, EveryOptionsPage) {
  SimulatorWindow simulatorWindow;
  OptionsDialog dialog(controller, &simulatorWindow, nullptr, [] {
    return std::vector<std::string>{"ttyS0", "ttyUSB0"};
  });
  for (int i = 0; i < dialog.pageCount(); ++i) {
    dialog.setCurrentPage(i);
    QString name = dialog.pageTitle(i).toLower();
    name.replace(QRegularExpression(QStringLiteral("[^a-z0-9]+")), QStringLiteral("_"));
    shoot(dialog, QStringLiteral("options_%1_%2").arg(i, 2, 10, QLatin1Char('0')).arg(name));
  }
  dialog.hide();
}

TEST_F(ScreenshotTest, SimulatorWindow) {
  SimulatorWindow window;
  GpsTrackerSimu simu;
  simu.setCourse(45.0f);
  simu.setSpeed(120.0f);
  simu.setVSpeed(5.0f);
  window.attach(&simu);
  shoot(window, QStringLiteral("simulator_window"));
  window.hide();
}

}  // namespace
}  // namespace geomuxer
