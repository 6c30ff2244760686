#pragma once
// A rotary knob drawn by the program itself: a round face with a mark that points at the current
// position. Dragging with the left button turns it, the right button puts it back to its reset
// value; the arrow keys and the wheel turn it a step, Page Up and Page Down a page, Home and End go
// to the ends. Used for the simulator's course.

#include <QColor>
#include <QPointF>
#include <QWidget>

#include <algorithm>

namespace geomuxer {

/// Main thread only (it is a widget).
class Knob : public QWidget {
  Q_OBJECT

 public:
  enum class MarkStyle { msNone, msLine, msCircle, msArrow };

  explicit Knob(QWidget* parent = nullptr);

  [[nodiscard]] int minimum() const { return m_min; }
  void setMinimum(int value);
  [[nodiscard]] int maximum() const { return m_max; }
  void setMaximum(int value);
  [[nodiscard]] int position() const { return m_position; }
  /// Clamps to minimum..maximum; repaints and emits changed unless `value` is the current position.
  void setPosition(int value);
  /// Where the right button puts the knob.
  [[nodiscard]] int resetValue() const { return m_resetValue; }
  void setResetValue(int value) { m_resetValue = value; }
  void reset() { setPosition(m_resetValue); }

  /// The face is drawn one pixel wider at odd positions, so that turning looks like motion.
  [[nodiscard]] bool rotationEffect() const { return m_rotationEffect; }
  void setRotationEffect(bool on);
  /// Without stops the range covers a full turn; with them about 286 degrees, ends below the centre.
  [[nodiscard]] bool noStop() const { return m_noStop; }
  void setNoStop(bool on);
  [[nodiscard]] MarkStyle markStyle() const { return m_markStyle; }
  void setMarkStyle(MarkStyle style);
  /// Face, background and mark colours.
  [[nodiscard]] QColor faceColor() const { return m_faceColor; }
  void setFaceColor(const QColor& color);
  [[nodiscard]] QColor backColor() const { return m_backColor; }
  void setBackColor(const QColor& color);
  [[nodiscard]] QColor tickColor() const { return m_tickColor; }
  void setTickColor(const QColor& color);
  /// How far an arrow key or a wheel notch turns the knob, and Page Up or Page Down.
  [[nodiscard]] int singleStep() const { return m_singleStep; }
  void setSingleStep(int step) { m_singleStep = std::max(1, step); }
  [[nodiscard]] int pageStep() const { return m_pageStep; }
  void setPageStep(int step) { m_pageStep = std::max(1, step); }
  /// Turns by `steps` (negative: anticlockwise). Without stops the knob goes round past its ends.
  void turnBy(int steps);
  [[nodiscard]] bool allowUserDrag() const { return m_allowUserDrag; }
  void setAllowUserDrag(bool on) { m_allowUserDrag = on; }

  /// Angle of `position` in radians, clockwise from straight up.
  [[nodiscard]] double angleOf(double position) const;
  /// The position the pointer at `point` (widget coordinates) asks for, before clamping.
  [[nodiscard]] int positionAt(QPointF point) const;

  [[nodiscard]] QSize sizeHint() const override { return {60, 60}; }

 signals:
  void changed(int position);
  /// A drag with the left button begins and ends.
  void changeStarted();
  void changeStopped();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  /// Full turn without stops, 5 radians with them.
  [[nodiscard]] double sweep() const;

  int m_min = 0;
  int m_max = 100;
  int m_position = 0;
  int m_resetValue = 0;
  bool m_rotationEffect = false;
  bool m_noStop = false;
  MarkStyle m_markStyle = MarkStyle::msCircle;
  QColor m_faceColor;
  QColor m_backColor;
  QColor m_tickColor = Qt::black;
  int m_singleStep = 1;
  int m_pageStep = 10;
  int m_wheelRemainder = 0;  // eighths of a degree not yet turned (fine-grained wheels)
  bool m_allowUserDrag = true;
  bool m_dragging = false;
};

}  // namespace geomuxer
