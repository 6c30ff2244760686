#include "app/widgets/simulator_window.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "app/app_controller.h"
#include "app/widgets/knob.h"
#include "app/widgets/screen_place.h"
#include "sources/trackers/gps_tracker_simu.h"

namespace geomuxer {

namespace {

constexpr int kDefaultMaxSpeed = 260;
constexpr int kDefaultMaxVSpeed = 30;

TrackBar* makeSlider(QWidget* parent) {
  // Qt's vertical sliders have their minimum at the bottom, so the value needs no turning round:
  // the top is the highest speed and the strongest climb, and the groove fills up from 0.
  auto* slider = new TrackBar(Qt::Vertical, parent);
  slider->setTickPosition(QSlider::TicksBothSides);
  slider->setMinimumHeight(120);
  return slider;
}

QLabel* label(const QString& text, QWidget* parent, Qt::Alignment align = Qt::AlignRight | Qt::AlignVCenter) {
  auto* l = new QLabel(text, parent);
  l->setAlignment(align);
  return l;
}

}  // namespace

void TrackBar::mousePressEvent(QMouseEvent* event) {
  emit mousePressed(event->button());
  if (event->button() == Qt::RightButton) {
    event->accept();
    return;
  }
  QSlider::mousePressEvent(event);
}

SimulatorWindow::SimulatorWindow(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName(QLatin1String(kSettingsName));
  setWindowTitle(tr("Simulator"));

  auto* vSpeedBox = new QGroupBox(tr("V Speed"), this);
  m_vSpeed = makeSlider(vSpeedBox);
  m_vSpeed->setObjectName(QStringLiteral("tbVSpeed"));
  auto* vSpeedLayout = new QGridLayout(vSpeedBox);
  vSpeedLayout->addWidget(label(tr("Up"), vSpeedBox, Qt::AlignRight | Qt::AlignTop), 0, 0);
  vSpeedLayout->addWidget(label(QStringLiteral("0"), vSpeedBox), 1, 0);
  vSpeedLayout->addWidget(label(tr("Down"), vSpeedBox, Qt::AlignRight | Qt::AlignBottom), 2, 0);
  vSpeedLayout->addWidget(m_vSpeed, 0, 1, 3, 1);
  m_vSpeedValue = label(QString(), vSpeedBox, Qt::AlignCenter);
  m_vSpeedValue->setObjectName(QStringLiteral("lblVSpeedValue"));
  vSpeedLayout->addWidget(m_vSpeedValue, 3, 0, 1, 2);

  auto* speedBox = new QGroupBox(tr("Speed"), this);
  m_speed = makeSlider(speedBox);
  m_speed->setObjectName(QStringLiteral("tbSpeed"));
  m_maxSpeedLabel = label(QString::number(kDefaultMaxSpeed), speedBox, Qt::AlignRight | Qt::AlignTop);
  m_maxSpeedLabel->setObjectName(QStringLiteral("lblMaxSpeed"));
  auto* speedLayout = new QGridLayout(speedBox);
  speedLayout->addWidget(m_maxSpeedLabel, 0, 0);
  speedLayout->addWidget(label(tr("km/h"), speedBox), 1, 0);
  speedLayout->addWidget(label(QStringLiteral("0"), speedBox, Qt::AlignRight | Qt::AlignBottom), 2, 0);
  speedLayout->addWidget(m_speed, 0, 1, 3, 1);
  m_speedValue = label(QString(), speedBox, Qt::AlignCenter);
  m_speedValue->setObjectName(QStringLiteral("lblSpeedValue"));
  speedLayout->addWidget(m_speedValue, 3, 0, 1, 2);

  auto* courseBox = new QGroupBox(tr("Course"), this);
  m_course = new Knob(courseBox);
  m_course->setObjectName(QStringLiteral("kbKourse"));
  m_course->setMinimum(0);
  m_course->setMaximum(360);
  m_course->setResetValue(180);
  m_course->setPosition(180);
  m_course->setNoStop(true);
  m_course->setRotationEffect(false);
  m_course->setMarkStyle(Knob::MarkStyle::msArrow);
  m_course->setFaceColor(Qt::white);
  m_course->setBackColor(Qt::transparent);  // the group's own background shows around the face
  m_course->setTickColor(QColor(0, 128, 0));
  m_course->setFixedSize(110, 110);
  m_course->setToolTip(tr("Course: arrow keys turn by 1\u00B0, Page Up and Page Down by 10\u00B0"));
  m_courseField = new QSpinBox(courseBox);
  m_courseField->setObjectName(QStringLiteral("edCourse"));
  m_courseField->setRange(0, 359);
  m_courseField->setWrapping(true);
  m_courseField->setSuffix(QStringLiteral("\u00B0"));
  m_courseField->setAlignment(Qt::AlignRight);
  m_courseField->setKeyboardTracking(false);  // "123" applies once, not as 1, 12 and 123
  m_courseField->setAccessibleName(tr("Course"));
  m_courseField->setValue(0);
  auto* courseLayout = new QVBoxLayout(courseBox);
  courseLayout->addWidget(m_course, 0, Qt::AlignCenter);
  courseLayout->addWidget(m_courseField, 0, Qt::AlignCenter);

  auto* layout = new QHBoxLayout(this);
  layout->addWidget(vSpeedBox);
  layout->addWidget(speedBox);
  layout->addWidget(courseBox);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  setSpeedRange(kDefaultMaxSpeed, kDefaultMaxVSpeed);

  connect(m_speed, &QSlider::valueChanged, this, &SimulatorWindow::onSpeedChanged);
  connect(m_vSpeed, &QSlider::valueChanged, this, &SimulatorWindow::onVSpeedChanged);
  connect(m_course, &Knob::changed, this, &SimulatorWindow::onCourseChanged);
  connect(m_courseField, &QSpinBox::valueChanged, this,
          [this](int course) { m_course->setPosition(knobPositionOfCourse(course)); });
  setTabOrder(m_vSpeed, m_speed);
  setTabOrder(m_speed, m_course);
  setTabOrder(m_course, m_courseField);
  showSpeed(0.0);
  showVSpeed(0.0);
  // A right click stops the movement or the climb.
  for (TrackBar* slider : {m_speed, m_vSpeed}) {
    connect(slider, &TrackBar::mousePressed, this, [slider](Qt::MouseButton button) {
      if (button == Qt::RightButton) slider->setValue(0);
    });
  }

  adjustSize();
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
  }
}

