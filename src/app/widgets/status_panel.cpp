#include "app/widgets/status_panel.h"

#include <QDateTime>
#include <QGridLayout>
#include <QLabel>
#include <QRegularExpression>

#include "app/app_controller.h"
#include "app/widgets/live_status.h"
#include "app/widgets/source_notices.h"
#include "app/widgets/view_refresher.h"
#include "core/units.h"
#include "loggers/nmea_tcp_logger.h"
#include "net/tcp_server.h"
#include "sources/decoders/gps_protocol_nmea.h"
#include "sources/trackers/gps_tracker.h"

namespace geomuxer {

namespace {

const QString kNone = QStringLiteral("\u2014");

struct FieldPlace {
  StatusPanel::Field field;
  const char* caption;
  int row;
  int column;   // 0 left half, 1 right half
  bool spans;   // the whole row
};

// One table for captions and places: two halves per row, long values across the whole row.
constexpr FieldPlace kPlaces[] = {
    {StatusPanel::Field::source, "Source", 0, 0, true},
    {StatusPanel::Field::fix, "Fix", 1, 0, false},
    {StatusPanel::Field::satellites, "Satellites", 1, 1, false},
    {StatusPanel::Field::position, "Position", 2, 0, true},
    {StatusPanel::Field::altitude, "Altitude", 3, 0, false},
    {StatusPanel::Field::speed, "Speed", 3, 1, false},
    {StatusPanel::Field::course, "Course", 4, 0, false},
    {StatusPanel::Field::hdop, "HDOP", 4, 1, false},
    {StatusPanel::Field::time, "Time", 5, 0, false},
    {StatusPanel::Field::age, "Age", 5, 1, false},
    {StatusPanel::Field::epochs, "Epochs", 6, 0, false},
    {StatusPanel::Field::dropped, "Dropped", 6, 1, false},
    {StatusPanel::Field::reconnects, "Reconnects", 7, 0, false},
    {StatusPanel::Field::clients, "Broadcast", 7, 1, false},
    {StatusPanel::Field::uploadQueue, "Upload", 8, 0, false},
    {StatusPanel::Field::server, "Server", 9, 0, true},
};

// What a short caption stands for, for tool tips and screen readers.
constexpr const char* kLongNames[] = {
    "Source and its state", "Kind of fix", "Satellites used / in view", "Position", "Altitude above sea level",
    "Speed over ground", "Course over ground", "Horizontal dilution of precision", "Time of the last position (UTC)",
    "Age of the last position", "Epochs of this run", "Lines dropped by the decoder", "Reconnects of this run",
    "Broadcast clients", "Positions waiting for upload", "Position server",
};

QString qs(const std::string& text) { return QString::fromStdString(text); }

// "4 s", "2 min 5 s", "3 h 12 min".
QString ageText(std::chrono::seconds age) {
  const auto s = age.count();
  if (s < 60) return QStringLiteral("%1 s").arg(s);
  if (s < 3600) return QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60);
  return QStringLiteral("%1 h %2 min").arg(s / 3600).arg(s % 3600 / 60);
}

// The position's own time, UTC, with its fraction of a second when it has one ("12:35:20.25").
QString timeText(DateTime time) {
  const QDateTime utc = QDateTime::fromMSecsSinceEpoch(toUnixMillis(time), Qt::UTC);
  QString text = utc.toString(QStringLiteral("HH:mm:ss"));
  if (const int ms = utc.time().msec(); ms != 0) {
    QString fraction = QStringLiteral("%1").arg(ms, 3, 10, QLatin1Char('0'));
    while (fraction.endsWith(QLatin1Char('0'))) fraction.chop(1);
    text += QLatin1Char('.') + fraction;
  }
  return text + QStringLiteral(" UTC");
}

}  // namespace

StatusPanel::StatusPanel(LiveStatus& status, QWidget* parent)
    : QFrame(parent), m_status(status) {
  setObjectName(QStringLiteral("StatusPanel"));
  setFrameShape(QFrame::StyledPanel);
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(6, 4, 6, 4);
  grid->setHorizontalSpacing(8);
  grid->setVerticalSpacing(1);
  for (const FieldPlace& place : kPlaces) {
    auto* caption = new QLabel(QString::fromLatin1(place.caption) + QLatin1Char(':'), this);
    caption->setForegroundRole(QPalette::PlaceholderText);
    auto* value = new QLabel(kNone, this);
    const QString longName = QString::fromLatin1(kLongNames[static_cast<int>(place.field)]);
    value->setAccessibleName(longName);
    value->setToolTip(longName);
    caption->setToolTip(longName);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    caption->setBuddy(value);
    const int column = place.column * 2;
    grid->addWidget(caption, place.row, column);
    grid->addWidget(value, place.row, column + 1, 1, place.spans ? 3 : 1);
    m_values.at(static_cast<std::size_t>(place.field)) = value;
  }
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);

  QLabel* server = valueLabel(Field::server);
  server->setTextFormat(Qt::RichText);
  server->setOpenExternalLinks(true);
  // The link is reached with Tab and opened with Enter, as in a browser.
  server->setTextInteractionFlags(Qt::TextBrowserInteraction);
  // Tab focus until the first refresh: the window can place it in its tab order meanwhile.
  server->setFocusPolicy(Qt::TabFocus);

  new ViewRefresher(this, [this] { refresh(); });
}

