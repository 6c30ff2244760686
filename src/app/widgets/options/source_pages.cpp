#include "app/widgets/options/source_pages.h"

#include <QLabel>
#include <QStringList>
#include <QVBoxLayout>

#include "app/widgets/options/fields.h"
#include "app/widgets/options/garmin_com_page.h"
#include "app/widgets/options/nmea_com_page.h"
#include "app/widgets/options/nmea_file_page.h"
#include "app/widgets/options/nmea_tcp_page.h"
#include "app/widgets/options/simulator_page.h"
#include "sources/trackers/gps_tracker_garmin_com.h"
#include "sources/trackers/gps_tracker_garmin_usb.h"
#include "sources/trackers/gps_tracker_locapi.h"
#include "sources/trackers/gps_tracker_nmea_com.h"
#include "sources/trackers/gps_tracker_nmea_file.h"
#include "sources/trackers/gps_tracker_nmea_tcpip.h"
#include "sources/trackers/gps_tracker_simu.h"

namespace geomuxer {

namespace {

/// The page of a source that has nothing to set: what it does, in words.
class InfoPage : public OptionsPage {
 public:
  InfoPage(const GpsTracker& source, const QStringList& lines, QWidget* parent)
      : OptionsPage(qs(source.displayName()), parent) {
    column()->addWidget(description(tr("Nothing to configure"), this));
    for (const QString& line : lines) column()->addWidget(description(line, this));
  }

  void load(const Settings& /*settings*/, const AppController& /*controller*/) override {}
  void store(Settings& /*settings*/) const override {}
  void apply(AppController& /*controller*/) override {}
};

using MakePage = OptionsPage* (*)(GpsTracker& source, PageHost& host, QWidget* parent);

/// Every page of a source with settings is made from its source, the host and the parent.
template <class Tracker, class Page>
OptionsPage* page(GpsTracker& source, PageHost& host, QWidget* parent) {
  return new Page(static_cast<Tracker&>(source), host, parent);
}

OptionsPage* garminUsbPage(GpsTracker& source, PageHost& /*host*/, QWidget* parent) {
  return new InfoPage(source, {InfoPage::tr("Read locations from a Garmin device connected with USB.")}, parent);
}

OptionsPage* locationPage(GpsTracker& source, PageHost& /*host*/, QWidget* parent) {
  return new InfoPage(
      source, {InfoPage::tr("Receive locations from built in sensors through the system's location service.")},
      parent);
}

/// Each kind of source and how its page is made.
const struct {
  const QMetaObject* kind;
  MakePage make;
} kSourcePages[] = {
    {&GpsTrackerSimu::staticMetaObject, &page<GpsTrackerSimu, SimulatorPage>},
    {&GpsTrackerGarminUsb::staticMetaObject, &garminUsbPage},
    {&GpsTrackerGarminCom::staticMetaObject, &page<GpsTrackerGarminCom, GarminComPage>},
    {&GpsTrackerNmeaCom::staticMetaObject, &page<GpsTrackerNmeaCom, NmeaComPage>},
    {&GpsTrackerNmeaTcpip::staticMetaObject, &page<GpsTrackerNmeaTcpip, NmeaTcpPage>},
    {&GpsTrackerNmeaFile::staticMetaObject, &page<GpsTrackerNmeaFile, NmeaFilePage>},
    {&GpsTrackerLocapi::staticMetaObject, &locationPage},
};

}  // namespace

OptionsPage* makeSourcePage(GpsTracker& source, PageHost& host, QWidget* parent) {
  // The most derived kind in the table wins, so a subclass gets its base's page.
  for (const QMetaObject* kind = source.metaObject(); kind != nullptr; kind = kind->superClass()) {
    for (const auto& entry : kSourcePages)
      if (entry.kind == kind) return entry.make(source, host, parent);
  }
  return new InfoPage(source, {}, parent);
}

}  // namespace geomuxer
