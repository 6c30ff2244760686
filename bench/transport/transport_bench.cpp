// Timing of the live path, run by hand on a release build (see bench/README.md):
//
//   transport_bench latency [samples]        byte written to a pseudo-terminal -> NMEA block at a
//                                            broadcast client (p50/p99)
//   transport_bench fanout [seconds]         10 positions/s to 1, 100 and 500 loopback clients
//                                            (p99 latency, CPU of the main thread and the process)
//   transport_bench idle [seconds]           serial (NMEA, Garmin without answer, device gone),
//                                            TCP and file sources open with no data: wake-ups
//                                            and CPU ticks of the main thread
//
// Everything we measure runs on the main thread; the peers (writer, readers) run on their own
// threads with plain blocking system calls so that they do not disturb the event loop.

#include <QCoreApplication>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/nmea.h"
#include "loggers/nmea_tcp_logger.h"
#include "sources/trackers/gps_tracker_garmin_com.h"
#include "sources/trackers/gps_tracker_nmea_com.h"
#include "sources/trackers/gps_tracker_nmea_file.h"
#include "sources/trackers/gps_tracker_nmea_tcpip.h"

using namespace geomuxer;
using SteadyClock = std::chrono::steady_clock;

namespace {

double micros(SteadyClock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// Runs the event loop for `ms` milliseconds.
void runFor(int ms) {
  QTimer::singleShot(ms, QCoreApplication::instance(), &QCoreApplication::quit);
  QCoreApplication::exec();
}

// Runs the event loop until `done` holds (checked every 10 ms) or `ms` have passed.
template <typename Done>
bool runUntil(Done done, int ms) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(ms);
  while (!done() && SteadyClock::now() < deadline) runFor(10);
  return done();
}

int connectLoopback(quint16 port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Sequence number carried in a sentence's time field (hhmmss) of the first line of a block.
int sequenceOf(const std::string& block) {
  const auto comma = block.find(',');
  if (comma == std::string::npos || block.size() < comma + 7) return -1;
  const std::string t = block.substr(comma + 1, 6);
  return std::stoi(t.substr(0, 2)) * 3600 + std::stoi(t.substr(2, 2)) * 60 + std::stoi(t.substr(4, 2));
}

std::string timeField(int sequence) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d%02d%02d", sequence / 3600 % 24, sequence / 60 % 60, sequence % 60);
  return text;
}

double threadCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double processCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long threadVoluntarySwitches() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nvcsw + usage.ru_nivcsw;
}

// ---------------------------------------------------------------------------------------------

