#pragma once
// Keeps a restored window where the user can see it: a place stored on a monitor that is gone, or
// on a larger desktop than today's, would leave the window out of reach.

#include <QGuiApplication>
#include <QList>
#include <QRect>
#include <QScreen>

#include <algorithm>

namespace geomuxer {

/// `wanted` when it lies wholly inside one of `screens` (their available areas); otherwise moved,
/// as little as it takes, into the screen it overlaps most (the first one when it overlaps none).
/// A window larger than that screen keeps its size and is put at its top left corner, so that the
/// title bar stays reachable. Without screens nothing changes.
[[nodiscard]] inline QRect keptInsideScreens(const QRect& wanted, const QList<QRect>& screens) {
  if (screens.isEmpty() || wanted.isEmpty()) return wanted;
  const QRect* best = &screens.front();
  long long bestOverlap = -1;
  for (const QRect& screen : screens) {
    if (screen.contains(wanted)) return wanted;
    const QRect overlap = screen.intersected(wanted);
    const long long area = overlap.isEmpty() ? 0 : static_cast<long long>(overlap.width()) * overlap.height();
    if (area > bestOverlap) {
      bestOverlap = area;
      best = &screen;
    }
  }
  const QRect& screen = *best;
  QRect moved = wanted;
  const int left = std::max(screen.left(), std::min(wanted.left(), screen.right() + 1 - wanted.width()));
  const int top = std::max(screen.top(), std::min(wanted.top(), screen.bottom() + 1 - wanted.height()));
  moved.moveTo(left, top);
  return moved;
}

/// The available areas of the screens the desktop has now.
[[nodiscard]] inline QList<QRect> availableScreenAreas() {
  QList<QRect> areas;
  for (const QScreen* screen : QGuiApplication::screens()) areas.push_back(screen->availableGeometry());
  return areas;
}

}  // namespace geomuxer
