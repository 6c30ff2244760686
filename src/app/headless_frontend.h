#pragma once
// The program without a window: the controller runs as a daemon, each log line goes to standard
// output with a time stamp (or, when that is the journal, with its priority and without a stamp),
// and SIGINT or SIGTERM end the program through the closing steps.

#include <QObject>

#include <cstdio>
#include <optional>
#include <string>

#include "app/command_line.h"

namespace geomuxer {

class AppController;

/// Main thread only.
class HeadlessFrontend : public QObject {
  Q_OBJECT

 public:
  /// `out` receives the log lines ("2024-05-17T09:05:03Z TRACKER: Simulator started"; for the
  /// journal "<6>TRACKER: Simulator started").
  HeadlessFrontend(AppController& controller, std::FILE* out, QObject* parent = nullptr);

  /// Starts the controller with `commandLine`; a setting that stopped the start-up is printed to
  /// standard error and returned.
  std::optional<std::string> start(const CommandLine& commandLine);
  /// Runs the closing steps and leaves the event loop.
  void quit();

 private:
  void print(const QString& line);

  AppController& m_controller;
  std::FILE* m_out;
  bool m_journal;
};

}  // namespace geomuxer