int benchLatency(int samples) {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return std::perror("openpty"), 1;
  ::close(slave);

  NmeaTcpLogger logger;
  logger.setListenAddress(QHostAddress::LocalHost);
  logger.setActive(true);
  logger.start();
  GpsTrackerNmeaCom tracker;
  tracker.setPort(name);
  tracker.setLogger(&logger);
  tracker.start();

  const int client = connectLoopback(logger.listeningPort());
  if (client < 0 || !runUntil([&] { return logger.server()->clients().size() == 1; }, 2000)) {
    std::fprintf(stderr, "client did not connect\n");
    return 1;
  }

  std::vector<SteadyClock::time_point> written(static_cast<std::size_t>(samples));
  std::vector<SteadyClock::time_point> received(static_cast<std::size_t>(samples));
  std::atomic<int> got{0};
  std::thread reader([&] {
    std::string pending;
    char buffer[4096];
    while (got.load() < samples) {
      pollfd p{client, POLLIN, 0};
      if (::poll(&p, 1, 2000) <= 0) break;
      const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      const auto now = SteadyClock::now();
      pending.append(buffer, static_cast<std::size_t>(n));
      // A block is three lines; its first line names the sample.
      std::size_t gll;
      while ((gll = pending.find("$GPGLL")) != std::string::npos) {
        const std::size_t end = pending.find("\r\n", gll);
        if (end == std::string::npos) break;
        const int sequence = sequenceOf(pending);
        if (sequence >= 0 && sequence < samples) received[static_cast<std::size_t>(sequence)] = now;
        pending.erase(0, end + 2);
        got.fetch_add(1);
      }
    }
  });
  std::thread writer([&] {
    for (int i = 0; i < samples; ++i) {
      const std::string body = "GPRMC," + timeField(i) + ",A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W";
      const std::string line = nmeaFrame(body) + "\r\n";
      written[static_cast<std::size_t>(i)] = SteadyClock::now();
      if (::write(master, line.data(), line.size()) != static_cast<ssize_t>(line.size())) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  runUntil([&] { return got.load() >= samples; }, samples * 50 + 5000);
  writer.join();
  ::shutdown(client, SHUT_RDWR);
  reader.join();

  std::vector<double> latencies;
  for (int i = 0; i < samples; ++i) {
    const auto k = static_cast<std::size_t>(i);
    if (received[k] > written[k]) latencies.push_back(micros(received[k] - written[k]));
  }
  std::printf("latency pty -> broadcast client: %zu of %d samples, p50 %.0f us, p99 %.0f us, max %.0f us\n",
              latencies.size(), samples, percentile(latencies, 50), percentile(latencies, 99),
              percentile(latencies, 100));
  ::close(client);
  ::close(master);
  return 0;
}

// ---------------------------------------------------------------------------------------------

int benchFanout(int seconds) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);

  for (const int count : {1, 100, 500}) {
    NmeaTcpLogger logger;
    logger.setListenAddress(QHostAddress::LocalHost);
    logger.setActive(true);
    logger.start();

    std::vector<int> clients;
    for (int i = 0; i < count; ++i) {
      const int fd = connectLoopback(logger.listeningPort());
      if (fd < 0) return std::perror("connect"), 1;
      clients.push_back(fd);
      if (i % 40 == 39) runUntil([&] { return logger.server()->clients().size() == clients.size(); }, 2000);
    }
    if (!runUntil([&] { return logger.server()->clients().size() == static_cast<std::size_t>(count); }, 5000)) {
      std::fprintf(stderr, "only %zu of %d clients connected\n", logger.server()->clients().size(), count);
      return 1;
    }

    const int positions = seconds * 10;
    std::vector<SteadyClock::time_point> sent(static_cast<std::size_t>(positions));
    std::mutex latencyLock;
    std::vector<double> latencies;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
      const int epoll = ::epoll_create1(0);
      std::vector<std::string> pending(clients.size());
      for (std::size_t i = 0; i < clients.size(); ++i) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, clients[i], &event);
      }
      std::vector<epoll_event> events(64);
      char buffer[8192];
      std::vector<double> local;
      while (!stop.load()) {
        const int n = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 100);
        const auto now = SteadyClock::now();
        for (int e = 0; e < n; ++e) {
          const auto index = static_cast<std::size_t>(events[static_cast<std::size_t>(e)].data.u64);
          const ssize_t got = ::recv(clients[index], buffer, sizeof buffer, 0);
          if (got <= 0) continue;
          std::string& text = pending[index];
          text.append(buffer, static_cast<std::size_t>(got));
          std::size_t gll;
          while ((gll = text.find("$GPGLL")) != std::string::npos) {
            const std::size_t end = text.find("\r\n", gll);
            if (end == std::string::npos) break;
            const int sequence = sequenceOf(text);
            if (sequence >= 0 && sequence < positions)
              local.push_back(micros(now - sent[static_cast<std::size_t>(sequence)]));
            text.erase(0, end + 2);
          }
        }
      }
      ::close(epoll);
      std::lock_guard lock(latencyLock);
      latencies = std::move(local);
    });

    int sequence = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    PositionInfo p;
    p.y = 47.5f;
    p.x = 8.25f;
    p.fix = fix3D;
    p.fields = {defTime, defXY, defFix};
    QObject::connect(&ticker, &QTimer::timeout, [&] {
      if (sequence >= positions) return;
      p.time = 39585.0 + sequence / 86400.0 + 0.1 / 86400.0;
      sent[static_cast<std::size_t>(sequence)] = SteadyClock::now();
      logger.addPosition(p);
      ++sequence;
    });
    const double cpuBefore = threadCpuSeconds();
    const double processBefore = processCpuSeconds();
    const auto wallBefore = SteadyClock::now();
    ticker.start(100);
    runUntil([&] { return sequence >= positions; }, seconds * 1000 + 2000);
    ticker.stop();
    runFor(200);  // let the last block arrive
    const double wall = std::chrono::duration<double>(SteadyClock::now() - wallBefore).count();
    const double cpu = threadCpuSeconds() - cpuBefore;
    const double process = processCpuSeconds() - processBefore;
    stop.store(true);
    reader.join();
    std::printf("fan-out %3d clients, 10 positions/s for %d s: %zu blocks received of %d, p50 %.0f us, "
                "p99 %.0f us; main thread CPU %.2f %%, process CPU %.2f %% (includes the readers)\n",
                count, seconds, latencies.size(), positions * count, percentile(latencies, 50),
                percentile(latencies, 99), 100.0 * cpu / wall, 100.0 * process / wall);
    for (const int fd : clients) ::close(fd);
    runFor(100);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------

