#pragma once
// A Garmin receiver on the far end of a pseudo-terminal: it reads the host's commands from the
// master side, answers the start command (ACK, NAK or nothing, optionally echoing the line first)
// and sends whatever PVT packets the test asks for. Runs in the test's event loop.

#include <QTimer>

#include <cerrno>
#include <string>
#include <string_view>

#include <unistd.h>

#include "sources/decoders/garmin_packet.h"

namespace geomuxer::test {

class SimulatedGarminReceiver {
 public:
  enum class Answer { ack, nak, silent };

  explicit SimulatedGarminReceiver(int masterFd) : m_fd(masterFd) {
    // A timer rather than a socket notifier: while the host has the port closed the master end
    // reports errors, and a notifier would fire without end.
    QObject::connect(&m_poll, &QTimer::timeout, [this] { readHost(); });
    m_poll.start(5);
  }

  void setAnswer(Answer answer) { m_answer = answer; }
  /// A line that echoes: every start command comes back to the host before the answer.
  void setEcho(bool on) { m_echo = on; }

  void sendPvt(const garmin::PvtRecord& record) { send(garmin::encodeSerialPacket(garmin::kIdPvt, garmin::encodePvt(record))); }
  void send(std::string_view bytes) const {
    while (!bytes.empty()) {
      const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  /// The first start commands go unanswered (a receiver still switched off) up to this one.
  int answerFrom = 1;
  int startCommands = 0;
  int stopCommands = 0;
  int pvtAcks = 0;
  int pvtNaks = 0;

 private:
  void readHost() {
    char buffer[256];
    for (;;) {
      const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
      if (n <= 0) break;
      m_received.append(buffer, static_cast<std::size_t>(n));
    }
    // The host only ever sends the four fixed packets; take them off the front one by one.
    for (;;) {
      const std::size_t next = m_received.find(garmin::kDle);
      if (next == std::string::npos) {
        m_received.clear();
        return;
      }
      m_received.erase(0, next);
      if (m_received.size() < 8) return;
      const std::string_view packet = std::string_view(m_received).substr(0, 8);
      if (packet == garmin::kStartPvtPacket) {
        ++startCommands;
        answerStart();
      } else if (packet == garmin::kStopPvtPacket) {
        ++stopCommands;
      } else if (packet == garmin::kAckPvtPacket) {
        ++pvtAcks;
      } else if (packet == garmin::kNakPvtPacket) {
        ++pvtNaks;
      } else {
        m_received.erase(0, 1);
        continue;
      }
      m_received.erase(0, 8);
    }
  }

  void answerStart() {
    if (m_echo) send(garmin::kStartPvtPacket);
    if (startCommands < answerFrom) return;
    const std::string command{static_cast<char>(garmin::kIdCommand), '\0'};
    std::string answer;
    if (m_answer == Answer::ack) answer = garmin::encodeSerialPacket(garmin::kIdAck, command);
    if (m_answer == Answer::nak) answer = garmin::encodeSerialPacket(garmin::kIdNak, command);
    if (answer.empty()) return;
    // After an echo the answer comes a moment later, as on a real line, so the host reads the
    // echo on its own.
    if (m_echo)
      QTimer::singleShot(100, &m_poll, [this, answer] { send(answer); });
    else
      send(answer);
  }

  int m_fd;
  QTimer m_poll;
  std::string m_received;
  Answer m_answer = Answer::ack;
  bool m_echo = false;
};

}  // namespace geomuxer::test
