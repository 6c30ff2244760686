#pragma once
// Tells the service manager how the program is doing: ready once it has started up (the position
// server and the broadcast listen), alive while its event loop turns (the watchdog), and stopping.
// Under systemd (Type=notify) this is sd_notify; outside a service, or built without libsystemd,
// every call does nothing.

#include <QObject>

#include <chrono>
#include <string>

class QTimer;

namespace geomuxer {

/// Main thread only; one per process, created before the event loop runs.
class ServiceNotifier : public QObject {
  Q_OBJECT

 public:
  /// Starts the watchdog pings when the service manager asks for them (WatchdogSec=), at half
  /// its interval, from the event loop: a loop that hangs stops them and the manager restarts us.
  explicit ServiceNotifier(QObject* parent = nullptr);

  /// A service manager waits for our notifications (NOTIFY_SOCKET is set).
  [[nodiscard]] bool underServiceManager() const { return m_enabled; }
  /// The interval the watchdog expects pings in; zero when it does not.
  [[nodiscard]] std::chrono::microseconds watchdogInterval() const { return m_watchdogInterval; }

  /// Start-up is done; `status` is one line for "systemctl status".
  void ready(const std::string& status);
  void setStatus(const std::string& status);
  /// The closing steps begin.
  void stopping();

 private:
  void send(const std::string& state);

  bool m_enabled = false;
  std::chrono::microseconds m_watchdogInterval{0};
  QTimer* m_watchdog = nullptr;  // child
};

}  // namespace geomuxer
