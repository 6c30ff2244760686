#include "app/widgets/simulator_window.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScreen>
#include <QSpinBox>
#include <QStyle>
#include <QTest>

#include "app/app_controller.h"
#include "app/widgets/knob.h"
#include "app/widgets/widget_test_app.h"
#include "core/number_text.h"
#include "sources/trackers/gps_tracker_simu.h"

namespace geomuxer {
namespace {

class SimulatorWindowTest : public ::testing::Test {
 protected:
  QApplication& app = test::widgetApp();  // before the widgets
  GpsTrackerSimu simu;
  SimulatorWindow window;
  Settings settings{"/nonexistent/geomuxer-test.sml"};
};

TEST_F(SimulatorWindowTest, IsAnAlwaysOnTopToolWindowWithoutButtons) {
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Simulator"));
  const Qt::WindowFlags flags = window.windowFlags();
  EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Tool);
  EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(flags & (Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
}

TEST_F(SimulatorWindowTest, CourseMapsToTheKnobTurnedByHalfACircle) {
  EXPECT_EQ(SimulatorWindow::knobPositionOfCourse(0), 180);
  EXPECT_EQ(SimulatorWindow::knobPositionOfCourse(90), 270);
  EXPECT_EQ(SimulatorWindow::knobPositionOfCourse(270), 90);
  EXPECT_EQ(SimulatorWindow::knobPositionOfCourse(359), 179);
  EXPECT_EQ(SimulatorWindow::courseOfKnobPosition(180), 0);
  EXPECT_EQ(SimulatorWindow::courseOfKnobPosition(270), 90);
  EXPECT_EQ(SimulatorWindow::courseOfKnobPosition(90), 270);
  EXPECT_EQ(SimulatorWindow::courseOfKnobPosition(0), 180);
  EXPECT_EQ(SimulatorWindow::courseOfKnobPosition(360), 180);
  for (int course = 0; course < 360; ++course)
    EXPECT_EQ(SimulatorWindow::courseOfKnobPosition(SimulatorWindow::knobPositionOfCourse(course)), course);
}

TEST_F(SimulatorWindowTest, AttachShowsTheSourceWithoutChangingIt) {
  simu.setCourse(270.5f);
  simu.setSpeed(12.7f);
  simu.setVSpeed(-3.2f);
  window.attach(&simu);
  EXPECT_EQ(window.courseKnob()->position(), 90);
  EXPECT_EQ(window.speedSlider()->value(), 12);
  EXPECT_EQ(window.vSpeedSlider()->value(), -3);
  EXPECT_EQ(simu.course(), 270.5f);
  EXPECT_EQ(simu.speed(), 12.7f);
  EXPECT_EQ(simu.vSpeed(), -3.2f);

  simu.setCourse(0.0f);
  window.attach(&simu);
  EXPECT_EQ(window.courseKnob()->position(), 180);
}

TEST_F(SimulatorWindowTest, ControlsSteerTheSource) {
  window.attach(&simu);
  window.resize(window.sizeHint());
  window.show();

  window.courseKnob()->setPosition(270);  // pointing right
  EXPECT_EQ(simu.course(), 90.0f);
  QTest::mousePress(window.courseKnob(), Qt::RightButton);
  EXPECT_EQ(window.courseKnob()->position(), 180);
  EXPECT_EQ(simu.course(), 0.0f);

  window.speedSlider()->setValue(window.speedSlider()->maximum());
  EXPECT_EQ(simu.speed(), 260.0f);
  window.speedSlider()->setValue(50);
  EXPECT_EQ(simu.speed(), 50.0f);
  QTest::mousePress(window.speedSlider(), Qt::RightButton);
  EXPECT_EQ(simu.speed(), 0.0f);

  window.vSpeedSlider()->setValue(window.vSpeedSlider()->maximum());
  EXPECT_EQ(simu.vSpeed(), 30.0f);
  window.vSpeedSlider()->setValue(-7);
  EXPECT_EQ(simu.vSpeed(), -7.0f);
  QTest::mousePress(window.vSpeedSlider(), Qt::RightButton);
  EXPECT_EQ(simu.vSpeed(), 0.0f);
  window.hide();
}

// What the user sees: a press near the top of the speed slider's groove asks for a high speed, near
// the bottom for a low one; a right press stops.
TEST_F(SimulatorWindowTest, TopOfTheSlidersIsFastestAndStrongestClimb) {
  window.attach(&simu);
  window.show();
  // The button that moves the handle straight to the pointer (the middle one in most styles).
  const int buttons = window.speedSlider()->style()->styleHint(QStyle::SH_Slider_AbsoluteSetButtons);
  if (buttons == 0) GTEST_SKIP() << "this style has no button that sets a slider directly";
  const auto button = static_cast<Qt::MouseButton>(buttons & -buttons);
  auto click = [button](TrackBar* slider, int y) {
    const QPointF at(slider->width() / 2.0, y);
    QMouseEvent press(QEvent::MouseButtonPress, at, slider->mapToGlobal(at), button, button, Qt::NoModifier);
    QApplication::sendEvent(slider, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, slider->mapToGlobal(at), button, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(slider, &release);
  };
  for (TrackBar* slider : {window.speedSlider(), window.vSpeedSlider()}) {
    click(slider, 2);
    EXPECT_EQ(slider->value(), slider->maximum());
    click(slider, slider->height() - 2);
    EXPECT_EQ(slider->value(), slider->minimum());
  }
  EXPECT_EQ(simu.speed(), 0.0f);
  EXPECT_EQ(simu.vSpeed(), -30.0f);
  window.hide();
}

TEST_F(SimulatorWindowTest, ChangesReachTheRunningSimulation) {
  window.attach(&simu);
  simu.setActive(true);
  ASSERT_NE(simu.simuInterface(), nullptr);
  window.speedSlider()->setValue(36);
  window.vSpeedSlider()->setValue(2);
  window.courseKnob()->setPosition(0);
  EXPECT_EQ(simu.simuInterface()->speed, 36.0f);
  EXPECT_EQ(simu.simuInterface()->vSpeed, 2.0f);
  EXPECT_EQ(simu.simuInterface()->course, 180.0f);
  simu.setActive(false);
}

TEST_F(SimulatorWindowTest, ShownWhileTheControllersSimulatorRuns) {
  AppController controller(settings, {});
  window.follow(controller);
  const auto names = controller.sourceNames();
  controller.selectSource(static_cast<int>(std::find(names.begin(), names.end(), "Simulator") - names.begin()));
  controller.simulator()->setCourse(90.0f);
  controller.setActive(true);
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(window.simulator(), controller.simulator());
  EXPECT_EQ(window.courseKnob()->position(), 270);
  controller.setActive(false);
  EXPECT_FALSE(window.isVisible());
  window.courseKnob()->setPosition(180);
  EXPECT_EQ(controller.simulator()->course(), 90.0f);  // let go when stopped
}

TEST_F(SimulatorWindowTest, SpeedRangeComesFromTheSettings) {
  settings.writeInteger(keys::simuMaxSpeed, 100);
  settings.writeInteger(keys::simuMaxVSpeed, 12);
  EXPECT_TRUE(window.applySettings(settings).empty());
  EXPECT_EQ(window.speedSlider()->minimum(), 0);
  EXPECT_EQ(window.speedSlider()->maximum(), 100);
  EXPECT_EQ(window.maxSpeedLabel()->text(), QStringLiteral("100"));
  EXPECT_EQ(window.vSpeedSlider()->minimum(), -12);
  EXPECT_EQ(window.vSpeedSlider()->maximum(), 12);

  // A value that is not a number gives the default and says so; the other one is still taken.
  settings.writeString("simu\\maxvspeed", "fast");
  settings.writeInteger(keys::simuMaxSpeed, 90);
  const std::vector<std::string> problems = window.applySettings(settings);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0], "Setting simu\\maxvspeed: 'fast' is not a valid integer value; the default 30 is used");
  EXPECT_EQ(window.speedSlider()->maximum(), 90);
  EXPECT_EQ(window.vSpeedSlider()->maximum(), 30);
}

TEST_F(SimulatorWindowTest, PlaceIsStoredAndRestoredWhenPlacesAreKept) {
  window.move(40, 60);
  window.storeState(settings);
  EXPECT_EQ(settings.readInteger("SimuForm\\left", -1), 40);
  EXPECT_EQ(settings.readInteger("SimuForm\\top", -1), 60);
  EXPECT_EQ(settings.readInteger("SimuForm\\width", -1), window.width());

  SimulatorWindow other;
  settings.writeBool(keys::generalSavePos, false);
  const QPoint centred = other.pos();
  (void)other.applySettings(settings);
  EXPECT_EQ(other.pos(), centred);
  settings.writeBool(keys::generalSavePos, true);
  (void)other.applySettings(settings);
  EXPECT_EQ(other.pos(), QPoint(40, 60));
}

TEST_F(SimulatorWindowTest, NumbersAndATypedCourse) {
  simu.setCourse(270.5f);
  simu.setSpeed(12.7f);
  simu.setVSpeed(-3.0f);
  window.attach(&simu);
  EXPECT_EQ(window.speedValueLabel()->text(), QStringLiteral("12.7 km/h"));
  EXPECT_EQ(window.vSpeedValueLabel()->text(), QStringLiteral("-3 m/s"));
  EXPECT_EQ(window.courseField()->value(), 270);
  window.speedSlider()->setValue(50);
  window.vSpeedSlider()->setValue(4);
  EXPECT_EQ(window.speedValueLabel()->text(), QStringLiteral("50 km/h"));
  EXPECT_EQ(window.vSpeedValueLabel()->text(), QStringLiteral("+4 m/s"));
  window.courseKnob()->setPosition(0);
  EXPECT_EQ(window.courseField()->value(), 180);

  // Typing applies once, on Enter: the source never heads 1 or 12 degrees on the way to 123.
  window.show();
  QSpinBox* field = window.courseField();
  field->setFocus();
  field->selectAll();
  QTest::keyClicks(field, QStringLiteral("123"));
  EXPECT_EQ(simu.course(), 180.0f);
  QTest::keyClick(field, Qt::Key_Return);
  EXPECT_EQ(simu.course(), 123.0f);
  EXPECT_EQ(window.courseKnob()->position(), SimulatorWindow::knobPositionOfCourse(123));
  // The knob's keys reach the source and the field.
  QTest::keyClick(window.courseKnob(), Qt::Key_PageUp);
  EXPECT_EQ(simu.course(), 133.0f);
  EXPECT_EQ(field->value(), 133);
  window.hide();
}

TEST_F(SimulatorWindowTest, TabReachesEveryControlInOrder) {
  std::vector<QWidget*> chain;
  QWidget* w = window.vSpeedSlider();
  for (int i = 0; i < 40 && chain.size() < 4; ++i, w = w->nextInFocusChain()) {
    if ((w->focusPolicy() & Qt::TabFocus) && w->window() == &window && w->focusProxy() == nullptr &&
        qobject_cast<QLineEdit*>(w) == nullptr)
      chain.push_back(w);
  }
  EXPECT_EQ(chain, (std::vector<QWidget*>{window.vSpeedSlider(), window.speedSlider(), window.courseKnob(),
                                          window.courseField()}));
}

// Alt+F4 on the running simulator's window would hide it until the source restarts.
TEST_F(SimulatorWindowTest, CloseIsRefusedWhileASimulatorIsAttached) {
  window.attach(&simu);
  window.show();
  EXPECT_FALSE(window.close());
  EXPECT_TRUE(window.isVisible());
  window.attach(nullptr);
  EXPECT_TRUE(window.close());
  EXPECT_FALSE(window.isVisible());
}

TEST_F(SimulatorWindowTest, PlaceOffEveryScreenIsBroughtBack) {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  settings.writeBool(keys::generalSavePos, true);
  settings.saveWindowRect(SimulatorWindow::kSettingsName, WindowRect{screen.right() + 4000, -3000, 10, 10});
  (void)window.applySettings(settings);
  EXPECT_TRUE(screen.contains(window.geometry())) << window.x() << "," << window.y();
}

}  // namespace
}  // namespace geomuxer
