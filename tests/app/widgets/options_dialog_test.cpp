#include "app/widgets/options_dialog.h"

#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTest>
#include <QToolButton>

#include <memory>
#include <string>
#include <vector>

#include "app/app_controller.h"
#include "app/widgets/coordinate_edit.h"
#include "app/widgets/simulator_window.h"
#include "app/widgets/widget_test_app.h"
#include "loggers/gpx_logger.h"
#include "loggers/http_logger.h"
#include "loggers/nmea_file_logger.h"
#include "loggers/nmea_tcp_logger.h"
#include "loggers/nmea_udp_logger.h"
#include "support/temp_dir.h"
#include "sources/trackers/gps_tracker_nmea_com.h"
#include "sources/trackers/gps_tracker_nmea_file.h"
#include "sources/trackers/gps_tracker_nmea_tcpip.h"
#include "sources/trackers/gps_tracker_simu.h"

namespace geomuxer {
namespace {

TEST(ProxyListTest, ReadsPerProtocolListsAndSingleAddresses) {
  EXPECT_EQ(parseProxyList("http=host:8080;https=other:443"), (ProxyAddress{"host", 8080}));
  EXPECT_EQ(parseProxyList("https=other:443;HTTP=host:8080"), (ProxyAddress{"host", 8080}));
  EXPECT_EQ(parseProxyList("host:3128"), (ProxyAddress{"host", 3128}));
  EXPECT_EQ(parseProxyList("http://proxy.example:3128/"), (ProxyAddress{"proxy.example", 3128}));
  EXPECT_EQ(parseProxyList("[2001:db8::1]:8080"), (ProxyAddress{"2001:db8::1", 8080}));
  EXPECT_EQ(parseProxyList("host:eighty"), (ProxyAddress{"host", 0}));
  EXPECT_EQ(parseProxyList("host"), (ProxyAddress{"host", 80}));
  EXPECT_FALSE(parseProxyList("https=other:443;ftp=x:21"));
  EXPECT_FALSE(parseProxyList("  "));
}

class OptionsDialogTest : public ::testing::Test {
 protected:
  std::unique_ptr<OptionsDialog> open() {
    auto dialog = std::make_unique<OptionsDialog>(controller, &simulatorWindow, nullptr, [this] { return ports; });
    dialog->setMessageBox([this](QMessageBox::Icon, const QString& title, const QString& text,
                                 QMessageBox::StandardButtons) {
      messages.push_back((title + QStringLiteral("|") + text).toStdString());
      return QMessageBox::Ok;
    });
    dialog->setFileChooser([this](const FileRequest& request) {
      requests.push_back(request);
      return chosenFile;
    });
    return dialog;
  }

  template <typename Widget = QLineEdit>
  static Widget* field(OptionsDialog& dialog, const char* name) {
    auto* widget = dialog.findChild<Widget*>(QLatin1String(name));
    if (widget == nullptr) ADD_FAILURE() << "no field " << name;
    return widget;
  }

  static void pressOk(OptionsDialog& dialog) {
    dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  }

  /// The settings as the next start reads them.
  [[nodiscard]] Settings reloaded() const {
    Settings copy(settingsFile);
    EXPECT_EQ(copy.load().status, Settings::LoadResult::Status::loaded);
    return copy;
  }

  [[nodiscard]] int sourceIndex(const std::string& name) const {
    const auto names = controller.sourceNames();
    return static_cast<int>(std::find(names.begin(), names.end(), name) - names.begin());
  }

