#pragma once
// The options dialog: every setting of the program on one page per topic. It shows the stored
// settings (and the running state where that is what the user sees), and "OK" writes them all,
// saves the settings file and applies them to the running program.

#include <QDialog>
#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QStackedWidget;

namespace geomuxer {

class AppController;
class CoordinateEdit;
class GpsTracker;
class SimulatorWindow;

/// Host and port of an HTTP proxy.
struct ProxyAddress {
  std::string host;
  int port = 0;
  friend bool operator==(const ProxyAddress&, const ProxyAddress&) = default;
};

/// Reads a proxy list, either one address ("host:3128") or entries per protocol
/// ("http=host:8080;https=other:443", of which the http entry counts). A scheme in front
/// ("http://host:8080/") is dropped; a port that is not a number gives 0 and a missing one 80.
/// Nothing when the list is empty or has entries but none for http.
[[nodiscard]] std::optional<ProxyAddress> parseProxyList(std::string_view list);

/// The system's proxies for HTTP and HTTPS in the form parseProxyList reads (desktop settings and
/// the *_proxy environment variables); nothing when connections go direct.
[[nodiscard]] std::optional<std::string> systemProxyList();

/// The position server's page on this machine as others reach it: the first IPv4 address of the
/// host name ("localhost" when the name cannot be read, empty when it does not resolve).
[[nodiscard]] QString serverPageUrl(bool https, const QString& port, bool admin);

/// What a browse button asks the user for.
struct FileRequest {
  enum class Kind { openFile, saveFile, folder };
  Kind kind = Kind::openFile;
  QString caption;
  QString start;        ///< file or folder the chooser starts at
  QStringList filters;  ///< Qt's form: "Cert files (*.pem)"
  int selectedFilter = 0;
  QString defaultSuffix;
};

/// Modal, main thread only. The controller and the simulator window (may be null) must outlive it.
class OptionsDialog : public QDialog {
  Q_OBJECT

 public:
  /// The chosen path, or empty when the user cancelled.
  using FileChooser = std::function<QString(const FileRequest&)>;
  /// Error boxes and questions; returns the button pressed.
  using MessageBox = std::function<QMessageBox::StandardButton(QMessageBox::Icon icon, const QString& title,
                                                               const QString& text,
                                                               QMessageBox::StandardButtons buttons)>;
  using PortLister = std::function<std::vector<std::string>()>;
  using ProxyQuery = std::function<std::optional<std::string>()>;
  using HelpHandler = std::function<void(const std::string& topic)>;

  /// The help topic of the dialog.
  static constexpr const char* kHelpTopic = "geomuxer_options.html";

  /// Builds the pages and loads every field. `ports` lists the serial ports (the machine's by
  /// default).
  OptionsDialog(AppController& controller, SimulatorWindow* simulatorWindow, QWidget* parent = nullptr,
                PortLister ports = {});
  ~OptionsDialog() override;

  /// Shows the dialog modally; true when the user confirmed it.
  static bool execute(AppController& controller, SimulatorWindow* simulatorWindow, QWidget* parent,
                      HelpHandler help);

  void setFileChooser(FileChooser chooser) { m_chooseFile = std::move(chooser); }
  void setMessageBox(MessageBox box) { m_message = std::move(box); }
  void setProxyQuery(ProxyQuery query) { m_proxyQuery = std::move(query); }
  void setHelpHandler(HelpHandler help) { m_help = std::move(help); }

  [[nodiscard]] int pageCount() const;
  [[nodiscard]] QString pageTitle(int index) const;
  [[nodiscard]] QWidget* page(int index) const;
  [[nodiscard]] int currentPage() const;
  void setCurrentPage(int index);

  /// Fills both port lists anew, keeping each list's port when it is still there.
  void refreshPorts();
  /// "System Proxy Settings": the system's HTTP proxy into the proxy fields, when there is one.
  void takeSystemProxy();
  /// Writes every field into the settings, saves the file and applies the values to the running
  /// program. Stops at the first value that cannot be applied, reports it, and returns false.
  bool save();

  /// "OK": save, then close with the accepted result (also after an error).
  void accept() override;

 private:
  struct SourcePage;

  void buildPages();
  QWidget* addPage(const QString& title);
  void buildGeneralPage();
  void buildSourcePage(GpsTracker* source);
  void buildServerPage();
  void buildTcpLogPage();
  void buildFileLogPage();
  void buildGpxLogPage();
  void buildHttpLogPage();
  void buildIntervalPage();
  void buildProxyPage();
  void buildUnitsPage();

