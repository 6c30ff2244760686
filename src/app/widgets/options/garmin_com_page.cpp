#include "app/widgets/options/garmin_com_page.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "app/widgets/options/fields.h"
#include "settings/settings.h"
#include "sources/trackers/gps_tracker_garmin_com.h"

namespace geomuxer {

GarminComPage::GarminComPage(GpsTrackerGarminCom& source, PageHost& host, QWidget* parent)
    : OptionsPage(qs(source.displayName()), parent), m_source(source) {
  column()->addWidget(description(tr("Read locations from a Garmin device connected to a COM Port."), this));
  auto* form = new QFormLayout;
  m_port = host.portLists().addRow(form, keys::garminComPort, this);
  column()->addLayout(form);
}

void GarminComPage::load(const Settings& settings, const AppController& /*controller*/) {
  m_port->setCurrentText(storedText(settings, keys::garminComPort));  // also when the machine lacks it now
}

void GarminComPage::store(Settings& settings) const {
  settings.writeString(keys::garminComPort.path, str(m_port->currentText()));
}

void GarminComPage::apply(AppController& /*controller*/) { m_source.setPort(str(m_port->currentText())); }

}  // namespace geomuxer
