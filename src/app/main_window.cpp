#include "app/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSplitter>
#include <QTabWidget>
#include <QSystemTrayIcon>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QToolBar>
#include <QUrl>

#include <algorithm>

#include "app/program_files.h"
#include "app/widgets/live_status.h"
#include "app/widgets/screen_place.h"
#include "app/widgets/sky_view.h"
#include "app/widgets/status_panel.h"
#include "app/widgets/track_view.h"
#include "sources/trackers/gps_tracker.h"

namespace geomuxer {

namespace {

// Without Qt's SVG engine an SVG icon has no pixels; a plain disc keeps the tray usable.
QIcon loadIcon(const QString& path, const QColor& fallback) {
  QIcon icon(path);
  if (!icon.pixmap(16, 16).isNull()) return icon;
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(fallback);
  painter.setPen(fallback.darker());
  painter.drawEllipse(4, 4, 24, 24);
  return QIcon(pixmap);
}

// A disc of the state's colour with a darker rim, or only a thick ring of it.
QIcon stateIcon(const QColor& colour, bool filled) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(filled ? QBrush(colour) : QBrush(Qt::NoBrush));
  painter.setPen(filled ? QPen(colour.darker(), 2.0) : QPen(colour, 6.0));
  painter.drawEllipse(filled ? QRectF(4, 4, 24, 24) : QRectF(6, 6, 20, 20));
  return QIcon(pixmap);
}

MainWindow::TrayState trayStateOf(SourceState state) {
  switch (state) {
    case SourceState::Stopped: return MainWindow::TrayState::noSource;
    case SourceState::Connecting:
    case SourceState::WaitingForData:
    case SourceState::Reconnecting: return MainWindow::TrayState::waitingForData;
    case SourceState::ReceivingNoFix: return MainWindow::TrayState::noFix;
    case SourceState::ReceivingFix: return MainWindow::TrayState::fix;
  }
  return MainWindow::TrayState::noSource;
}

}  // namespace

