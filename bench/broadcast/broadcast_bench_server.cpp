// The broadcast as compare-broadcast.py runs it: NMEA from a serial port (a pseudo-terminal) through
// the tracker into the broadcast logger, every position recorded (no filter).
//
//   broadcast_bench_server --device PATH --port P [--pass-through] [--plain-sends]
//
// --pass-through broadcasts the source's own sentences instead of blocks of ours; --plain-sends
// gives each client a send call of its own instead of one batch for all.
//
// On SIGTERM or SIGINT it prints one JSON line with the time each position (or each chunk of
// passed-through sentences) spent in the logger, from its arrival to the return of the last
// client's send (p50/p99/max in microseconds), and ends.

#include <QCoreApplication>
#include <QSocketNotifier>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "loggers/nmea_tcp_logger.h"
#include "sources/trackers/gps_tracker_nmea_com.h"

using namespace geomuxer;
using SteadyClock = std::chrono::steady_clock;

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) { (void)!::write(g_signalPipe[1], "x", 1); }

// Forwards to the broadcast and times each position's way through it.
class TimedLogger : public TrackLogger {
 public:
  explicit TimedLogger(NmeaTcpLogger& inner) : m_inner(inner) { setActive(true); }

  void addPosition(const PositionInfo& position) override {
    const auto begin = SteadyClock::now();
    m_inner.addPosition(position);
    if (!m_inner.passThrough()) record(begin);
  }
  void addSentences(std::string_view lines) override {
    const auto begin = SteadyClock::now();
    m_inner.addSentences(lines);
    if (m_inner.passThrough()) record(begin);
  }
  void start() override { m_inner.start(); }
  void stop() override { m_inner.stop(); }

  void report(bool batched) {
    std::vector<double>& v = m_micros;
    std::sort(v.begin(), v.end());
    auto at = [&](double p) {
      return v.empty() ? 0.0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5))];
    };
    std::printf("{\"positions\": %zu, \"fanout_p50_us\": %.1f, \"fanout_p99_us\": %.1f, \"fanout_max_us\": %.1f, "
                "\"batched\": %s}\n",
                v.size(), at(50), at(99), at(100), batched ? "true" : "false");
    std::fflush(stdout);
  }

 private:
  void record(SteadyClock::time_point begin) {
    m_micros.push_back(std::chrono::duration<double, std::micro>(SteadyClock::now() - begin).count());
  }

  NmeaTcpLogger& m_inner;
  std::vector<double> m_micros;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::string device;
  int port = 0;
  bool passThrough = false;
  bool plainSends = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pass-through") == 0) passThrough = true;
    if (std::strcmp(argv[i], "--plain-sends") == 0) plainSends = true;
    if (i + 1 == argc) break;
    if (std::strcmp(argv[i], "--device") == 0) device = argv[i + 1];
    if (std::strcmp(argv[i], "--port") == 0) port = std::atoi(argv[i + 1]);
  }
  if (device.empty() || port <= 0) {
    std::fprintf(stderr, "usage: %s --device PATH --port P\n", argv[0]);
    return 2;
  }
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);

  if (::pipe(g_signalPipe) != 0) return 1;
  std::signal(SIGTERM, onSignal);
  std::signal(SIGINT, onSignal);

  NmeaTcpLogger broadcast;
  broadcast.setListenAddress(QHostAddress::LocalHost);
  broadcast.setPort(static_cast<quint16>(port));
  broadcast.setMaxClients(100000);
  broadcast.setPassThrough(passThrough);
  broadcast.setActive(true);
  broadcast.start();
  if (broadcast.server() != nullptr) broadcast.server()->setBatchedSends(!plainSends);
  QObject::connect(&broadcast, &NmeaTcpLogger::errorOccurred,
                   [](const QString& message) { std::fprintf(stderr, "TCP/IP ERROR: %s\n", qPrintable(message)); });
  TimedLogger timed(broadcast);

  GpsTrackerNmeaCom tracker;
  tracker.setPort(device);
  tracker.setBaudRate(115200);
  tracker.setLogger(&timed);
  tracker.start();

  QSocketNotifier stop(g_signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&stop, &QSocketNotifier::activated, [&] {
    timed.report(broadcast.server() != nullptr && broadcast.server()->batchedSends());
    QCoreApplication::quit();
  });
  return QCoreApplication::exec();
}
