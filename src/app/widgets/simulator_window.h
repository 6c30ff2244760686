#pragma once
// The small always-on-top window that steers the simulator source by hand while it runs: a course
// knob with a field for a typed course, and vertical sliders for speed and vertical speed, each with
// its value as a number. Every change reaches the source at once.

#include <QPointer>
#include <QSlider>
#include <QWidget>

#include <string>
#include <vector>

#include "settings/settings.h"
#include "sources/trackers/gps_tracker_simu.h"

class QLabel;
class QSpinBox;

namespace geomuxer {

class AppController;
class Knob;

/// A slider that also reports mouse presses (the simulator window stops on a right click).
class TrackBar : public QSlider {
  Q_OBJECT

 public:
  using QSlider::QSlider;

 signals:
  void mousePressed(Qt::MouseButton button);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};

/// The sliders hold speed (km/h) and vertical speed (m/s) as whole numbers; the top of each is the
/// highest speed and the strongest climb. Main thread only.
class SimulatorWindow : public QWidget {
  Q_OBJECT

 public:
  /// The name of the window's place in the settings.
  static constexpr const char* kSettingsName = "SimuForm";

  explicit SimulatorWindow(QWidget* parent = nullptr);

  /// Shows the state of `simu` (not owned; may be null) and steers it from now on. Showing the
  /// state does not write it back, so a fractional course or speed stays as it is.
  void attach(GpsTrackerSimu* simu);
  [[nodiscard]] GpsTrackerSimu* simulator() const { return m_simu; }
  /// Attaches and shows the window whenever the controller's simulator starts, hides it when it
  /// stops. `controller` must outlive the window or be destroyed with it.
  void follow(AppController& controller);

  /// Speed slider from 0 to `maxSpeed` km/h, vertical-speed slider from -maxVSpeed to +maxVSpeed.
  void setSpeedRange(int maxSpeed, int maxVSpeed);
  [[nodiscard]] int maxSpeed() const;
  [[nodiscard]] int maxVSpeed() const;

  /// Restores the stored place (when places are kept) and reads the speed range. A stored maximum
  /// that is not a usable number gives its default; the messages saying so come back.
  std::vector<std::string> applySettings(const Settings& settings);
  /// Stores the window's place.
  void storeState(Settings& settings) const;

  [[nodiscard]] TrackBar* speedSlider() const { return m_speed; }
  [[nodiscard]] TrackBar* vSpeedSlider() const { return m_vSpeed; }
  [[nodiscard]] Knob* courseKnob() const { return m_course; }
  [[nodiscard]] QLabel* maxSpeedLabel() const { return m_maxSpeedLabel; }
  /// The course typed or shown in degrees (0..359); it applies on Enter or when the field is left.
  [[nodiscard]] QSpinBox* courseField() const { return m_courseField; }
  /// The numbers under the sliders: speed in km/h, climb in m/s.
  [[nodiscard]] QLabel* speedValueLabel() const { return m_speedValue; }
  [[nodiscard]] QLabel* vSpeedValueLabel() const { return m_vSpeedValue; }

  /// Knob position for a course, and the course for a knob position: the knob's position 180
  /// points up, so that north is at the top and east to the right.
  [[nodiscard]] static int knobPositionOfCourse(int course);
  [[nodiscard]] static int courseOfKnobPosition(int position);

 protected:
  /// The window has no close button and belongs to the running simulator: a close request from
  /// the desktop (Alt+F4) is refused while one is attached, since nothing could bring it back
  /// before the source restarts. Stopping the source hides it.
  void closeEvent(QCloseEvent* event) override;

 private:
  void showSpeed(double kmh);
  void showVSpeed(double metresPerSecond);
  void onSpeedChanged(int kmh);
  void onVSpeedChanged(int metresPerSecond);
  void onCourseChanged(int position);

  QPointer<GpsTrackerSimu> m_simu;
  TrackBar* m_speed;
  TrackBar* m_vSpeed;
  Knob* m_course;
  QLabel* m_maxSpeedLabel;
  QSpinBox* m_courseField;
  QLabel* m_speedValue;
  QLabel* m_vSpeedValue;
};

}  // namespace geomuxer