MainWindow::MainWindow(AppController& controller, QWidget* parent, const Clock& clock)
    : QMainWindow(parent), m_controller(controller), m_liveStatus(new LiveStatus(controller, clock, this)) {
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(QStringLiteral("Geomuxer"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  m_idleIcon = loadIcon(QStringLiteral(":/icons/tray_idle.svg"), QColor(0xa0, 0xae, 0xc0));
  m_waitingIcon = stateIcon(QColor(0xe0, 0x9a, 0x1c), false);
  m_noFixIcon = stateIcon(QColor(0xe0, 0x9a, 0x1c), true);
  m_fixIcon = loadIcon(QStringLiteral(":/icons/tray_active_0.svg"), QColor(0x38, 0xa1, 0x69));
  setWindowIcon(loadIcon(QStringLiteral(":/icons/geomuxer.svg"), QColor(0x2b, 0x6c, 0xb0)));

  createActions();
  createToolStrip();
  createLogPane();
  createStatusArea();
  createTray();

  setMinimumSize(kInitialWidth, kInitialHeight);
  resize(kDefaultWidth, kDefaultHeight);

  connect(&m_controller, &AppController::currentSourceChanged, this, &MainWindow::onCurrentSourceChanged);
  const auto onRunningChanged = [this] {
    updateTrayState();
    updateActions();
  };
  connect(&m_controller, &AppController::sourceStarted, this, onRunningChanged);
  connect(&m_controller, &AppController::sourceStopped, this, onRunningChanged);
  connect(&m_controller, &AppController::trayHintChanged, this, &MainWindow::updateTrayState);
  connect(&m_controller, &AppController::sourceStatusChanged, this, &MainWindow::onSourceStatus);
  connect(&m_controller, &AppController::loggerActiveChanged, this, &MainWindow::updateActions);
  connect(&m_controller, &AppController::serverRunningChanged, this, &MainWindow::updateActions);
  m_controller.setWindowHost(this);
  updateActions();
}

MainWindow::~MainWindow() { m_controller.setWindowHost(nullptr); }

void MainWindow::createActions() {
  // Access keys (the underlined letters) for the tool strip and the tray menu; shortcuts that work
  // wherever the focus is in the window.
  m_showAction = new QAction(QStringLiteral("&Show"), this);
  connect(m_showAction, &QAction::triggered, this, &MainWindow::showFromTray);

  m_exitAction = new QAction(QStringLiteral("E&xit"), this);
  m_exitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  connect(m_exitAction, &QAction::triggered, this, &MainWindow::exitProgram);
  addAction(m_exitAction);

  m_activeAction = new QAction(QStringLiteral("&Active"), this);
  m_activeAction->setIconText(QStringLiteral("&Active"));
  m_activeAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
  m_activeAction->setToolTip(QStringLiteral("Active (Ctrl+R)"));
  m_activeAction->setCheckable(true);
  connect(m_activeAction, &QAction::triggered, this, [this] {
    m_controller.toggleActive();
    updateActions();
  });

  m_optionsAction = new QAction(QStringLiteral("&Options..."), this);
  // A tool button shows the icon text, which Qt derives by dropping the trailing dots and the
  // access key's mark.
  m_optionsAction->setIconText(QStringLiteral("&Options..."));
  m_optionsAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
  m_optionsAction->setToolTip(QStringLiteral("Options (Ctrl+,)"));
  m_optionsAction->setStatusTip(QStringLiteral("Program options"));
  connect(m_optionsAction, &QAction::triggered, this, &MainWindow::optionsRequested);

  m_helpAction = new QAction(QStringLiteral("&Help"), this);
  m_helpAction->setShortcut(QKeySequence(Qt::Key_F1));
  m_helpAction->setShortcutContext(Qt::ApplicationShortcut);
  connect(m_helpAction, &QAction::triggered, this, [this] { showHelp(); });
  addAction(m_helpAction);

  m_aboutAction = new QAction(QStringLiteral("A&bout..."), this);
  connect(m_aboutAction, &QAction::triggered, this, &MainWindow::showAbout);

  for (LoggerKind kind : kLoggerKinds) {
    auto* action = new QAction(loggerCaption(kind), this);
    action->setCheckable(true);
    connect(action, &QAction::triggered, this, [this, kind] { m_controller.toggleLogger(kind); });
    m_loggerActions.push_back(action);
  }

  m_openPageAction = new QAction(QStringLiteral("Open Page"), this);
  connect(m_openPageAction, &QAction::triggered, this, [this] { openServerPage(false); });
  m_openAdminPageAction = new QAction(QStringLiteral("Open Admin Page"), this);
  connect(m_openAdminPageAction, &QAction::triggered, this, [this] { openServerPage(true); });

  m_trackerGroup = new QActionGroup(this);
  m_trackerGroup->setExclusive(true);
  for (int i = 0; i < m_controller.sourceCount(); ++i) {
    auto* action = new QAction(m_controller.sourceName(i), m_trackerGroup);
    action->setCheckable(true);
    action->setData(i);
    connect(action, &QAction::triggered, this, [this, i] { m_controller.selectSource(i); });
    m_trackerActions.push_back(action);
  }
}

void MainWindow::createToolStrip() {
  auto* strip = addToolBar(QStringLiteral("Tools"));
  strip->setMovable(false);
  strip->setFloatable(false);
  strip->setToolButtonStyle(Qt::ToolButtonTextOnly);
  strip->addAction(m_activeAction);
  strip->addAction(m_optionsAction);
  // Tool buttons take no focus by default; these are reached with Tab as well as by their keys.
  for (QAction* action : {m_activeAction, m_optionsAction})
    if (QWidget* button = strip->widgetForAction(action)) button->setFocusPolicy(Qt::TabFocus);
  m_sourceSelector = new QComboBox(strip);
  m_sourceSelector->setAccessibleName(QStringLiteral("Source"));
  m_sourceSelector->setToolTip(QStringLiteral("Source"));
  m_sourceSelector->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  for (int i = 0; i < m_controller.sourceCount(); ++i) m_sourceSelector->addItem(m_controller.sourceName(i));
  m_sourceSelector->setCurrentIndex(-1);
  connect(m_sourceSelector, &QComboBox::activated, this, [this](int index) { m_controller.selectSource(index); });
  strip->addWidget(m_sourceSelector);
}

void MainWindow::createLogPane() {
  m_logPane = new QPlainTextEdit(this);
  m_logPane->setReadOnly(true);
  m_logPane->setTabChangesFocus(true);  // Tab moves on, as it does everywhere else in the window
  m_logPane->setLineWrapMode(QPlainTextEdit::NoWrap);
  m_logPane->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m_logPane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m_logPane->setContextMenuPolicy(Qt::CustomContextMenu);

  m_copyAction = new QAction(QStringLiteral("Copy"), this);
  m_copyAction->setShortcut(QKeySequence::Copy);
  m_copyAction->setEnabled(false);
  connect(m_copyAction, &QAction::triggered, m_logPane, &QPlainTextEdit::copy);
  connect(m_logPane, &QPlainTextEdit::copyAvailable, m_copyAction, &QAction::setEnabled);
  m_clearAction = new QAction(QStringLiteral("Clear"), this);
  connect(m_clearAction, &QAction::triggered, this, [this] { m_controller.log().clear(); });

  auto* menu = new QMenu(this);
  menu->addAction(m_copyAction);
  menu->addAction(m_clearAction);
  connect(m_logPane, &QWidget::customContextMenuRequested, this, [this, menu](const QPoint& pos) {
    updateActions();
    menu->popup(m_logPane->viewport()->mapToGlobal(pos));
  });

  LogModel& log = m_controller.log();
  connect(&log, &QAbstractItemModel::rowsInserted, this,
          [this](const QModelIndex&, int first, int last) { appendLogLines(first, last); });
  connect(&log, &QAbstractItemModel::rowsRemoved, this,
          [this](const QModelIndex&, int first, int last) {
            if (first == 0)
              removeLogLines(last - first + 1);
            else
              rebuildLogPane();
          });
  connect(&log, &QAbstractItemModel::modelReset, this, &MainWindow::rebuildLogPane);
  rebuildLogPane();
}

void MainWindow::createStatusArea() {
  // The status above the log, in tabs; the divider lets the user give either more room. Only the
  // chosen tab is shown, and only a shown view refreshes.
  m_statusPanel = new StatusPanel(*m_liveStatus, this);
  m_skyView = new SkyView(*m_liveStatus, this);
  m_trackView = new TrackView(*m_liveStatus, this);
  m_statusTabs = new QTabWidget(this);
  m_statusTabs->setDocumentMode(true);
  m_statusTabs->addTab(m_statusPanel, QStringLiteral("S&tatus"));
  m_statusTabs->addTab(m_skyView, QStringLiteral("S&ky"));
  m_statusTabs->addTab(m_trackView, QStringLiteral("T&rack"));
  m_splitter = new QSplitter(Qt::Vertical, this);
  m_splitter->setChildrenCollapsible(false);
  m_splitter->addWidget(m_statusTabs);
  m_splitter->addWidget(m_logPane);
  m_splitter->setStretchFactor(0, 0);
  m_splitter->setStretchFactor(1, 1);
  setCentralWidget(m_splitter);
  // Tab reads the window top down: tool strip, the tabs, the server link of the panel, the log.
  QWidget* link = m_statusPanel->valueLabel(StatusPanel::Field::server);
  setTabOrder(m_sourceSelector, m_statusTabs);
  setTabOrder(m_statusTabs, link);
  setTabOrder(link, m_logPane);
}

void MainWindow::createTray() {
  m_trayMenu = new QMenu(this);
  m_trayMenu->addAction(m_showAction);
  m_trayMenu->setDefaultAction(m_showAction);
  m_trayMenu->addSeparator();
  m_trayMenu->addAction(m_activeAction);
  QMenu* trackers = m_trayMenu->addMenu(QStringLiteral("Tracker"));
  for (QAction* action : m_trackerActions) trackers->addAction(action);
  QMenu* loggers = m_trayMenu->addMenu(QStringLiteral("Logger"));
  for (LoggerKind kind : {LoggerKind::nmeaTcp, LoggerKind::nmeaUdp, LoggerKind::http, LoggerKind::nmeaFile,
                          LoggerKind::gpxFile})
    loggers->addAction(loggerAction(kind));
  QMenu* server = m_trayMenu->addMenu(QStringLiteral("HTTP Server"));
  server->addAction(m_openPageAction);
  server->addAction(m_openAdminPageAction);
  m_trayMenu->addAction(m_optionsAction);
  m_trayMenu->addSeparator();
  m_trayMenu->addAction(m_helpAction);
  m_trayMenu->addAction(m_aboutAction);
  m_trayMenu->addSeparator();
  m_trayMenu->addAction(m_exitAction);
  connect(m_trayMenu, &QMenu::aboutToShow, this, &MainWindow::updateActions);

  m_tray = new QSystemTrayIcon(m_idleIcon, this);
  m_tray->setContextMenu(m_trayMenu);
  connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    // Trays that send single clicks (StatusNotifier items) never send a double click.
    if (reason == QSystemTrayIcon::DoubleClick || reason == QSystemTrayIcon::Trigger) showFromTray();
  });
  m_tray->show();

  // The icon tells the state instead of cycling; while a source runs it is looked at once a
  // second, so that a fix without positions turns amber and the wait for a reconnect counts
  // down. A notification held back by the quiet time is sent from here too.
  m_trayTimer = new QTimer(this);
  m_trayTimer->setInterval(1000);
  connect(m_trayTimer, &QTimer::timeout, this, [this] {
    if (m_notices.pending())
      if (auto notice = m_notices.poll(windowSeen(), m_liveStatus->clock().now())) showNotice(*notice);
    updateTrayState();
  });
  updateTrayState();
}

