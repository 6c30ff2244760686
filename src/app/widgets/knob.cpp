#include "app/widgets/knob.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace geomuxer {

namespace {

constexpr double kPi = std::numbers::pi;
// With stops the knob turns through 5 radians (about 286 degrees), leaving a gap at the bottom.
constexpr double kStopSweep = 5.0;
constexpr int kArrowHead = 14;

}  // namespace

Knob::Knob(QWidget* parent) : QWidget(parent) {
  m_faceColor = palette().color(QPalette::Dark);
  m_backColor = palette().color(QPalette::Button);
  setFocusPolicy(Qt::StrongFocus);  // reached with Tab, so the keys can turn it
  resize(sizeHint());
}

void Knob::setMinimum(int value) {
  if (value == m_min) return;
  m_min = value;
  update();
}

void Knob::setMaximum(int value) {
  if (value == m_max) return;
  m_max = value;
  update();
}

void Knob::setPosition(int value) {
  if (value == m_position) return;
  m_position = std::clamp(value, m_min, std::max(m_min, m_max));
  update();
  emit changed(m_position);
}

void Knob::turnBy(int steps) {
  if (steps == 0) return;
  long long target = static_cast<long long>(m_position) + steps;
  const long long span = static_cast<long long>(m_max) - m_min;
  if (m_noStop && span > 0 && (target < m_min || target > m_max)) {
    // Both ends point the same way: going past one comes in again beside the other.
    target = m_min + (((target - m_min) % span) + span) % span;
  }
  setPosition(static_cast<int>(std::clamp<long long>(target, m_min, std::max(m_min, m_max))));
}

void Knob::setRotationEffect(bool on) {
  if (on == m_rotationEffect) return;
  m_rotationEffect = on;
  update();
}

void Knob::setNoStop(bool on) {
  if (on == m_noStop) return;
  m_noStop = on;
  update();
}

void Knob::setMarkStyle(MarkStyle style) {
  if (style == m_markStyle) return;
  m_markStyle = style;
  update();
}

void Knob::setFaceColor(const QColor& color) {
  if (color == m_faceColor) return;
  m_faceColor = color;
  update();
}

void Knob::setBackColor(const QColor& color) {
  if (color == m_backColor) return;
  m_backColor = color;
  update();
}

void Knob::setTickColor(const QColor& color) {
  if (color == m_tickColor) return;
  m_tickColor = color;
  update();
}

double Knob::sweep() const { return m_noStop ? 2.0 * kPi : kStopSweep; }

double Knob::angleOf(double position) const {
  const double span = m_max - m_min;
  if (span == 0.0) return 0.0;
  return (position - (m_min + m_max) / 2.0) / span * sweep();
}

int Knob::positionAt(QPointF point) const {
  const double cx = width() / 2.0;
  const double cy = height() / 2.0;
  const double dx = point.x() - cx;
  const double dy = point.y() - cy;
  double r = std::round(std::hypot(dx, dy));
  if (r == 0.0) r = 0.0001;
  // The rounded radius can be a little shorter than |dx|.
  const auto asinOf = [](double v) { return std::asin(std::clamp(v, -1.0, 1.0)); };
  double angle = 0.0;
  if (dy < 0.0) {
    angle = asinOf(dx / r);
  } else {
    angle = asinOf(-dx / r) + (dx > 0.0 ? kPi : -kPi);
  }
  return static_cast<int>(std::lround(angle * (m_max - m_min) / sweep() + (m_min + m_max) / 2.0));
}