  QApplication& app = test::widgetApp();  // before the widgets
  test::TempDir dir;
  std::filesystem::path settingsFile = dir / "geomuxer.sml";
  Settings settings{settingsFile};
  AppController controller{settings, {}};
  SimulatorWindow simulatorWindow;
  std::vector<std::string> ports{"ttyUSB0", "ttyS0"};
  std::vector<std::string> messages;
  std::vector<FileRequest> requests;
  QString chosenFile;
};

TEST_F(OptionsDialogTest, PagesFollowTheSourceListAndOpenOnTheSelectedSource) {
  auto dialog = open();
  std::vector<std::string> expected{"General"};
  for (const std::string& name : controller.sourceNames()) expected.push_back(name);
  for (const char* name : {"HTTP Server", "TCP/IP Log", "UDP Log", "NMEA Log", "GPX Log", "HTTP Log", "Log Interval",
                           "HTTP Proxy", "Units"})
    expected.emplace_back(name);
  std::vector<std::string> titles;
  for (int i = 0; i < dialog->pageCount(); ++i) titles.push_back(dialog->pageTitle(i).toStdString());
  EXPECT_EQ(titles, expected);
  EXPECT_EQ(dialog->currentPage(), 0);  // nothing selected yet

  const int tcp = sourceIndex("NMEA via TCP/IP");
  controller.selectSource(tcp);
  dialog = open();
  EXPECT_EQ(dialog->currentPage(), tcp + 1);
  EXPECT_EQ(dialog->pageTitle(dialog->currentPage()), QStringLiteral("NMEA via TCP/IP"));
}

TEST_F(OptionsDialogTest, OpensWithTheDefaultsAsText) {
  settings.writeString("httplog\\protocol", "ftp");
  settings.writeString("nmeacom\\port", "ttyGone");
  auto dialog = open();
  const std::pair<const char*, const char*> texts[] = {
      {"log\\maxlines", "100"},       {"tcpiplog\\port", "2222"},     {"nmeacom\\baud", "4800"},
      {"nmeacom\\bytesize", "8"},     {"nmeacom\\stopbits", "0"},     {"nmeatcpip\\host", "localhost"},
      {"nmeatcpip\\port", "2222"},    {"http\\port", "8087"},         {"httplog\\host", "localhost"},
      {"http\\bindaddress", "0.0.0.0"}, {"httplog\\cafile", ""},
      {"http\\database", ""},       {"http\\dbpool", "4"},        {"http\\dbtimeout", "10"},
      {"httplog\\queuesize", "1000000"},
      {"httplog\\port", "8087"},      {"httplog\\file", "onclientpos"}, {"httplog\\timeout", "500"},
      {"simu\\maxspeed", "260"},      {"simu\\maxvspeed", "30"},      {"simu\\alt", "0"},
      {"proxy\\port", "0"},
  };
  for (const auto& [name, text] : texts) EXPECT_EQ(field(*dialog, name)->text().toStdString(), text) << name;

  // A protocol that is neither item leaves the list without a selection; a port that the machine
  // does not have shows anyway.
  EXPECT_EQ(field<QComboBox>(*dialog, "httplog\\protocol")->currentIndex(), -1);
  EXPECT_EQ(field<QComboBox>(*dialog, "nmeacom\\port")->currentText(), QStringLiteral("ttyGone"));

  const auto* log = field<QListWidget>(*dialog, "log");
  std::vector<bool> checked;
  for (int i = 0; i < log->count(); ++i) checked.push_back(log->item(i)->checkState() == Qt::Checked);
  EXPECT_EQ(checked, (std::vector<bool>{true, false, true, false, true}));
  EXPECT_TRUE(field<QCheckBox>(*dialog, "general\\savepos")->isChecked());
  EXPECT_TRUE(field<QCheckBox>(*dialog, "nmeacom\\checksum")->isChecked());
  EXPECT_FALSE(field<QCheckBox>(*dialog, "nmeafile\\startatend")->isChecked()) << "off by default";
  // The loggers' checks show what runs, not what was stored.
  EXPECT_EQ(field<QCheckBox>(*dialog, "tcpiplog\\active")->isChecked(), controller.loggerActive(LoggerKind::nmeaTcp));
  EXPECT_EQ(dialog->findChild<QButtonGroup*>(QStringLiteral("general\\posunit"))->checkedId(), 1);
  EXPECT_EQ(dialog->findChild<QButtonGroup*>(QStringLiteral("general\\recordinterval"))->checkedId(), 2);
}

// One field changed on every page, then "OK": the file holds the values and the program runs with them.
TEST_F(OptionsDialogTest, OkWritesSavesAndApplies) {
  auto dialog = open();
  field<QCheckBox>(*dialog, "general\\closetotray")->setChecked(true);
  field<QListWidget>(*dialog, "log")->item(1)->setCheckState(Qt::Checked);
  field(*dialog, "log\\maxlines")->setText("250");
  field<CoordinateEdit>(*dialog, "simu\\long")->setValue(11.25);
  field<CoordinateEdit>(*dialog, "simu\\lat")->setValue(-47.5);
  field(*dialog, "simu\\alt")->setText("512.5");
  field(*dialog, "simu\\maxspeed")->setText("100");
  field<QComboBox>(*dialog, "garmincom\\port")->setCurrentText("ttyS0");
  field<QComboBox>(*dialog, "nmeacom\\port")->setCurrentText("ttyUSB0");
  field(*dialog, "nmeacom\\baud")->setText("9600");
  field(*dialog, "nmeatcpip\\host")->setText("gps.example");
  field(*dialog, "nmeatcpip\\port")->setText("10110");
  field(*dialog, "nmeafile\\file")->setText("/tmp/track.nmea");
  field<QCheckBox>(*dialog, "nmeafile\\checksum")->setChecked(false);
  field<QCheckBox>(*dialog, "nmeafile\\startatend")->setChecked(true);
  field(*dialog, "http\\port")->setText("8123");
  field<QCheckBox>(*dialog, "http\\auth")->setChecked(true);
  field(*dialog, "http\\username")->setText("admin");
  field(*dialog, "http\\bindaddress")->setText("127.0.0.1");
  field(*dialog, "httplog\\cafile")->setText("/etc/geomuxer/upload-ca.pem");
  field(*dialog, "http\\database")->setText(" postgresql://tracker@db.example/geomuxer ");
  field(*dialog, "http\\dbpool")->setText("8");
  field(*dialog, "http\\dbtimeout")->setText("20");
  field(*dialog, "httplog\\queuesize")->setText("5000");
  field(*dialog, "tcpiplog\\port")->setText("2223");
  field(*dialog, "tcpiplog\\maxclients")->setText("500");
  field<QComboBox>(*dialog, "tcpiplog\\passthrough")->setCurrentIndex(1);
  field<QComboBox>(*dialog, "tcpiplog\\talker")->setCurrentText("GN");
  field<QCheckBox>(*dialog, "tcpiplog\\everyposition")->setChecked(true);
  field(*dialog, "udplog\\address")->setText("239.255.10.110");
  field(*dialog, "udplog\\ttl")->setText("4");
  auto* iface = field<QComboBox>(*dialog, "udplog\\multicastinterface");
  iface->setCurrentIndex(iface->findData(QStringLiteral("lo")));
  field<QCheckBox>(*dialog, "filelog\\append")->setChecked(true);
  field(*dialog, "filelog\\file")->setText((dir / "log.nmea").string().c_str());
  field(*dialog, "gpxlog\\filedir")->setText(dir.path().string().c_str());
  field<QComboBox>(*dialog, "httplog\\protocol")->setCurrentText("http");
  field(*dialog, "httplog\\host")->setText("upload.example");
  field(*dialog, "httplog\\timeout")->setText("1500");
  dialog->findChild<QButtonGroup*>(QStringLiteral("general\\recordmode"))->button(2)->setChecked(true);
  field(*dialog, "proxy\\host")->setText("proxy.example");
  dialog->findChild<QButtonGroup*>(QStringLiteral("general\\posunit"))->button(0)->setChecked(true);
  dialog->findChild<QButtonGroup*>(QStringLiteral("general\\distunit"))->button(2)->setChecked(true);
  pressOk(*dialog);
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  EXPECT_TRUE(messages.empty()) << messages.front();

  const Settings file = reloaded();
  const std::pair<const char*, const char*> stored[] = {
      {"general\\closetotray", "true"}, {"log\\trackerpos", "true"},       {"log\\maxlines", "250"},
      {"simu\\long", "11.25"},          {"simu\\lat", "-47.5"},            {"simu\\alt", "512.5"},
      {"simu\\maxspeed", "100"},        {"garmincom\\port", "ttyS0"},      {"nmeacom\\port", "ttyUSB0"},
      {"nmeacom\\baud", "9600"},        {"nmeatcpip\\host", "gps.example"}, {"nmeafile\\checksum", "false"},
      {"http\\port", "8123"},           {"http\\auth", "true"},            {"http\\active", "false"},
      {"tcpiplog\\port", "2223"},       {"filelog\\append", "true"},       {"httplog\\protocol", "http"},
      {"httplog\\timeout", "1500"},     {"general\\recordmode", "2"},      {"proxy\\host", "proxy.example"},
      {"general\\posunit", "0"},        {"general\\distunit", "2"},        {"httplog\\password", ""},
      {"http\\bindaddress", "127.0.0.1"}, {"httplog\\cafile", "/etc/geomuxer/upload-ca.pem"},
      {"nmeafile\\startatend", "true"}, {"http\\database", "postgresql://tracker@db.example/geomuxer"},
      {"http\\dbpool", "8"},          {"http\\dbtimeout", "20"},         {"httplog\\queuesize", "5000"},
      {"tcpiplog\\passthrough", "true"}, {"tcpiplog\\talker", "GN"}, {"tcpiplog\\everyposition", "true"},
      {"udplog\\address", "239.255.10.110"}, {"udplog\\ttl", "4"}, {"udplog\\port", "10110"},
      {"udplog\\multicastinterface", "lo"}, {"tcpiplog\\maxclients", "500"},
  };
  for (const auto& [key, value] : stored) EXPECT_EQ(file.readString(key, "(missing)"), value) << key;

  EXPECT_TRUE(controller.closeToTray());
  EXPECT_EQ(controller.logCategories(), lcTracker | lcTrackerPos | lcTcp | lcLogFile);
  EXPECT_EQ(controller.log().maxLines(), 250);
  EXPECT_EQ(controller.displayFormat().posUnit, PosUnit::decimalDegree);
  EXPECT_EQ(controller.displayFormat().distUnit, DistUnit::nautic);
  EXPECT_EQ(controller.filter(LoggerKind::nmeaFile).recordMode(), rmDistance);
  EXPECT_EQ(controller.nmeaTcpLogger()->port(), 2223);
  EXPECT_EQ(controller.nmeaTcpLogger()->maxClients(), 500);
  EXPECT_TRUE(controller.nmeaTcpLogger()->passThrough());
  EXPECT_EQ(controller.nmeaTcpLogger()->talker(), "GN");
  EXPECT_TRUE(controller.broadcastEveryPosition());
  EXPECT_EQ(controller.nmeaUdpLogger()->address(), QHostAddress("239.255.10.110"));
  EXPECT_EQ(controller.nmeaUdpLogger()->ttl(), 4);
  EXPECT_EQ(controller.nmeaUdpLogger()->multicastInterface(), "lo");
  EXPECT_TRUE(controller.filter(LoggerKind::nmeaFile).active()) << "only the broadcast passes every position";
  EXPECT_TRUE(controller.nmeaFileLogger()->append());
  EXPECT_EQ(controller.httpLogger()->queue().capacity(), 5000);
  EXPECT_EQ(controller.gpxLogger()->fileDir(), dir.path().string());
  EXPECT_EQ(controller.simulator()->startPoint().x, 11.25f);
  EXPECT_EQ(controller.simulator()->startPoint().y, -47.5f);
  EXPECT_EQ(controller.simulator()->altitude(), 512.5f);
  EXPECT_EQ(simulatorWindow.maxSpeed(), 100);
  auto* com = qobject_cast<GpsTrackerNmeaCom*>(controller.source(sourceIndex("NMEA via COM")));
  EXPECT_EQ(com->port(), "ttyUSB0");
  EXPECT_EQ(com->baudRate(), 9600u);
  auto* tcp = qobject_cast<GpsTrackerNmeaTcpip*>(controller.source(sourceIndex("NMEA via TCP/IP")));
  EXPECT_EQ(tcp->host(), "gps.example");
  EXPECT_EQ(tcp->port(), 10110);
  auto* followed = qobject_cast<GpsTrackerNmeaFile*>(controller.source(sourceIndex("NMEA via File")));
  ASSERT_NE(followed, nullptr);
  EXPECT_TRUE(followed->startAtEnd());
  EXPECT_EQ(controller.serverPort(), 8123);
  EXPECT_TRUE(controller.serverAuth());
  EXPECT_EQ(controller.serverUser(), "admin");
  EXPECT_EQ(controller.serverBindAddress(), "127.0.0.1");
  EXPECT_EQ(controller.httpLogger()->caFile(), "/etc/geomuxer/upload-ca.pem");
  EXPECT_FALSE(controller.serverRunning());
  EXPECT_EQ(controller.httpLogger()->protocol(), hpHttp);
  EXPECT_EQ(controller.httpLogger()->host(), "upload.example");
  EXPECT_EQ(controller.httpLogger()->timeout(), 1500);
}

TEST_F(OptionsDialogTest, CancelChangesNothing) {
  controller.log().setMaxLines(100);
  auto dialog = open();
  field(*dialog, "log\\maxlines")->setText("7");
  field(*dialog, "tcpiplog\\port")->setText("4000");
  field<QCheckBox>(*dialog, "general\\closetotray")->setChecked(true);
  dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
  EXPECT_EQ(dialog->result(), QDialog::Rejected);

  EXPECT_FALSE(std::filesystem::exists(settingsFile));
  EXPECT_EQ(settings.root().findNode("log"), nullptr);
  EXPECT_EQ(settings.root().findNode("general"), nullptr);
  EXPECT_EQ(controller.log().maxLines(), 100);
  EXPECT_EQ(controller.nmeaTcpLogger()->port(), 2222);
  EXPECT_FALSE(controller.closeToTray());
}

// An empty line limit is stored as a number that the next start reads as no limit, and shows
// as empty again.
TEST_F(OptionsDialogTest, EmptyMaxLinesMeansNoLimit) {
  auto dialog = open();
  field(*dialog, "log\\maxlines")->clear();
  pressOk(*dialog);
  EXPECT_TRUE(messages.empty());
  const Settings file = reloaded();
  EXPECT_EQ(file.readInteger(keys::logMaxLines), 0);
  EXPECT_EQ(controller.log().maxLines(), 0);
  dialog = open();
  EXPECT_EQ(field(*dialog, "log\\maxlines")->text(), QString());
}

// A field that cannot be stored: nothing is written or applied, the dialog stays open on the
// field's page with the field focused, and the message names it. Mended, OK saves.
TEST_F(OptionsDialogTest, InvalidFieldIsRefusedBeforeAnythingIsWritten) {
  auto dialog = open();
  dialog->show();
  field(*dialog, "httplog\\port")->setText("99999");
  field(*dialog, "gpxlog\\filedir")->setText("/srv/gpx");
  field(*dialog, "httplog\\host")->setText("upload.example");
  pressOk(*dialog);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_NE(dialog->result(), QDialog::Accepted);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("HTTP Log, Port: '99999' is not a valid port number"), std::string::npos) << messages[0];
  EXPECT_EQ(dialog->pageTitle(dialog->currentPage()), QStringLiteral("HTTP Log"));
  EXPECT_EQ(dialog->focusWidget(), field(*dialog, "httplog\\port"));
  EXPECT_FALSE(std::filesystem::exists(settingsFile));
  EXPECT_EQ(settings.root().findNode("httplog"), nullptr);
  EXPECT_EQ(controller.httpLogger()->host(), "");
  EXPECT_EQ(controller.gpxLogger()->fileDir(), "");