QAction* MainWindow::loggerAction(LoggerKind kind) const {
  return m_loggerActions.at(static_cast<std::size_t>(kind));
}

std::optional<std::string> MainWindow::start(const CommandLine& commandLine) {
  std::optional<std::string> error = m_controller.startUp(commandLine);
  if (error) QMessageBox::critical(this, QString(), QString::fromStdString(*error));
  updateActions();
  return error;
}

void MainWindow::showAtStart() {
  if (!m_minimized)
    show();
  else if (!trayAvailable())
    showMinimized();  // without a notification area the task bar is the only way back
}

WindowRect MainWindow::windowRect() const { return {x(), y(), width(), height()}; }

void MainWindow::restoreWindowRect(const WindowRect& rect) {
  const QRect wanted(rect.left, rect.top, std::max(rect.width, minimumWidth()), std::max(rect.height, minimumHeight()));
  const QRect place = keptInsideScreens(wanted, availableScreenAreas());
  move(place.topLeft());
  resize(place.size());
}

bool MainWindow::trayAvailable() const {
  return m_trayProbe ? m_trayProbe() : QSystemTrayIcon::isSystemTrayAvailable();
}

QString MainWindow::stampedLogLine(const QDateTime& time, const QString& text) {
  return time.toString(QStringLiteral("HH:mm:ss")) + QLatin1Char(' ') + text;
}