  void load();
  void writeSettings();
  void applyToProgram();

  void onUseSslClicked(bool checked);
  void chooseCertificate(int which);
  void openServerPage(bool admin);
  [[nodiscard]] QString chooseFile(const FileRequest& request);
  QMessageBox::StandardButton message(QMessageBox::Icon icon, const QString& title, const QString& text,
                                      QMessageBox::StandardButtons buttons = QMessageBox::Ok);

  AppController& m_controller;
  SimulatorWindow* m_simulatorWindow;
  PortLister m_ports;
  FileChooser m_chooseFile;
  MessageBox m_message;
  ProxyQuery m_proxyQuery;
  HelpHandler m_help;

  QListWidget* m_pageList = nullptr;
  QStackedWidget* m_pages = nullptr;

  // General
  QCheckBox* m_closeToTray = nullptr;
  QCheckBox* m_minimized = nullptr;
  QCheckBox* m_savePos = nullptr;
  QListWidget* m_logWhat = nullptr;
  QLineEdit* m_maxLines = nullptr;
  // Simulator
  CoordinateEdit* m_simuLong = nullptr;
  CoordinateEdit* m_simuLat = nullptr;
  QLineEdit* m_simuAlt = nullptr;
  QLineEdit* m_simuMaxSpeed = nullptr;
  QLineEdit* m_simuMaxVSpeed = nullptr;
  // Garmin via COM
  QComboBox* m_garminPort = nullptr;
  // NMEA via COM
  QComboBox* m_nmeaPort = nullptr;
  QLineEdit* m_nmeaBaud = nullptr;
  QLineEdit* m_nmeaByteSize = nullptr;
  QLineEdit* m_nmeaStopBits = nullptr;
  QCheckBox* m_nmeaParity = nullptr;
  QCheckBox* m_nmeaComChecksum = nullptr;
  // NMEA via TCP/IP
  QLineEdit* m_tcpHost = nullptr;
  QLineEdit* m_tcpPort = nullptr;
  QCheckBox* m_tcpChecksum = nullptr;
  // NMEA via File
  QLineEdit* m_nmeaFile = nullptr;
  QCheckBox* m_fileChecksum = nullptr;
  // HTTP Server
  QLineEdit* m_serverPort = nullptr;
  QCheckBox* m_serverActive = nullptr;
  QCheckBox* m_serverAuth = nullptr;
  QLineEdit* m_serverUser = nullptr;
  QLineEdit* m_serverPassword = nullptr;
  QCheckBox* m_useSsl = nullptr;
  QLineEdit* m_certFile = nullptr;
  QLineEdit* m_keyFile = nullptr;
  QLineEdit* m_rootCertFile = nullptr;
  // TCP/IP Log
  QLineEdit* m_tcpLogPort = nullptr;
  QCheckBox* m_tcpLogActive = nullptr;
  // NMEA Log
  QCheckBox* m_fileLogActive = nullptr;
  QLineEdit* m_fileLogFile = nullptr;
  QCheckBox* m_fileLogAppend = nullptr;
  // GPX Log
  QCheckBox* m_gpxLogActive = nullptr;
  QLineEdit* m_gpxLogDir = nullptr;
  // HTTP Log
  QComboBox* m_httpProtocol = nullptr;
  QLineEdit* m_httpHost = nullptr;
  QLineEdit* m_httpPort = nullptr;
  QLineEdit* m_httpFile = nullptr;
  QLineEdit* m_httpTimeout = nullptr;
  QCheckBox* m_httpAuth = nullptr;
  QLineEdit* m_httpUser = nullptr;
  QLineEdit* m_httpPassword = nullptr;
  QCheckBox* m_httpActive = nullptr;
  // Log Interval
  QButtonGroup* m_recordMode = nullptr;
  QButtonGroup* m_recordInterval = nullptr;
  // HTTP Proxy
  QLineEdit* m_proxyHost = nullptr;
  QLineEdit* m_proxyPort = nullptr;
  QLineEdit* m_proxyUser = nullptr;
  QLineEdit* m_proxyPassword = nullptr;
  // Units
  QButtonGroup* m_distUnit = nullptr;
  QButtonGroup* m_posUnit = nullptr;
};

}  // namespace geomuxer
