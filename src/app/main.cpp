// The geomuxer program: the desktop window with its tray icon, or with --headless (or without a
// display) the same controller without any window.

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/app_controller.h"
#include "app/command_line.h"
#include "app/headless_frontend.h"
#include "app/journal_log.h"
#include "app/main_window.h"
#include "app/program_files.h"
#include "app/service_notifier.h"
#include "app/signal_watcher.h"
#include "app/widgets/options_dialog.h"
#include "app/widgets/simulator_window.h"
#include "server/database.h"
#include "settings/app_paths.h"
#include "settings/settings.h"

namespace {

using namespace geomuxer;

bool haveDisplay() {
  auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
  };
  return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

void reportError(bool headless, const std::string& message) {
  if (headless || QApplication::instance() == nullptr ||
      qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
    writeLogLine(stderr, LogSeverity::error, "geomuxer: " + message);
  } else {
    QMessageBox::critical(nullptr, QString(), QString::fromStdString(message));
  }
}

/// --copy-db FROM TO: both stores are opened (and their schemas brought up to date) as the
/// server would open them; the target must be empty.
int copyDatabases(const CommandLine::CopyDb& copy, const std::filesystem::path& dataDir) {
  if (copy.from.empty() || copy.to.empty()) {
    writeLogLine(stderr, LogSeverity::error, "geomuxer: --copy-db needs two databases: --copy-db FROM TO");
    return 2;
  }
  std::error_code ec;
  if (!isPostgresLocation(copy.from) && !std::filesystem::is_regular_file(copy.from, ec)) {
    writeLogLine(stderr, LogSeverity::error, "geomuxer: no database file \"" + copy.from + "\"");
    return 1;
  }
  try {
    const auto from = openDatabase(copy.from, dataDir);
    const auto to = openDatabase(copy.to, dataDir);
    std::fprintf(stderr, "geomuxer: copying %s into %s\n", from->description().c_str(), to->description().c_str());
    const CopyCount count = copyDatabase(*from, *to, [](std::int64_t positions) {
      if (positions % 100000 == 0) std::fprintf(stderr, "geomuxer: %lld positions copied\n", static_cast<long long>(positions));
    });
    std::printf("Copied %lld clients and %lld positions.\n", static_cast<long long>(count.users),
                static_cast<long long>(count.positions));
    return 0;
  } catch (const std::exception& e) {
    writeLogLine(stderr, LogSeverity::error, std::string("geomuxer: ") + e.what());
    return 1;
  }
}

int run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // The long switches decide how to run before anything is created; -t needs the source list.
  CommandLine early = parseCommandLine(args, {});
  if (early.help) {
    std::fputs(commandLineHelp("geomuxer").c_str(), stdout);
    return 0;
  }
  if (early.version) {
    std::printf("Geomuxer %s\n", GEOMUXER_VERSION);
    return 0;
  }
  if (early.copyDb) return copyDatabases(*early.copyDb, locateDataDir(programDir(argv[0])));
  bool headless = early.headless;
  if (!headless && !haveDisplay()) {
    writeLogLine(stderr, LogSeverity::warning, "geomuxer: no display found; running headless (--headless)");
    headless = true;
  }
  if (headless) routeQtMessagesToJournal();

  const auto appDir = programDir(argv[0]);
  setProgramEnvironment(appDir);
  const auto dataDir = locateDataDir(appDir);
  const StoragePaths paths = storagePaths(appDir, early.configFile);

  std::unique_ptr<QCoreApplication> app;
  if (headless)
    app = std::make_unique<QCoreApplication>(argc, argv);
  else
    app = std::make_unique<QApplication>(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("Geomuxer"));
  QCoreApplication::setApplicationVersion(QStringLiteral(GEOMUXER_VERSION));

  Settings settings(paths.settingsFile, defaultWebRoot(dataDir));
  const Settings::LoadResult loaded = settings.load();
  if (!loaded.ok()) reportError(headless, loaded.message);

  int result = 0;
  {
    AppController controller(settings, {dataDir, paths.databaseFile, paths.stateDir / "upload-queue.db"});
    const CommandLine commandLine = parseCommandLine(args, controller.sourceNames());
    SignalWatcher stopSignals;

    if (headless) {
      HeadlessFrontend frontend(controller, stdout);
      ServiceNotifier service;
      QObject::connect(&stopSignals, &SignalWatcher::terminationRequested, &frontend, [&] {
        service.stopping();
        frontend.quit();
      });
      const std::optional<std::string> error = frontend.start(commandLine);
      // Ready only now: the position server and the broadcast listen, or have said why not.
      const QString url = controller.serverUrl();
      service.ready(error ? "Started with an error: " + *error
                          : url.isEmpty() ? std::string("Running") : "Running, position server " + url.toStdString());
      result = QCoreApplication::exec();
      controller.close();
    } else {
      QApplication::setQuitOnLastWindowClosed(false);
      MainWindow window(controller);
      QObject::connect(&window, &MainWindow::closed, app.get(), &QCoreApplication::quit, Qt::QueuedConnection);
      QObject::connect(&stopSignals, &SignalWatcher::terminationRequested, &window, [&window] {
        window.exitAction()->trigger();
      });
      // Ready before the command line can start the simulator.
      SimulatorWindow simulatorWindow;
      simulatorWindow.follow(controller);
      for (const std::string& problem : simulatorWindow.applySettings(settings)) {
        controller.addLog(QStringLiteral("ERROR: ") + QString::fromStdString(problem));
        reportError(false, problem);
      }
      QObject::connect(&window, &MainWindow::optionsRequested, &window, [&] {
        OptionsDialog::execute(controller, &simulatorWindow, &window,
                               [&window](const std::string& topic) { window.showHelp(topic); });
      });
      window.start(commandLine);
      window.showAtStart();
      result = QCoreApplication::exec();
      controller.close();
      simulatorWindow.storeState(settings);
    }
  }

  // A settings file the program may not write (a service's, under /etc) is the administrator's:
  // it is read, never written back.
  if (!canReplaceFile(settings.fileName())) return result;
  try {
    settings.save();
  } catch (const std::exception& e) {
    // The previous file is still whole; the message says which file and why.
    writeLogLine(stderr, LogSeverity::error, std::string("ERROR: ") + e.what());
    if (!headless) reportError(false, e.what());
    if (result == 0) result = 1;
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    writeLogLine(stderr, LogSeverity::error, std::string("geomuxer: ") + e.what());
    return 1;
  }
}