void measureIdle(const char* what, int seconds) {
  runFor(300);  // settle
  const long switchesBefore = threadVoluntarySwitches();
  const double cpuBefore = threadCpuSeconds();
  runFor(seconds * 1000);
  const long switches = threadVoluntarySwitches() - switchesBefore;
  const double cpu = threadCpuSeconds() - cpuBefore;
  std::printf("idle %-28s %2d s: %.1f wake-ups/s (context switches of the main thread), CPU %.3f s = %ld ticks\n",
              what, seconds, static_cast<double>(switches) / seconds, cpu,
              static_cast<long>(cpu * static_cast<double>(::sysconf(_SC_CLK_TCK)) + 0.5));
}

int benchIdle(int seconds) {
  NmeaTcpLogger logger;  // listening, as in the program
  logger.setListenAddress(QHostAddress::LocalHost);
  logger.setActive(true);
  logger.start();

  {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return std::perror("openpty"), 1;
    ::close(slave);
    GpsTrackerNmeaCom tracker;
    tracker.setPort(name);
    tracker.setLogger(&logger);
    tracker.start();
    measureIdle("serial source (pty)", seconds);
    tracker.stop();
    ::close(master);
  }
  {
    // A Garmin receiver that does not answer: idle polls and the start command every 3 s.
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return std::perror("openpty"), 1;
    ::close(slave);
    GpsTrackerGarminCom tracker;
    tracker.setPort(name);
    tracker.setLogger(&logger);
    tracker.start();
    measureIdle("Garmin serial, no answer", seconds);
    tracker.stop();
    ::close(master);
  }
  {
    // An unplugged adapter: its by-id link dangles until the device is back; the source waits,
    // watching the link and trying again as its backoff says.
    QTemporaryDir dir;
    const std::string link = dir.filePath("usb-receiver-port0").toStdString();
    if (::symlink(dir.filePath("gone").toStdString().c_str(), link.c_str()) != 0) return std::perror("symlink"), 1;
    GpsTrackerNmeaCom tracker;
    tracker.setPort(link);
    tracker.setLogger(&logger);
    tracker.start();
    measureIdle("serial device gone (waiting)", seconds);
    tracker.stop();
  }
  {
    // The feeding server is down: connects are refused and made again after each wait.
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    const quint16 port = server.serverPort();
    server.close();
    GpsTrackerNmeaTcpip tracker;
    tracker.setPort(port);
    tracker.setLogger(&logger);
    tracker.start();
    measureIdle("TCP server down (reconnecting)", seconds);
    tracker.stop();
  }
  {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    GpsTrackerNmeaTcpip tracker;
    tracker.setPort(server.serverPort());
    tracker.setLogger(&logger);
    tracker.start();
    runUntil([&] { return server.hasPendingConnections(); }, 2000);
    measureIdle("TCP source (connected)", seconds);
    tracker.stop();
  }
  {
    QTemporaryDir dir;
    const QString path = dir.filePath("idle.nmea");
    std::ofstream(path.toStdString()) << "$GPGLL,4916.45,N,12311.12,W,225444,A*31\r\n";
    GpsTrackerNmeaFile tracker;
    tracker.setFilename(path.toStdString());
    tracker.setLogger(&logger);
    tracker.start();
    measureIdle("file follower", seconds);
    tracker.stop();
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const std::string mode = argc > 1 ? argv[1] : "";
  const int amount = argc > 2 ? std::atoi(argv[2]) : 0;
  if (mode == "latency") return benchLatency(amount > 0 ? amount : 200);
  if (mode == "fanout") return benchFanout(amount > 0 ? amount : 10);
  if (mode == "idle") return benchIdle(amount > 0 ? amount : 20);
  std::fprintf(stderr, "usage: %s latency [samples] | fanout [seconds] | idle [seconds per source]\n", argv[0]);
  return 2;
}