void Knob::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.fillRect(rect(), m_backColor);

  const int side = std::min(width(), height());
  if (side < 8) return;
  // At odd positions the face grows by a pixel: the eye reads the flicker as turning.
  const int grow = m_rotationEffect && (m_position % 2 != 0) ? 1 : 0;
  const QRectF outer(QPointF((width() - side) / 2.0 + 1.0, (height() - side) / 2.0 + 1.0),
                     QSizeF(side - 2.0, side - 2.0));
  const QRectF face = outer.adjusted(2.0 - grow, 2.0 - grow, grow - 2.0, grow - 2.0);

  const QPalette& pal = palette();
  if (hasFocus()) {
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.backgroundColor = m_backColor;
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &p, this);
  }
  p.setPen(Qt::NoPen);
  p.setBrush(m_faceColor);
  p.drawEllipse(face);

  // Lit from the upper left: light ring on that side, shadow on the other, each two pixels.
  const QRectF ring = outer.adjusted(1.0, 1.0, -1.0, -1.0);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(pal.color(QPalette::Light), 2.0, Qt::SolidLine, Qt::FlatCap));
  p.drawArc(ring, 45 * 16, 180 * 16);
  p.setPen(QPen(pal.color(QPalette::Dark), 2.0, Qt::SolidLine, Qt::FlatCap));
  p.drawArc(ring, 225 * 16, 180 * 16);
  p.setPen(QPen(pal.color(QPalette::Button), 1.0));
  p.drawEllipse(face);

  if (m_position < 0 || m_markStyle == MarkStyle::msNone) return;
  const QPointF centre = face.center();
  const double radius = face.width() / 2.0;
  const double angle = angleOf(m_position);
  const QPointF dir(std::sin(angle), -std::cos(angle));
  const QPointF inner = centre + dir * (radius / 3.0);
  const QPointF tip = centre + dir * (radius - 4.0);
  const QColor markColor = isEnabled() ? m_tickColor : pal.color(QPalette::Dark);
  p.setPen(QPen(markColor, 3.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));

  switch (m_markStyle) {
    case MarkStyle::msNone:
      break;
    case MarkStyle::msLine:
      p.drawLine(inner, tip);
      break;
    case MarkStyle::msCircle: {
      const double half = std::max(1.0, width() / 20.0);
      p.setBrush(markColor);
      p.drawEllipse(inner, half, half);
      break;
    }
    case MarkStyle::msArrow: {
      p.drawLine(inner, tip);
      const double head = std::min<double>(kArrowHead, (radius - 4.0) * 2.0 / 3.0);
      const QPointF across(dir.y(), -dir.x());
      QPainterPath arrow;
      arrow.moveTo(tip - dir * head + across * (head / 2.5));
      arrow.lineTo(tip);
      arrow.lineTo(tip - dir * head - across * (head / 2.5));
      p.drawPath(arrow);
      break;
    }
  }
}

void Knob::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && m_allowUserDrag) {
    setFocus(Qt::MouseFocusReason);
    m_dragging = true;
    emit changeStarted();
    setPosition(positionAt(event->position()));
  } else if (event->button() == Qt::RightButton) {
    reset();
  }
  event->accept();
}

void Knob::mouseMoveEvent(QMouseEvent* event) {
  if (m_dragging) setPosition(positionAt(event->position()));
  event->accept();
}

void Knob::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && m_dragging) {
    m_dragging = false;
    emit changeStopped();
  }
  event->accept();
}

void Knob::keyPressEvent(QKeyEvent* event) {
  if (event->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier)) {
    QWidget::keyPressEvent(event);
    return;
  }
  switch (event->key()) {
    case Qt::Key_Right:
    case Qt::Key_Up:
      turnBy(m_singleStep);
      break;
    case Qt::Key_Left:
    case Qt::Key_Down:
      turnBy(-m_singleStep);
      break;
    case Qt::Key_PageUp:
      turnBy(m_pageStep);
      break;
    case Qt::Key_PageDown:
      turnBy(-m_pageStep);
      break;
    case Qt::Key_Home:
      setPosition(m_min);
      break;
    case Qt::Key_End:
      setPosition(m_max);
      break;
    default:
      QWidget::keyPressEvent(event);
      return;
  }
  event->accept();
}

void Knob::wheelEvent(QWheelEvent* event) {
  // One notch is 120 eighths of a degree; touchpads send less at a time, so the rest is kept.
  m_wheelRemainder += event->angleDelta().y();
  const int notches = m_wheelRemainder / 120;
  m_wheelRemainder -= notches * 120;
  turnBy(notches * m_singleStep);
  event->accept();
}

}  // namespace geomuxer
