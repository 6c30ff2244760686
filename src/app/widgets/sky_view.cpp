#include "app/widgets/sky_view.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "app/widgets/live_status.h"
#include "app/widgets/view_refresher.h"

namespace geomuxer {

namespace {

const QColor kUsed(0x2f, 0x9e, 0x44);
const QColor kSeen(0x86, 0x8e, 0x96);

bool placed(const SatelliteInView& s) { return s.elevation >= 0 && s.azimuth >= 0; }

// The mark's radius: 3 px without a signal, up to 9 px at 48 dB-Hz and more.
double markRadius(const SatelliteInView& s) { return s.snr < 0 ? 3.0 : 3.0 + std::min(s.snr, 48) / 8.0; }

}  // namespace

SkyView::SkyView(LiveStatus& status, QWidget* parent) : QWidget(parent), m_status(status) {
  setObjectName(QStringLiteral("SkyView"));
  setAccessibleName(QStringLiteral("Satellites in view"));
  setBackgroundRole(QPalette::Base);
  setAutoFillBackground(true);
  new ViewRefresher(this, [this] { refresh(); });
}

void SkyView::refresh() {
  const GpsProtocolNmea* decoder = m_status.nmeaDecoder();
  if (decoder == nullptr || decoder->satellites() == m_satellites) return;
  m_satellites = decoder->satellites();
  update();
}

int SkyView::markCount() const {
  return static_cast<int>(std::count_if(m_satellites.begin(), m_satellites.end(), placed));
}

QRectF SkyView::plotArea() const {
  // Room below for the legend line, around for the compass letters.
  const double legend = fontMetrics().height() + 4.0;
  const double side = std::max(10.0, std::min(width() - 24.0, height() - legend - 24.0));
  return {(width() - side) / 2.0, 12.0 + (height() - legend - 24.0 - side) / 2.0, side, side};
}

QPointF SkyView::markPlace(const SatelliteInView& s) const {
  const QRectF area = plotArea();
  const double r = area.width() / 2.0 * (90.0 - std::clamp(s.elevation, 0, 90)) / 90.0;
  const double a = s.azimuth * std::numbers::pi / 180.0;
  return {area.center().x() + r * std::sin(a), area.center().y() - r * std::cos(a)};
}

void SkyView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF area = plotArea();
  const QPointF centre = area.center();
  const double radius = area.width() / 2.0;
  const QColor grid = palette().color(QPalette::Mid);

  // Horizon, 30° and 60° rings, and the north-south and east-west lines.
  painter.setPen(QPen(grid, 1.0));
  painter.setBrush(Qt::NoBrush);
  for (double ring : {1.0, 2.0 / 3.0, 1.0 / 3.0}) painter.drawEllipse(centre, radius * ring, radius * ring);
  painter.drawLine(QPointF(centre.x(), area.top()), QPointF(centre.x(), area.bottom()));
  painter.drawLine(QPointF(area.left(), centre.y()), QPointF(area.right(), centre.y()));
  painter.setPen(palette().color(QPalette::Text));
  const QFontMetricsF fm(font());
  auto letter = [&](const QString& text, QPointF at) {
    painter.drawText(QRectF(at.x() - 10, at.y() - fm.height() / 2, 20, fm.height()), Qt::AlignCenter, text);
  };
  letter(QStringLiteral("N"), {centre.x(), area.top() - 6});
  letter(QStringLiteral("S"), {centre.x(), area.bottom() + 6});
  letter(QStringLiteral("E"), {area.right() + 7, centre.y()});
  letter(QStringLiteral("W"), {area.left() - 7, centre.y()});

  int unplaced = 0;
  QFont small = font();
  small.setPointSizeF(std::max(6.0, small.pointSizeF() * 0.8));
  painter.setFont(small);
  for (const SatelliteInView& s : m_satellites) {
    if (!placed(s)) {
      ++unplaced;
      continue;
    }
    const QPointF at = markPlace(s);
    const double r = markRadius(s);
    const QColor colour = s.used ? kUsed : kSeen;
    painter.setPen(QPen(colour.darker(130), 1.2));
    painter.setBrush(s.snr < 0 ? QBrush(Qt::NoBrush) : QBrush(colour));
    painter.drawEllipse(at, r, r);
    painter.setPen(palette().color(QPalette::Text));
    painter.drawText(at + QPointF(r + 1.0, -1.0), QString::number(s.prn));
  }

  painter.setFont(font());
  QString legend = QStringLiteral("%1 in view, %2 used")
                       .arg(m_satellites.size())
                       .arg(std::count_if(m_satellites.begin(), m_satellites.end(),
                                          [](const SatelliteInView& s) { return s.used; }));
  if (unplaced > 0) legend += QStringLiteral(", %1 without place").arg(unplaced);
  if (m_satellites.empty()) legend = QStringLiteral("No satellite data");
  painter.drawText(QRectF(0, height() - fm.height() - 2, width(), fm.height()), Qt::AlignCenter, legend);
}

}  // namespace geomuxer
