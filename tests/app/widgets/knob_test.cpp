#include "app/widgets/knob.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QSignalSpy>
#include <QWheelEvent>
#include <QTest>

#include <cmath>
#include <numbers>

#include "app/widgets/widget_test_app.h"

namespace geomuxer {
namespace {

class KnobTest : public ::testing::Test {
 protected:
  void SetUp() override { knob.resize(100, 100); }

  // The course knob of the simulator window.
  void makeCompass() {
    knob.setMinimum(0);
    knob.setMaximum(360);
    knob.setNoStop(true);
    knob.setResetValue(180);
  }

  QApplication& app = test::widgetApp();  // before the knob
  Knob knob;
};

TEST_F(KnobTest, AngleCoversAFullTurnWithoutStopsAnd5RadiansWithThem) {
  makeCompass();
  EXPECT_DOUBLE_EQ(knob.angleOf(180), 0.0);
  EXPECT_DOUBLE_EQ(knob.angleOf(270), std::numbers::pi / 2);
  EXPECT_DOUBLE_EQ(knob.angleOf(0), -std::numbers::pi);

  knob.setNoStop(false);
  const double toDegrees = 180.0 / std::numbers::pi;
  EXPECT_NEAR(knob.angleOf(0) * toDegrees, -143.24, 0.01);
  EXPECT_NEAR(knob.angleOf(360) * toDegrees, 143.24, 0.01);
}

TEST_F(KnobTest, PointerPositionFollowsTheDirectionFromTheCentre) {
  makeCompass();
  EXPECT_EQ(knob.positionAt({50, 10}), 180);  // up
  EXPECT_EQ(knob.positionAt({90, 50}), 270);  // right
  EXPECT_EQ(knob.positionAt({10, 50}), 90);   // left
  EXPECT_EQ(knob.positionAt({50, 90}), 0);    // straight down
  // 3-4-5 triangles, so that the rounded radius is exact: 36.87 degrees off the vertical.
  EXPECT_EQ(knob.positionAt({80, 10}), 217);  // upper right
  EXPECT_EQ(knob.positionAt({80, 90}), 323);  // lower right
  EXPECT_EQ(knob.positionAt({20, 90}), 37);   // lower left
  EXPECT_EQ(knob.positionAt({20, 10}), 143);  // upper left
  EXPECT_EQ(knob.positionAt({50, 50}), 0);    // the centre itself reads as straight down

  // With stops, pointing straight down asks for a position beyond either end.
  knob.setNoStop(false);
  EXPECT_GT(knob.positionAt({51, 90}), 360);
  EXPECT_LT(knob.positionAt({49, 90}), 0);
}

TEST_F(KnobTest, SetPositionClampsAndAnnouncesOnlyChanges) {
  makeCompass();
  QSignalSpy spy(&knob, &Knob::changed);
  knob.setPosition(500);
  EXPECT_EQ(knob.position(), 360);
  ASSERT_EQ(spy.count(), 1);
  EXPECT_EQ(spy.at(0).at(0).toInt(), 360);

  knob.setPosition(360);
  EXPECT_EQ(spy.count(), 1);
  knob.setPosition(-20);
  EXPECT_EQ(knob.position(), 0);
  EXPECT_EQ(spy.count(), 2);
}

TEST_F(KnobTest, MouseDragTurnsTheKnobAndRightButtonResetsIt) {
  makeCompass();
  knob.show();
  QSignalSpy started(&knob, &Knob::changeStarted);
  QSignalSpy stopped(&knob, &Knob::changeStopped);

  QTest::mousePress(&knob, Qt::LeftButton, {}, QPoint(90, 50));
  EXPECT_EQ(knob.position(), 270);
  EXPECT_EQ(started.count(), 1);
  QMouseEvent move(QEvent::MouseMove, QPointF(10, 50), knob.mapToGlobal(QPointF(10, 50)), Qt::NoButton,
                   Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&knob, &move);
  EXPECT_EQ(knob.position(), 90);
  QTest::mouseRelease(&knob, Qt::LeftButton, {}, QPoint(10, 50));
  EXPECT_EQ(stopped.count(), 1);

  QTest::mousePress(&knob, Qt::RightButton, {}, QPoint(10, 50));
  EXPECT_EQ(knob.position(), 180);

  knob.setAllowUserDrag(false);
  QTest::mousePress(&knob, Qt::LeftButton, {}, QPoint(90, 50));
  EXPECT_EQ(knob.position(), 180);
  EXPECT_EQ(started.count(), 1);
  knob.hide();
}

// The mark is drawn in its colour along the knob's angle, and nowhere on the opposite side.
TEST_F(KnobTest, MarkPointsAlongTheAngle) {
  makeCompass();
  knob.setFaceColor(Qt::white);
  knob.setTickColor(QColor(0, 128, 0));
  knob.setPosition(270);  // right
  for (Knob::MarkStyle style : {Knob::MarkStyle::msLine, Knob::MarkStyle::msArrow, Knob::MarkStyle::msCircle}) {
    knob.setMarkStyle(style);
    const QImage image = knob.grab().toImage();
    const int along = style == Knob::MarkStyle::msCircle ? 50 + 16 : 50 + 30;
    EXPECT_EQ(image.pixelColor(along, 50), QColor(0, 128, 0)) << static_cast<int>(style);
    EXPECT_EQ(image.pixelColor(100 - along, 50), QColor(Qt::white)) << static_cast<int>(style);
  }

  knob.setMarkStyle(Knob::MarkStyle::msNone);
  EXPECT_EQ(knob.grab().toImage().pixelColor(80, 50), QColor(Qt::white));
}

// Keyboard users reach the knob with Tab and turn it with the keys; the compass goes round past
// its ends, a knob with stops halts at them.
TEST_F(KnobTest, KeysAndWheelTurnIt) {
  EXPECT_TRUE(knob.focusPolicy() & Qt::TabFocus);
  makeCompass();
  knob.setPosition(180);
  QSignalSpy changed(&knob, &Knob::changed);
  QTest::keyClick(&knob, Qt::Key_Right);
  EXPECT_EQ(knob.position(), 181);
  QTest::keyClick(&knob, Qt::Key_Down);
  QTest::keyClick(&knob, Qt::Key_Left);
  EXPECT_EQ(knob.position(), 179);
  QTest::keyClick(&knob, Qt::Key_PageUp);
  EXPECT_EQ(knob.position(), 189);
  QTest::keyClick(&knob, Qt::Key_PageDown);
  QTest::keyClick(&knob, Qt::Key_PageDown);
  EXPECT_EQ(knob.position(), 169);
  EXPECT_EQ(changed.count(), 6);
  knob.setPosition(355);
  QTest::keyClick(&knob, Qt::Key_PageUp);
  EXPECT_EQ(knob.position(), 5);  // 365 is 5: the same direction
  knob.setPosition(0);
  QTest::keyClick(&knob, Qt::Key_Left);
  EXPECT_EQ(knob.position(), 359);

  auto wheel = [this](int delta) {
    const QPointF at(50, 50);
    QWheelEvent event(at, knob.mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(&knob, &event);
  };
  knob.setPosition(90);
  wheel(120);
  EXPECT_EQ(knob.position(), 91);
  wheel(-240);
  EXPECT_EQ(knob.position(), 89);
  wheel(60);  // half a notch from a touchpad does nothing yet, the second half turns
  EXPECT_EQ(knob.position(), 89);
  wheel(60);
  EXPECT_EQ(knob.position(), 90);

  knob.setNoStop(false);
  knob.setPosition(358);
  QTest::keyClick(&knob, Qt::Key_PageUp);
  EXPECT_EQ(knob.position(), 360);
  QTest::keyClick(&knob, Qt::Key_Home);
  EXPECT_EQ(knob.position(), 0);
  QTest::keyClick(&knob, Qt::Key_Left);
  EXPECT_EQ(knob.position(), 0);
}

}  // namespace
}  // namespace geomuxer