  field(*dialog, "httplog\\port")->setText("8443");
  pressOk(*dialog);
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  EXPECT_EQ(messages.size(), 1u);
  EXPECT_EQ(reloaded().readString("httplog\\port", ""), "8443");
  EXPECT_EQ(controller.httpLogger()->port(), 8443);
  EXPECT_EQ(controller.gpxLogger()->fileDir(), "/srv/gpx");
}

// A server that cannot start is reported; the pages after it (upload, GPX) are applied all the same.
TEST_F(OptionsDialogTest, ServerThatCannotStartLeavesTheLoggersChangesApplied) {
  QTcpServer taken;
  ASSERT_TRUE(taken.listen(QHostAddress::Any));
  auto dialog = open();
  field(*dialog, "http\\port")->setText(QString::number(taken.serverPort()));
  field<QCheckBox>(*dialog, "http\\active")->setChecked(true);
  field(*dialog, "httplog\\host")->setText("upload.example");
  field<QCheckBox>(*dialog, "httplog\\active")->setChecked(true);
  field(*dialog, "gpxlog\\filedir")->setText(dir.path().string().c_str());
  field<QCheckBox>(*dialog, "gpxlog\\active")->setChecked(true);
  pressOk(*dialog);
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("HTTP Server: "), std::string::npos) << messages[0];
  EXPECT_FALSE(controller.serverRunning());
  EXPECT_EQ(controller.httpLogger()->host(), "upload.example");
  EXPECT_TRUE(controller.loggerActive(LoggerKind::http));
  EXPECT_EQ(controller.gpxLogger()->fileDir(), dir.path().string());
  EXPECT_TRUE(controller.loggerActive(LoggerKind::gpxFile));
  EXPECT_EQ(controller.log().lines().filter(QStringLiteral("ERROR: HTTP Server: ")).count(), 1);
  EXPECT_EQ(reloaded().readString("http\\active", ""), "true");
}