int SimulatorWindow::knobPositionOfCourse(int course) { return ((course % 360) + 360 + 180) % 360; }

int SimulatorWindow::courseOfKnobPosition(int position) {
  return position + 180 < 360 ? position + 180 : position - 180;
}

void SimulatorWindow::attach(GpsTrackerSimu* simu) {
  m_simu = simu;
  if (simu == nullptr) return;
  const QSignalBlocker blockSpeed(m_speed);
  const QSignalBlocker blockVSpeed(m_vSpeed);
  const QSignalBlocker blockCourse(m_course);
  m_speed->setValue(static_cast<int>(std::trunc(simu->speed())));
  m_vSpeed->setValue(static_cast<int>(std::trunc(simu->vSpeed())));
  m_course->setPosition(knobPositionOfCourse(static_cast<int>(std::trunc(simu->course()))));
  const QSignalBlocker blockField(m_courseField);
  m_courseField->setValue(courseOfKnobPosition(m_course->position()) % 360);
  // The numbers tell the source's own values, fractions included.
  showSpeed(simu->speed());
  showVSpeed(simu->vSpeed());
}

void SimulatorWindow::showSpeed(double kmh) {
  m_speedValue->setText(QStringLiteral("%1 km/h").arg(kmh, 0, 'f', std::trunc(kmh) == kmh ? 0 : 1));
}

void SimulatorWindow::showVSpeed(double metresPerSecond) {
  const QString number = QString::number(metresPerSecond, 'f', std::trunc(metresPerSecond) == metresPerSecond ? 0 : 1);
  m_vSpeedValue->setText((metresPerSecond > 0 ? QStringLiteral("+") : QString()) + number + QStringLiteral(" m/s"));
}

void SimulatorWindow::closeEvent(QCloseEvent* event) {
  if (m_simu) {
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

void SimulatorWindow::follow(AppController& controller) {
  connect(&controller, &AppController::simulatorStarted, this, [this](GpsTrackerSimu* simu) {
    attach(simu);
    show();
    raise();
  });
  connect(&controller, &AppController::simulatorStopped, this, [this] {
    hide();
    attach(nullptr);
  });
}

void SimulatorWindow::setSpeedRange(int maxSpeed, int maxVSpeed) {
  maxSpeed = std::max(0, maxSpeed);
  maxVSpeed = std::max(0, maxVSpeed);
  m_speed->setRange(0, maxSpeed);
  m_speed->setTickInterval(std::max(1, maxSpeed / 10));
  m_speed->setPageStep(std::max(1, maxSpeed / 10));
  m_maxSpeedLabel->setText(QString::number(maxSpeed));
  m_vSpeed->setRange(-maxVSpeed, maxVSpeed);
  m_vSpeed->setTickInterval(std::max(1, maxVSpeed / 5));
  m_vSpeed->setPageStep(std::max(1, maxVSpeed / 5));
}

int SimulatorWindow::maxSpeed() const { return m_speed->maximum(); }

int SimulatorWindow::maxVSpeed() const { return m_vSpeed->maximum(); }

std::vector<std::string> SimulatorWindow::applySettings(const Settings& settings) {
  if (settings.readBool(keys::generalSavePos)) {
    const WindowRect current{x(), y(), width(), height()};
    if (const auto rect = settings.loadWindowRect(kSettingsName, current)) {
      // The size follows the contents; only the place is taken, and only where a screen shows it.
      move(keptInsideScreens(QRect(rect->left, rect->top, width(), height()), availableScreenAreas()).topLeft());
    }
  }
  TolerantReader reader(settings);
  setSpeedRange(reader.integer(keys::simuMaxSpeed, 0), maxVSpeed());
  setSpeedRange(maxSpeed(), reader.integer(keys::simuMaxVSpeed, 0));
  std::vector<std::string> problems;
  for (const SettingFault& fault : reader.faults()) problems.push_back(fault.message());
  return problems;
}

void SimulatorWindow::storeState(Settings& settings) const {
  settings.saveWindowRect(kSettingsName, WindowRect{x(), y(), width(), height()});
}

void SimulatorWindow::onSpeedChanged(int kmh) {
  showSpeed(kmh);
  if (m_simu) m_simu->setSpeed(static_cast<float>(kmh));
}

void SimulatorWindow::onVSpeedChanged(int metresPerSecond) {
  showVSpeed(metresPerSecond);
  if (m_simu) m_simu->setVSpeed(static_cast<float>(metresPerSecond));
}

void SimulatorWindow::onCourseChanged(int position) {
  {
    const QSignalBlocker blockField(m_courseField);
    m_courseField->setValue(courseOfKnobPosition(position) % 360);
  }
  if (m_simu) m_simu->setCourse(static_cast<float>(courseOfKnobPosition(position)));
}

}  // namespace geomuxer
