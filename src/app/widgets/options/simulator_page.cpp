#include "app/widgets/options/simulator_page.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include <exception>

#include "app/app_controller.h"
#include "app/widgets/coordinate_edit.h"
#include "app/widgets/options/fields.h"
#include "app/widgets/simulator_window.h"
#include "core/number_text.h"
#include "settings/settings.h"
#include "sources/trackers/gps_tracker_simu.h"

namespace geomuxer {

SimulatorPage::SimulatorPage(GpsTrackerSimu& source, PageHost& host, QWidget* parent)
    : OptionsPage(qs(source.displayName()), parent), m_source(source), m_window(host.simulatorWindow()) {
  column()->addWidget(description(tr("Simulate GPS position data."), this));
  auto* form = new QFormLayout;
  m_long = new CoordinateEdit(CoordKind::longitude, this);
  m_long->setObjectName(qs(keys::simuLong.path));
  m_lat = new CoordinateEdit(CoordKind::latitude, this);
  m_lat->setObjectName(qs(keys::simuLat.path));
  const DisplayFormat& format = host.controller().displayFormat();
  m_long->setDisplayFormat(format.posUnit, format.number);
  m_lat->setDisplayFormat(format.posUnit, format.number);
  addRow(form, tr("Start &Longitude:"), m_long);
  addRow(form, tr("Start L&atitude:"), m_lat);
  m_alt = textField(this, keys::simuAlt);
  // Digits, the decimal separator (ours and the locale's) and, below sea level, a minus sign.
  const QString point = QRegularExpression::escape(QLocale().decimalPoint());
  m_alt->setValidator(new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("-?[0-9]*([.]|%1)?[0-9]*").arg(point)), m_alt));
  addRow(form, tr("Start Al&titude (m):"), m_alt);
  m_maxSpeed = digitField(this, keys::simuMaxSpeed);
  addRow(form, tr("Max. &speed (km/h):"), m_maxSpeed);
  m_maxVSpeed = digitField(this, keys::simuMaxVSpeed);
  addRow(form, tr("Max. &vertical speed (m/s):"), m_maxVSpeed);
  column()->addLayout(form);
}

void SimulatorPage::load(const Settings& settings, const AppController& /*controller*/) {
  try {
    m_long->setValue(settings.readFloat(keys::simuLong));
    m_lat->setValue(settings.readFloat(keys::simuLat));
  } catch (const std::exception&) {
    // The fields keep 0; saving writes readable numbers back.
  }
  const std::string alt = settings.readString(keys::simuAlt.path, keys::simuAlt.defaultText);
  const auto altitude = parseDouble(alt);
  m_alt->setText(altitude ? qs(formatGeneral(*altitude)) : qs(alt));
  m_maxSpeed->setText(storedIntegerText(settings, keys::simuMaxSpeed));
  m_maxVSpeed->setText(storedIntegerText(settings, keys::simuMaxVSpeed));
}

void SimulatorPage::validate(FieldCheck& check) const {
  check.number(m_alt);
  check.integer(m_maxSpeed);
  check.integer(m_maxVSpeed);
}

void SimulatorPage::store(Settings& settings) const {
  settings.writeString(keys::simuLong.path, formatGeneral(m_long->value()));
  settings.writeString(keys::simuLat.path, formatGeneral(m_lat->value()));
  settings.writeString(keys::simuAlt.path, normalisedNumber(m_alt->text()));
  storeText(settings, keys::simuMaxSpeed, m_maxSpeed);
  storeText(settings, keys::simuMaxVSpeed, m_maxVSpeed);
}

void SimulatorPage::apply(AppController& /*controller*/) {
  m_source.setStartPoint(Point{static_cast<float>(m_long->value()), static_cast<float>(m_lat->value())});
  m_source.setAltitude(static_cast<float>(numberOf(m_alt)));
  const int maxSpeed = integerOf(m_maxSpeed);
  const int maxVSpeed = integerOf(m_maxVSpeed);
  if (m_window != nullptr) m_window->setSpeedRange(maxSpeed, maxVSpeed);
}

}  // namespace geomuxer