void StatusPanel::setValue(Field field, const QString& text) {
  QLabel* label = valueLabel(field);
  if (label->text() != text) label->setText(text);
}

QString StatusPanel::text(Field field) const {
  QLabel* label = valueLabel(field);
  if (field == Field::server) {
    QString plain = label->text();
    plain.remove(QRegularExpression(QStringLiteral("<[^>]*>")));
    return plain;
  }
  return label->text();
}

void StatusPanel::refresh() {
  ++m_refreshes;
  AppController& controller = m_status.controller();
  const DisplayFormat& format = controller.displayFormat();
  const NumberFormat& nf = format.number;
  const GpsTracker* tracker = controller.currentTracker();

  const SourceStatus status = m_status.sourceStatus();
  setValue(Field::source, tracker == nullptr ? QStringLiteral("none selected") : qs(sourceStatusLine(status)));

  const PositionInfo p = controller.lastPosition();
  const bool any = !p.fields.empty();
  setValue(Field::fix, any && p.has(defFix) ? qs(std::string(fixText(p.fix))) : kNone);
  const QString used = p.has(defSatellites) ? QString::number(p.satellites) : kNone;
  const QString inView = p.has(defSatellitesInView) ? QString::number(p.satellitesInView) : kNone;
  setValue(Field::satellites, any && (p.has(defSatellites) || p.has(defSatellitesInView))
                                  ? used + QStringLiteral(" / ") + inView
                                  : kNone);
  setValue(Field::position, p.has(defXY) ? qs(formatLatLon(p.point(), format.posUnit, nf)) : kNone);
  setValue(Field::altitude, p.has(defAltitude) ? qs(formatDistance(format.distUnit, p.altitude, nf)) : kNone);
  setValue(Field::speed, p.has(defSpeed) ? qs(formatSpeed(format.distUnit, p.speed, nf)) : kNone);
  setValue(Field::course, p.has(defHeading) ? qs(formatHeading(0, 0, p.heading, nf)) : kNone);
  setValue(Field::hdop, p.has(defHDOP) ? qs(formatNumber(p.hdop, 1, false, nf)) : kNone);
  setValue(Field::time, p.has(defTime) ? timeText(p.time) : kNone);

  const auto arrival = m_status.lastArrival();
  const auto age = arrival ? std::chrono::duration_cast<std::chrono::seconds>(m_status.clock().now() - *arrival)
                           : std::chrono::seconds(0);
  setValue(Field::age, arrival ? ageText(age) : kNone);
  const bool overdue = arrival && age.count() >= controller.watchdogSeconds();
  if (overdue != m_overdue) {
    m_overdue = overdue;
    // Amber, as a warning light, and bold so that it does not rest on colour alone.
    valueLabel(Field::age)->setStyleSheet(overdue ? QStringLiteral("color: #b86e00; font-weight: bold;") : QString());
  }

  const bool running = tracker != nullptr && tracker->isActive();
  setValue(Field::epochs, running || m_status.epochs() > 0 ? QString::number(m_status.epochs()) : kNone);
  const GpsProtocolNmea* decoder = m_status.nmeaDecoder();
  setValue(Field::dropped, decoder != nullptr ? QString::number(decoder->stats().dropped()) : kNone);
  const bool counting = status.state != SourceState::Stopped || status.reconnects > 0;
  setValue(Field::reconnects, counting ? QString::number(status.reconnects) : kNone);

  const NmeaTcpLogger* broadcast = controller.nmeaTcpLogger();
  if (broadcast->server() != nullptr && broadcast->listeningPort() != 0) {
    const auto clients = broadcast->server()->clients().size();
    setValue(Field::clients, clients == 1 ? QStringLiteral("1 client") : QStringLiteral("%1 clients").arg(clients));
  } else {
    setValue(Field::clients, controller.loggerActive(LoggerKind::nmeaTcp) ? QStringLiteral("not listening")
                                                                          : QStringLiteral("off"));
  }
  const qint64 queue = controller.uploadQueueLength();
  setValue(Field::uploadQueue, queue == 0 && !controller.loggerActive(LoggerKind::http) ? QStringLiteral("off")
                                                                                       : QStringLiteral("%1 waiting").arg(queue));
  const QString url = controller.serverUrl();
  // Tab stops at the address only while there is a link to follow.
  valueLabel(Field::server)->setFocusPolicy(url.isEmpty() ? Qt::NoFocus : Qt::TabFocus);
  setValue(Field::server, url.isEmpty() ? QStringLiteral("not running")
                                        : QStringLiteral("<a href=\"%1\">%1</a>").arg(url.toHtmlEscaped()));
}

}  // namespace geomuxer
