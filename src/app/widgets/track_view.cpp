#include "app/widgets/track_view.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "app/app_controller.h"
#include "app/widgets/live_status.h"
#include "app/widgets/view_refresher.h"

namespace geomuxer {

namespace {

constexpr double kMetresPerDegree = 111'319.49;  // along the equator, WGS 84
const QColor kPath(0x1c, 0x6d, 0xd0);
const QColor kHere(0xd9, 0x48, 0x0f);

// 1, 2 or 5 times a power of ten, at most `value`.
double niceBelow(double value) {
  const double power = std::pow(10.0, std::floor(std::log10(value)));
  for (double step : {5.0, 2.0, 1.0})
    if (step * power <= value) return step * power;
  return power;
}

QString numberText(double value) { return QString::number(value, 'g', 6); }

}  // namespace

TrackView::TrackView(LiveStatus& status, QWidget* parent) : QWidget(parent), m_status(status) {
  setObjectName(QStringLiteral("TrackView"));
  setAccessibleName(QStringLiteral("Track of the last ten minutes"));
  setBackgroundRole(QPalette::Base);
  setAutoFillBackground(true);
  new ViewRefresher(this, [this] { refresh(); });
}

void TrackView::refresh() {
  const Clock::TimePoint from = m_status.clock().now() - LiveStatus::kTrackSpan;
  std::vector<Point> points;
  for (const LiveStatus::TrackPoint& p : m_status.track())
    if (p.at >= from) points.push_back(p.point);
  if (points == m_points) return;
  m_points = std::move(points);
  update();
}

TrackView::ScaleBar TrackView::scaleBar(double metresAcross, DistUnit unit) {
  struct Scale {
    double smallMetres;
    const char* small;
    double largeMetres;
    const char* large;
  };
  static constexpr Scale kScales[] = {
      {1.0, "m", 1000.0, "km"},              // metric
      {0.3048, "ft", 1609.344, "mi"},         // statute
      {0.3048, "ft", 1852.0, "nm"},           // nautic
  };
  const Scale& scale = kScales[std::clamp(static_cast<int>(unit), 0, 2)];
  const double target = std::max(metresAcross / 4.0, 0.1);
  if (target >= scale.largeMetres / 2.0) {
    const double large = niceBelow(target / scale.largeMetres);
    return {large * scale.largeMetres, numberText(large) + QLatin1Char(' ') + QLatin1String(scale.large)};
  }
  const double small = niceBelow(target / scale.smallMetres);
  return {small * scale.smallMetres, numberText(small) + QLatin1Char(' ') + QLatin1String(scale.small)};
}

void TrackView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QFontMetricsF fm(font());
  if (m_points.empty()) {
    painter.setPen(palette().color(QPalette::Text));
    painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("No track yet"));
    return;
  }

  // A flat projection about the latest point: metres east and north of it. Ten minutes of track
  // are a few kilometres at most, where the flat error is far below a pixel.
  const Point here = m_points.back();
  const double eastScale = kMetresPerDegree * std::cos(here.y * std::numbers::pi / 180.0);
  auto metres = [&](Point p) { return QPointF((p.x - here.x) * eastScale, (p.y - here.y) * kMetresPerDegree); };
  double left = 0, right = 0, bottom = 0, top = 0;
  for (const Point& p : m_points) {
    const QPointF m = metres(p);
    left = std::min(left, m.x());
    right = std::max(right, m.x());
    bottom = std::min(bottom, m.y());
    top = std::max(top, m.y());
  }
  const QRectF area = QRectF(rect()).adjusted(12, 12, -12, -12 - fm.height() - 6);
  // At least 100 m across, so that a receiver standing still is not magnified into its noise.
  const double span = std::max({right - left, top - bottom, 100.0});
  const double pixelsPerMetre = std::min(area.width(), area.height()) / span;
  const QPointF middle((left + right) / 2.0, (bottom + top) / 2.0);
  auto toWidget = [&](Point p) {
    const QPointF m = metres(p) - middle;
    return QPointF(area.center().x() + m.x() * pixelsPerMetre, area.center().y() - m.y() * pixelsPerMetre);
  };

  QPainterPath path(toWidget(m_points.front()));
  for (std::size_t i = 1; i < m_points.size(); ++i) path.lineTo(toWidget(m_points[i]));
  painter.setPen(QPen(kPath, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(path);
  painter.setPen(QPen(kHere.darker(130), 1.2));
  painter.setBrush(kHere);
  painter.drawEllipse(toWidget(here), 4.5, 4.5);

  // Scale bar, bottom left.
  const ScaleBar bar = scaleBar(area.width() / pixelsPerMetre, m_status.controller().displayFormat().distUnit);
  const double length = bar.metres * pixelsPerMetre;
  const double y = height() - fm.height() - 6.0;
  painter.setPen(QPen(palette().color(QPalette::Text), 1.5));
  painter.drawLine(QPointF(12, y), QPointF(12 + length, y));
  painter.drawLine(QPointF(12, y - 4), QPointF(12, y + 4));
  painter.drawLine(QPointF(12 + length, y - 4), QPointF(12 + length, y + 4));
  painter.drawText(QPointF(18 + length, y + fm.ascent() / 2.0 - 1.0), bar.text);
  painter.drawText(QRectF(0, 2, width() - 6, fm.height()), Qt::AlignRight, QStringLiteral("N \u2191"));
}

}  // namespace geomuxer
