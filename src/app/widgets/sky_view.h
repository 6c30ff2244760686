#pragma once
// The receiver's sky: a plot of elevation and azimuth (north up, the horizon the outer ring, the
// zenith the centre) with one mark per satellite in view; its size grows with the signal, filled
// green when the fix uses it, grey when it is seen but not used, hollow when it has no signal.

#include <QWidget>

#include <vector>

#include "sources/decoders/gps_protocol_nmea.h"

namespace geomuxer {

class LiveStatus;

/// Main thread only. `status` must outlive the view.
class SkyView : public QWidget {
  Q_OBJECT

 public:
  explicit SkyView(LiveStatus& status, QWidget* parent = nullptr);

  /// Takes the selected source's sky again; keeps the last one while the source sends none.
  void refresh();
  [[nodiscard]] const std::vector<SatelliteInView>& satellites() const { return m_satellites; }
  /// Satellites drawn (those with elevation and azimuth).
  [[nodiscard]] int markCount() const;
  /// Where a satellite's mark goes in the widget; the centre of the plot for the zenith.
  [[nodiscard]] QPointF markPlace(const SatelliteInView& satellite) const;

  [[nodiscard]] QSize sizeHint() const override { return {220, 200}; }
  [[nodiscard]] QSize minimumSizeHint() const override { return {120, 120}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  [[nodiscard]] QRectF plotArea() const;

  LiveStatus& m_status;
  std::vector<SatelliteInView> m_satellites;
};

}  // namespace geomuxer
