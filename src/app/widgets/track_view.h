#pragma once
// A small map of the last minutes of track: the path as a line in a local flat projection, north
// up, scaled to fit, the latest position as a dot and a scale bar in the user's units. No tiles.

#include <QWidget>

#include <vector>

#include "core/position_info.h"
#include "core/units.h"

namespace geomuxer {

class LiveStatus;

/// Main thread only. `status` must outlive the view.
class TrackView : public QWidget {
  Q_OBJECT

 public:
  explicit TrackView(LiveStatus& status, QWidget* parent = nullptr);

  /// Takes the track again (the last LiveStatus::kTrackSpan by the clock now).
  void refresh();
  [[nodiscard]] const std::vector<Point>& points() const { return m_points; }

  /// A scale bar for a map of `metresAcross` width: about a quarter of it, rounded to 1, 2 or 5
  /// times a power of ten in the unit that reads best ("200 m", "2 km", "500 ft", "1 mi", "0.5 nm").
  struct ScaleBar {
    double metres = 0.0;
    QString text;
  };
  [[nodiscard]] static ScaleBar scaleBar(double metresAcross, DistUnit unit);

  [[nodiscard]] QSize sizeHint() const override { return {220, 200}; }
  [[nodiscard]] QSize minimumSizeHint() const override { return {120, 120}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  LiveStatus& m_status;
  std::vector<Point> m_points;
};

}  // namespace geomuxer
