#include "app/signal_watcher.h"

#include <QSocketNotifier>

#include <csignal>
#include <stdexcept>

#include <sys/socket.h>
#include <unistd.h>

namespace geomuxer {

namespace {

// A signal handler may only write to a descriptor; the read end wakes the event loop. These are
// the only process-wide variables of the program, and signal handlers leave no other choice.
int g_signalFds[2] = {-1, -1};

extern "C" void onTerminationSignal(int number) {
  const unsigned char byte = static_cast<unsigned char>(number);
  [[maybe_unused]] const ssize_t written = ::write(g_signalFds[0], &byte, 1);
}

void setHandler(int number, void (*handler)(int)) {
  struct sigaction action{};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(number, &action, nullptr);
}

}  // namespace

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent) {
  if (g_signalFds[0] >= 0) throw std::logic_error("only one SignalWatcher may exist");
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalFds) != 0)
    throw std::runtime_error("cannot create the signal socket pair");
  m_notifier = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, this);
  connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::readSignal);
  setHandler(SIGINT, onTerminationSignal);
  setHandler(SIGTERM, onTerminationSignal);
}

SignalWatcher::~SignalWatcher() {
  setHandler(SIGINT, SIG_DFL);
  setHandler(SIGTERM, SIG_DFL);
  delete m_notifier;
  ::close(g_signalFds[0]);
  ::close(g_signalFds[1]);
  g_signalFds[0] = g_signalFds[1] = -1;
}

void SignalWatcher::readSignal() {
  unsigned char byte = 0;
  if (::read(g_signalFds[1], &byte, 1) == 1) emit terminationRequested(byte);
}

}  // namespace geomuxer