void MainWindow::minimizeWindow() {
  m_minimized = true;
  if (isVisible()) setWindowState(windowState() | Qt::WindowMinimized);
}

// --- log pane -----------------------------------------------------------------------------------

void MainWindow::rebuildLogPane() {
  const LogModel& log = m_controller.log();
  QStringList lines;
  lines.reserve(log.count());
  for (int row = 0; row < log.count(); ++row) lines << stampedLogLine(log.time(row), log.line(row));
  m_logPane->setPlainText(lines.join(QLatin1Char('\n')));
  m_logPane->verticalScrollBar()->setValue(m_logPane->verticalScrollBar()->maximum());
  updateActions();
}

void MainWindow::appendLogLines(int first, int last) {
  const LogModel& log = m_controller.log();
  for (int row = first; row <= last; ++row) m_logPane->appendPlainText(stampedLogLine(log.time(row), log.line(row)));
  m_logPane->verticalScrollBar()->setValue(m_logPane->verticalScrollBar()->maximum());
  m_clearAction->setEnabled(true);
}

void MainWindow::removeLogLines(int count) {
  QTextDocument* document = m_logPane->document();
  if (count >= document->blockCount()) {
    m_logPane->clear();
    return;
  }
  QTextCursor cursor(document);
  cursor.movePosition(QTextCursor::Start);
  cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, count);
  cursor.removeSelectedText();
}

// --- commands and their state -------------------------------------------------------------------

void MainWindow::updateActions() {
  m_activeAction->setEnabled(m_controller.currentTracker() != nullptr);
  m_activeAction->setChecked(m_controller.isActive());
  for (LoggerKind kind : kLoggerKinds) loggerAction(kind)->setChecked(m_controller.loggerActive(kind));
  const bool serverRunning = m_controller.serverRunning();
  m_openPageAction->setEnabled(serverRunning);
  m_openAdminPageAction->setEnabled(serverRunning);
  m_clearAction->setEnabled(m_controller.log().count() > 0);
  const int current = m_controller.currentSource();
  for (QAction* action : m_trackerActions) action->setChecked(action->data().toInt() == current);
}