// The settings file cannot be written (its folder has gone): the message says which file and why,
// and the values still take effect.
TEST_F(OptionsDialogTest, FailedSaveIsShownAndTheValuesApplied) {
  settings = Settings(dir / "gone" / "geomuxer.sml");
  auto dialog = open();
  field(*dialog, "log\\maxlines")->setText("250");
  pressOk(*dialog);
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("Cannot write the settings file \"" + (dir / "gone" / "geomuxer.sml").string() + "\""),
            std::string::npos) << messages[0];
  EXPECT_EQ(controller.log().maxLines(), 250);
  EXPECT_EQ(controller.log().lines().filter(QStringLiteral("ERROR: Cannot write the settings file")).count(), 1);
}

// Each page checks the fields that applying parses, names page and field, and writes nothing.
TEST_F(OptionsDialogTest, ValidateNamesEveryFieldThatCannotBeApplied) {
  auto dialog = open();
  EXPECT_TRUE(dialog->validate().empty());
  const std::pair<const char*, const char*> bad[] = {
      {"simu\\alt", "-"},           {"nmeacom\\bytesize", "300"}, {"nmeatcpip\\port", ""},
      {"http\\port", "70000"},      {"http\\bindaddress", "all"}, {"http\\dbpool", "0"},
      {"http\\dbtimeout", "3601"},  {"tcpiplog\\maxclients", "0"}, {"httplog\\timeout", ""},
      {"httplog\\queuesize", "0"},  {"proxy\\port", "65536"},
  };
  for (const auto& [name, text] : bad) field(*dialog, name)->setText(text);
  // An empty line limit means no limit.
  field(*dialog, "log\\maxlines")->clear();

  const std::vector<FieldProblem> problems = dialog->validate();
  std::vector<std::string> found;
  for (const FieldProblem& problem : problems) found.push_back(problem.message.toStdString());
  EXPECT_EQ(found, (std::vector<std::string>{
                          "Simulator, Start Altitude (m): '-' is not a valid floating point value",
                          "NMEA via COM, Byte size: '300' is out of range",
                          "NMEA via TCP/IP, Port: '' is not a valid integer value",
                          "HTTP Server, Port: '70000' is not a valid port number",
                          "HTTP Server, Bind address: 'all' is not an IP address",
                          "HTTP Server, Connections: '0' is not between 1 and 64",
                          "HTTP Server, Statement time limit (s): '3601' is not between 1 and 3600",
                          "TCP/IP Log, Maximum clients: '0' is not between 1 and 2147483647",
                          "HTTP Log, Timeout (ms): '' is not a valid integer value",
                          "HTTP Log, Queue size (positions): '0' is not between 1 and 2147483647",
                          "HTTP Proxy, Port: '65536' is not a valid port number",
                      }));
  for (std::size_t i = 0; i < problems.size() && i < std::size(bad); ++i)
    EXPECT_EQ(problems[i].field, field(*dialog, bad[i].first)) << bad[i].first;
  EXPECT_FALSE(std::filesystem::exists(settingsFile));

  // OK refuses them all in one message, and writes nothing.
  pressOk(*dialog);
  EXPECT_EQ(dialog->problems().size(), problems.size());
  ASSERT_EQ(messages.size(), 1u);
  for (const std::string& line : found) EXPECT_NE(messages[0].find(line), std::string::npos) << line;
  EXPECT_FALSE(std::filesystem::exists(settingsFile));
  EXPECT_EQ(dialog->pageTitle(dialog->currentPage()), QStringLiteral("Simulator"));
}

