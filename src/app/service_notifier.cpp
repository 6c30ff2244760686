#include "app/service_notifier.h"

#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#ifdef GEOMUXER_WITH_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace geomuxer {

namespace {

// Status texts are single lines; the manager would cut at the first line break anyway.
std::string oneLine(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}

}  // namespace

ServiceNotifier::ServiceNotifier(QObject* parent) : QObject(parent) {
#ifdef GEOMUXER_WITH_SYSTEMD
  const char* socket = std::getenv("NOTIFY_SOCKET");
  m_enabled = socket != nullptr && *socket != '\0';
  std::uint64_t usec = 0;
  if (m_enabled && sd_watchdog_enabled(0, &usec) > 0 && usec > 0) m_watchdogInterval = std::chrono::microseconds(usec);
#endif
  if (m_watchdogInterval.count() > 0) {
    m_watchdog = new QTimer(this);
    const auto half = std::chrono::duration_cast<std::chrono::milliseconds>(m_watchdogInterval / 2);
    m_watchdog->setInterval(std::max(half, std::chrono::milliseconds(1)));
    connect(m_watchdog, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
    m_watchdog->start();
  }
}

void ServiceNotifier::ready(const std::string& status) { send("READY=1\nSTATUS=" + oneLine(status)); }

void ServiceNotifier::setStatus(const std::string& status) { send("STATUS=" + oneLine(status)); }

void ServiceNotifier::stopping() { send("STOPPING=1"); }

void ServiceNotifier::send(const std::string& state) {
  if (!m_enabled) return;
#ifdef GEOMUXER_WITH_SYSTEMD
  (void)sd_notify(0, state.c_str());
#else
  (void)state;
#endif
}

}  // namespace geomuxer
