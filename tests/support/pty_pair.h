#pragma once
// A pseudo-terminal pair standing in for a serial cable: the test writes to the master end and
// the source opens the slave end by name like any serial port.

#include <QCoreApplication>
#include <QThread>

#include <cerrno>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <string_view>

namespace geomuxer::test {

class PtyPair {
 public:
  PtyPair() {
    char name[256] = {};
    int slave = -1;
    if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0) return;
    m_slaveName = name;
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // The source opens the slave by name; keeping our own descriptor would hide its hang-up.
    ::close(slave);
  }
  ~PtyPair() { closeMaster(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  [[nodiscard]] bool ok() const { return m_master >= 0 && !m_slaveName.empty(); }
  [[nodiscard]] const std::string& slaveName() const { return m_slaveName; }
  [[nodiscard]] int master() const { return m_master; }

  /// Writes everything. A pty takes a few KiB at a time, and the reader runs in this thread's
  /// event loop, so the loop runs while the line is full.
  bool write(std::string_view bytes) const {
    int stalls = 0;
    while (!bytes.empty()) {
      const ssize_t n = ::write(m_master, bytes.data(), bytes.size());
      if (n > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
        stalls = 0;
        continue;
      }
      if (n < 0 && errno != EAGAIN) return false;
      if (++stalls > 5000) return false;  // about five seconds without progress
      QCoreApplication::processEvents();
      QThread::usleep(1000);
    }
    return true;
  }

  /// The line settings as the slave end has them now.
  [[nodiscard]] termios settings() const {
    termios t{};
    ::tcgetattr(m_master, &t);
    return t;
  }

  /// Hangs up the cable: the slave end then fails reads, like an unplugged USB adapter.
  void closeMaster() {
    if (m_master >= 0) ::close(m_master);
    m_master = -1;
  }

 private:
  int m_master = -1;
  std::string m_slaveName;
};

}  // namespace geomuxer::test