TEST_F(OptionsDialogTest, PasswordsAreMaskedStoredEncodedAndShownDecoded) {
  auto dialog = open();
  for (const char* name : {"http\\password", "httplog\\password", "proxy\\password"}) {
    EXPECT_EQ(field(*dialog, name)->echoMode(), QLineEdit::Password) << name;
  }
  field(*dialog, "httplog\\password")->setText("s3cret");
  field(*dialog, "proxy\\password")->setText("p");
  pressOk(*dialog);

  const std::string stored = reloaded().readString("httplog\\password", "");
  EXPECT_EQ(stored, encodePassword(kPasswordKey, "s3cret"));
  EXPECT_EQ(stored.size(), 12u);
  EXPECT_EQ(stored.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(controller.httpLogger()->authPass(), "s3cret");

  dialog = open();
  EXPECT_EQ(field(*dialog, "httplog\\password")->text(), QStringLiteral("s3cret"));
  EXPECT_EQ(field(*dialog, "proxy\\password")->text(), QStringLiteral("p"));
}

TEST_F(OptionsDialogTest, RefreshSortsThePortsAndKeepsEveryPortName) {
  auto dialog = open();
  auto* garmin = field<QComboBox>(*dialog, "garmincom\\port");
  auto* nmea = field<QComboBox>(*dialog, "nmeacom\\port");
  ASSERT_EQ(nmea->count(), 2);
  EXPECT_EQ(nmea->itemText(0), QStringLiteral("ttyS0"));
  nmea->setCurrentIndex(nmea->findText("ttyUSB0"));
  garmin->setCurrentIndex(garmin->findText("ttyS0"));

  // A port's stable names come right after its kernel name, and stay beside it in the sort.
  ports = {"ttyUSB1", "/dev/serial/by-id/usb-b", "ttyUSB0", "/dev/serial/by-id/usb-a", "ttyACM0"};
  dialog->findChild<QPushButton*>(QStringLiteral("nmeacom\\port.refresh"))->click();
  QStringList listed;
  for (int i = 0; i < nmea->count(); ++i) listed << nmea->itemText(i);
  EXPECT_EQ(listed, QStringList({"ttyACM0", "ttyUSB0", "/dev/serial/by-id/usb-a", "ttyUSB1", "/dev/serial/by-id/usb-b"}));
  EXPECT_TRUE(nmea->itemData(2, Qt::ToolTipRole).toString().contains("ttyUSB0"));
  EXPECT_EQ(nmea->currentText(), QStringLiteral("ttyUSB0"));
  // ttyS0 has gone from the list but not from the field; a typed name stays as typed.
  EXPECT_EQ(garmin->currentIndex(), -1);
  EXPECT_EQ(garmin->currentText(), QStringLiteral("ttyS0"));
  nmea->setEditText(QStringLiteral("/dev/rfcomm0"));
  dialog->refreshPorts();
  EXPECT_EQ(nmea->currentText(), QStringLiteral("/dev/rfcomm0"));
  EXPECT_EQ(nmea->count(), 5);
  pressOk(*dialog);
  EXPECT_EQ(reloaded().readString("nmeacom\\port", ""), "/dev/rfcomm0");
  EXPECT_EQ(qobject_cast<GpsTrackerNmeaCom*>(controller.source(sourceIndex("NMEA via COM")))->port(), "/dev/rfcomm0");
}

TEST_F(OptionsDialogTest, DigitFieldsTakeOnlyDigits) {
  auto dialog = open();
  QLineEdit* maxLines = field(*dialog, "log\\maxlines");
  maxLines->clear();
  QTest::keyClicks(maxLines, QStringLiteral("1a-2.5"));
  EXPECT_EQ(maxLines->text(), QStringLiteral("125"));
  QLineEdit* altitude = field(*dialog, "simu\\alt");
  altitude->clear();
  QTest::keyClicks(altitude, QStringLiteral("-12x.5"));
  EXPECT_EQ(altitude->text(), QStringLiteral("-12.5"));
}

TEST_F(OptionsDialogTest, SystemProxyFillsServerAndPort) {
  auto dialog = open();
  QLineEdit* host = field(*dialog, "proxy\\host");
  QLineEdit* port = field(*dialog, "proxy\\port");
  dialog->setProxyQuery([] { return std::optional<std::string>("http=host:8080;https=other:443"); });
  dialog->findChild<QPushButton*>(QStringLiteral("systemProxy"))->click();
  EXPECT_EQ(host->text(), QStringLiteral("host"));
  EXPECT_EQ(port->text(), QStringLiteral("8080"));

  dialog->setProxyQuery([] { return std::optional<std::string>(); });  // direct connections
  dialog->takeSystemProxy();
  EXPECT_EQ(host->text(), QStringLiteral("host"));
}

TEST_F(OptionsDialogTest, CertificateChooserFillsEmptyKeyAndRoot) {
  auto dialog = open();
  chosenFile = QStringLiteral("/etc/geomuxer/server.pem");
  dialog->findChild<QToolButton*>(QStringLiteral("http\\certfile.browse"))->click();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].filters.value(requests[0].selectedFilter), QStringLiteral("Cert files (*.pem)"));
  EXPECT_EQ(requests[0].defaultSuffix, QStringLiteral("pem"));
  for (const char* name : {"http\\certfile", "http\\keyfile", "http\\rootcertfile"})
    EXPECT_EQ(field(*dialog, name)->text(), chosenFile) << name;

  chosenFile = QStringLiteral("/etc/geomuxer/server.key");
  dialog->findChild<QToolButton*>(QStringLiteral("http\\keyfile.browse"))->click();
  EXPECT_EQ(requests[1].filters.value(requests[1].selectedFilter), QStringLiteral("Key files (*.key)"));
  EXPECT_EQ(requests[1].start, QStringLiteral("/etc/geomuxer/server.pem"));
  chosenFile = QStringLiteral("/etc/geomuxer/other.pem");
  dialog->findChild<QToolButton*>(QStringLiteral("http\\certfile.browse"))->click();
  EXPECT_EQ(field(*dialog, "http\\keyfile")->text(), QStringLiteral("/etc/geomuxer/server.key"));
  EXPECT_EQ(field(*dialog, "http\\rootcertfile")->text(), QStringLiteral("/etc/geomuxer/server.pem"));

  chosenFile.clear();  // cancelled
  dialog->findChild<QToolButton*>(QStringLiteral("http\\certfile.browse"))->click();
  EXPECT_EQ(field(*dialog, "http\\certfile")->text(), QStringLiteral("/etc/geomuxer/other.pem"));
}

TEST_F(OptionsDialogTest, HelpAndServerPageAddress) {
  auto dialog = open();
  std::string topic;
  dialog->setHelpHandler([&topic](const std::string& t) { topic = t; });
  dialog->findChild<QPushButton*>(QStringLiteral("help"))->click();
  EXPECT_EQ(topic, "geomuxer_options.html");

  const QString admin = serverPageUrl(true, QStringLiteral("8087"), true);
  EXPECT_TRUE(admin.startsWith(QStringLiteral("https://"))) << admin.toStdString();
  EXPECT_TRUE(admin.endsWith(QStringLiteral(":8087/admin/"))) << admin.toStdString();
  EXPECT_TRUE(serverPageUrl(false, QStringLiteral("80"), false).endsWith(QStringLiteral(":80/")));
}

}  // namespace
}  // namespace geomuxer
