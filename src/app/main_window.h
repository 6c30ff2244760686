#pragma once
// The desktop front end: the main window with its tool strip and log pane, and the tray icon with
// its menu. All logic is the controller's; this class presents it and passes commands on.

#include <QIcon>
#include <QMainWindow>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/app_controller.h"
#include "app/widgets/source_notices.h"
#include "core/clock.h"

class QAction;
class QActionGroup;
class QComboBox;
class QDateTime;
class QMenu;
class QPlainTextEdit;
class QSystemTrayIcon;
class QSplitter;
class QTabWidget;
class QTimer;

namespace geomuxer {

class LiveStatus;
class SkyView;
class StatusPanel;
class TrackView;

/// Main thread only. The controller must outlive the window.
class MainWindow : public QMainWindow, public WindowHost {
  Q_OBJECT

 public:
  /// The initial (and smallest) client size.
  static constexpr int kInitialWidth = 411;
  static constexpr int kInitialHeight = 378;
  /// The size on a first run: room for the status panel and a useful part of the log.
  static constexpr int kDefaultWidth = 460;
  static constexpr int kDefaultHeight = 560;

  /// `clock` times the age of the last position; it must outlive the window.
  explicit MainWindow(AppController& controller, QWidget* parent = nullptr, const Clock& clock = systemClock());
  ~MainWindow() override;

  /// Starts the controller: database, server, settings and command line. A setting that stopped
  /// the start-up is shown in an error box and returned. Does not show the window.
  std::optional<std::string> start(const CommandLine& commandLine);
  /// Shows the window unless the settings or the command line asked for the tray only.
  void showAtStart();

  // WindowHost
  [[nodiscard]] WindowRect windowRect() const override;
  void restoreWindowRect(const WindowRect& rect) override;
  void minimizeWindow() override;

  /// Whether the desktop has a notification area now; asked on every close and minimise, since a
  /// tray can start after the program (at login) or go away. Tests put in their own answer.
  [[nodiscard]] bool trayAvailable() const;
  void setTrayProbe(std::function<bool()> probe) { m_trayProbe = std::move(probe); }

  /// A log line as the pane shows it: local time to the second, then the text.
  [[nodiscard]] static QString stampedLogLine(const QDateTime& time, const QString& text);

  /// The tray icon, null when the desktop has no notification area.
  [[nodiscard]] QSystemTrayIcon* trayIcon() const { return m_tray; }
  [[nodiscard]] QMenu* trayMenu() const { return m_trayMenu; }
  [[nodiscard]] QPlainTextEdit* logPane() const { return m_logPane; }
  [[nodiscard]] StatusPanel* statusPanel() const { return m_statusPanel; }
  [[nodiscard]] SkyView* skyView() const { return m_skyView; }
  [[nodiscard]] TrackView* trackView() const { return m_trackView; }
  /// The tabs above the log: Status, Sky, Track.
  [[nodiscard]] QTabWidget* statusTabs() const { return m_statusTabs; }
  [[nodiscard]] LiveStatus& liveStatus() const { return *m_liveStatus; }
  [[nodiscard]] QComboBox* sourceSelector() const { return m_sourceSelector; }
  [[nodiscard]] QAction* activeAction() const { return m_activeAction; }
  [[nodiscard]] QAction* exitAction() const { return m_exitAction; }
  [[nodiscard]] QAction* showAction() const { return m_showAction; }
  [[nodiscard]] QAction* optionsAction() const { return m_optionsAction; }
  [[nodiscard]] QAction* loggerAction(LoggerKind kind) const;
  /// What the tray icon tells, from the selected source's state: none running (grey disc),
  /// waiting for data while connecting or reconnecting (amber ring), bytes but no fix (amber
  /// disc), positions coming in (green disc). A fix without a position for the watchdog time
  /// (since it was announced) counts as none.
  enum class TrayState { noSource, waitingForData, noFix, fix };
  [[nodiscard]] TrayState trayState() const { return m_trayState; }
  /// Looks at the source again and sets the tray's icon and tool tip (also done every second while
  /// a source runs).
  void updateTrayState();
  [[nodiscard]] bool startsMinimized() const { return m_minimized; }

  /// Opens the help page of `topic` (the start page when empty) in the browser.
  void showHelp(const std::string& topic = {});

 signals:
  /// "Options..." was chosen; the options dialog connects here.
  void optionsRequested();
  /// The window was closed for good (not hidden to the tray): the program should end.
  void closed();
  /// A notification went to the tray: the source failed or came back while the window was out
  /// of sight.
  void noticeShown(const QString& title, const QString& text);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void createActions();
  void createToolStrip();
  void createLogPane();
  void createStatusArea();
  void createTray();
  void rebuildLogPane();
  void appendLogLines(int first, int last);
  void removeLogLines(int count);
  void updateActions();
  void onCurrentSourceChanged(int index);
  void onSourceStatus(const SourceStatus& status);
  void showNotice(const SourceNotices::Notice& notice);
  /// The user has the window before their eyes (shown and not minimised).
  [[nodiscard]] bool windowSeen() const;
  void showFromTray();
  void exitProgram();
  void showAbout();
  void openServerPage(bool admin);

  AppController& m_controller;

  QAction* m_showAction = nullptr;
  QAction* m_exitAction = nullptr;
  QAction* m_activeAction = nullptr;
  QAction* m_optionsAction = nullptr;
  QAction* m_helpAction = nullptr;
  QAction* m_aboutAction = nullptr;
  QAction* m_copyAction = nullptr;
  QAction* m_clearAction = nullptr;
  QAction* m_openPageAction = nullptr;
  QAction* m_openAdminPageAction = nullptr;
  std::vector<QAction*> m_loggerActions;  // by LoggerKind
  QActionGroup* m_trackerGroup = nullptr;
  std::vector<QAction*> m_trackerActions;

  QComboBox* m_sourceSelector = nullptr;
  QPlainTextEdit* m_logPane = nullptr;
  LiveStatus* m_liveStatus = nullptr;
  StatusPanel* m_statusPanel = nullptr;
  SkyView* m_skyView = nullptr;
  TrackView* m_trackView = nullptr;
  QTabWidget* m_statusTabs = nullptr;
  QSplitter* m_splitter = nullptr;
  QSystemTrayIcon* m_tray = nullptr;
  QMenu* m_trayMenu = nullptr;
  QTimer* m_trayTimer = nullptr;
  QIcon m_idleIcon;
  QIcon m_waitingIcon;
  QIcon m_noFixIcon;
  QIcon m_fixIcon;
  TrayState m_trayState = TrayState::noSource;
  SourceNotices m_notices;
  bool m_minimized = false;
  std::function<bool()> m_trayProbe;
};

}  // namespace geomuxer