void MainWindow::onCurrentSourceChanged(int index) {
  m_sourceSelector->setCurrentIndex(index >= 0 && index < m_sourceSelector->count() ? index : -1);
  if (index < 0 || index >= static_cast<int>(m_trackerActions.size())) {
    // An exclusive group keeps its checked item; no usable selection means none checked.
    m_trackerGroup->setExclusive(false);
    for (QAction* action : m_trackerActions) action->setChecked(false);
    m_trackerGroup->setExclusive(true);
  }
  updateActions();
}

void MainWindow::onSourceStatus(const SourceStatus& status) {
  if (auto notice = m_notices.update(status, windowSeen(), m_liveStatus->clock().now())) showNotice(*notice);
  updateTrayState();
}

bool MainWindow::windowSeen() const { return isVisible() && !isMinimized(); }

void MainWindow::showNotice(const SourceNotices::Notice& notice) {
  const QString title = notice.failure ? QStringLiteral("Source failed") : QStringLiteral("Source recovered");
  const QString text = QString::fromStdString(notice.text);
  m_tray->showMessage(title, text, notice.failure ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information);
  emit noticeShown(title, text);
}

void MainWindow::updateTrayState() {
  const SourceStatus status = m_liveStatus->sourceStatus();
  TrayState state = trayStateOf(status.state);
  // A fix without a position for the watchdog time is none.
  const Clock::TimePoint since = std::max(m_liveStatus->sourceStatusTime(),
                                          m_liveStatus->lastArrival().value_or(Clock::TimePoint{}));
  const auto watchdog = std::chrono::seconds(m_controller.watchdogSeconds());
  if (state == TrayState::fix && m_liveStatus->clock().now() - since >= watchdog) state = TrayState::noFix;

  // The controller's hint, and below it what the source is doing (and what broke it).
  QString tip = m_controller.trayHint();
  if (m_controller.currentTracker() != nullptr && (status.state != SourceState::Stopped || !status.lastError.empty()))
    tip += QLatin1Char('\n') + QString::fromStdString(sourceStatusLine(status));
  if (tip != m_tray->toolTip()) m_tray->setToolTip(tip);

  const bool ticking = status.state != SourceState::Stopped || m_notices.pending();
  if (ticking && !m_trayTimer->isActive())
    m_trayTimer->start();
  else if (!ticking)
    m_trayTimer->stop();

  if (state == m_trayState) return;
  m_trayState = state;
  m_tray->setIcon(state == TrayState::fix              ? m_fixIcon
                  : state == TrayState::noFix          ? m_noFixIcon
                  : state == TrayState::waitingForData ? m_waitingIcon
                                                       : m_idleIcon);
}

void MainWindow::showFromTray() {
  m_minimized = false;
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

void MainWindow::exitProgram() {
  m_controller.setCloseToTray(false);
  close();
}

void MainWindow::showHelp(const std::string& topic) {
  const auto file = helpFile(m_controller.options().dataDir, topic);
  QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(file.string())));
}

void MainWindow::showAbout() {
  QMessageBox::about(this, QStringLiteral("About Geomuxer"),
                     QStringLiteral("<b>Geomuxer</b> %1<br>GPS position multiplexer.<br><br>"
                                    "Takes live positions from one source and passes them to NMEA, GPX and "
                                    "HTTP outputs and the built-in position server.")
                         .arg(QStringLiteral(GEOMUXER_VERSION)));
}

void MainWindow::openServerPage(bool admin) {
  QString url = m_controller.serverUrl();
  if (url.isEmpty()) return;
  if (admin) url += QStringLiteral("admin/");
  QDesktopServices::openUrl(QUrl(url));
}

// --- window events ------------------------------------------------------------------------------

void MainWindow::closeEvent(QCloseEvent* event) {
  // Without a notification area a hidden window could never come back while the program holds
  // its ports: closing then ends the program, as it does in any other program.
  if (m_controller.closeToTray() && trayAvailable()) {
    event->ignore();
    hide();
    return;
  }
  m_controller.close();
  event->accept();
  emit closed();
}

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized() && trayAvailable()) {
    // Minimised means: in the notification area only.
    QTimer::singleShot(0, this, &QWidget::hide);
  }
}

}  // namespace geomuxer
