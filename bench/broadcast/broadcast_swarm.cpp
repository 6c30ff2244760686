// A client swarm for NMEA broadcasters, run by compare-broadcast.py (see bench/README.md).
//
//   broadcast_swarm --port P --clients N --feed-fd FD --server-pid PID [--seconds S] [--watch]
//
// One process, one thread per role: the feeder writes a block of NMEA sentences to FD (the master
// side of the pseudo-terminal the server reads) ten times a second; the reader holds N loopback
// connections to the server in one epoll set and times every RMC sentence from the feeder's write
// to its own read. The server's CPU time is read from /proc over the feeding window. With --watch
// each client first asks for the raw NMEA stream the way gpsd's clients do.
//
// Prints one JSON line: clients, served (got at least one block), refused (closed by the server
// before the end), blocks fed, deliveries and missing ones, out-of-order blocks, bytes, server CPU
// (% of one core, microseconds per block fed, and the kernel's share of it), server RSS, p50/p99/max
// latency in ms.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRate = 10;             // blocks per second
constexpr double kBaseSeconds = 36000.0;  // 10:00:00.00, the first block's time of day

struct Options {
  int port = 0;
  int clients = 1;
  int seconds = 10;
  int feedFd = -1;
  int serverPid = 0;
  bool watch = false;
};

struct Client {
  int fd = -1;
  bool connected = false;
  bool closed = false;
  long blocks = 0;
  long lastSequence = -1;
  long outOfOrder = 0;
  long long bytes = 0;
  std::string line;  // a sentence still arriving
};

std::string checksummed(const std::string& body) {
  unsigned sum = 0;
  for (const char c : body) sum ^= static_cast<unsigned char>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  return "$" + body + tail;
}

// Block `sequence`: RMC and GGA whose time of day names the sequence (hundredths of a second).
std::string feedBlock(long sequence) {
  const double t = kBaseSeconds + static_cast<double>(sequence) / kRate;
  const long centis = std::lround(t * 100.0);
  char time[16];
  std::snprintf(time, sizeof time, "%02ld%02ld%02ld.%02ld", centis / 360000 % 24, centis / 6000 % 60,
                centis / 100 % 60, centis % 100);
  char minutes[16];
  std::snprintf(minutes, sizeof minutes, "%07.4f", 30.0 + 0.0001 * static_cast<double>(sequence % 1000));
  const std::string lat = std::string("47") + minutes;
  return checksummed("GPRMC," + std::string(time) + ",A," + lat + ",N,00815.0000,E,10.0,90.0,091226,,,A") +
         checksummed("GPGGA," + std::string(time) + "," + lat + ",N,00815.0000,E,1,08,0.9,512.0,M,47.0,M,,");
}

// The sequence a sentence's time field names, or -1.
long sequenceOf(std::string_view sentence) {
  const auto comma = sentence.find(',');
  if (comma == std::string_view::npos || sentence.size() < comma + 7) return -1;
  const std::string_view field = sentence.substr(comma + 1);
  auto digits = [&](std::size_t at) { return (field[at] - '0') * 10 + (field[at + 1] - '0'); };
  for (std::size_t i = 0; i < 6; ++i) {
    if (field[i] < '0' || field[i] > '9') return -1;
  }
  double seconds = digits(0) * 3600.0 + digits(2) * 60.0 + digits(4);
  if (field.size() > 6 && field[6] == '.') {
    double scale = 0.1;
    for (std::size_t i = 7; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i, scale /= 10) {
      seconds += (field[i] - '0') * scale;
    }
  }
  return std::lround((seconds - kBaseSeconds) * kRate);
}

// CPU time of a process in seconds: the scheduler's nanoseconds summed over its threads, or user +
// system ticks from /proc/PID/stat where the scheduler keeps no such count.
double processCpu(int pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  double nanos = 0;
  if (DIR* tasks = ::opendir((base + "/task").c_str())) {
    while (const dirent* entry = ::readdir(tasks)) {
      if (entry->d_name[0] == '.') continue;
      std::ifstream file(base + "/task/" + entry->d_name + "/schedstat");
      double run = 0;
      if (file >> run) nanos += run;
    }
    ::closedir(tasks);
  }
  if (nanos > 0) return nanos / 1e9;
  std::ifstream file(base + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const auto paren = text.rfind(')');
  if (paren == std::string::npos) return 0.0;
  std::istringstream fields(text.substr(paren + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// User and system ticks of a process from /proc/PID/stat, for the share of its CPU time the
// kernel spends on its behalf (coarse: the ticks are tens of milliseconds).
std::pair<double, double> userSystemTicks(int pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const auto paren = text.rfind(')');
  if (paren == std::string::npos) return {0.0, 0.0};
  std::istringstream fields(text.substr(paren + 2));
  std::string field;
  std::pair<double, double> ticks{0.0, 0.0};
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) ticks.first = std::stod(field);
    if (i == 15) ticks.second = std::stod(field);
  }
  return ticks;
}

long residentKiB(int pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

double percentile(std::vector<float>& values, double p) {
  if (values.empty()) return 0.0;
  const auto index = static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
  std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
  return values[index];
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&] { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
    if (arg == "--port") options.port = next();
    else if (arg == "--clients") options.clients = next();
    else if (arg == "--seconds") options.seconds = next();
    else if (arg == "--feed-fd") options.feedFd = next();
    else if (arg == "--server-pid") options.serverPid = next();
    else if (arg == "--watch") options.watch = true;
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  if (options.port <= 0 || options.clients <= 0 || options.feedFd < 0 || options.serverPid <= 0) {
    std::fprintf(stderr, "usage: %s --port P --clients N --feed-fd FD --server-pid PID [--seconds S] [--watch]\n",
                 argv[0]);
    return 2;
  }
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < static_cast<rlim_t>(options.clients) + 32) {
    std::printf("{\"clients\": %d, \"skipped\": \"descriptor limit %llu\"}\n", options.clients,
                static_cast<unsigned long long>(limit.rlim_cur));
    return 0;
  }

  const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<Client> clients(static_cast<std::size_t>(options.clients));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(options.port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string watch = "?WATCH={\"enable\":true,\"raw\":1,\"nmea\":true}\n";

  std::vector<epoll_event> events(1024);
  std::vector<char> buffer(64 * 1024);
  const int perSecond = kRate;
  const long totalBlocks = static_cast<long>(options.seconds) * perSecond;
  std::vector<Clock::time_point> written(static_cast<std::size_t>(totalBlocks));
  std::vector<std::atomic<bool>> writtenSet(static_cast<std::size_t>(totalBlocks));
  std::vector<float> latencies;
  latencies.reserve(static_cast<std::size_t>(totalBlocks) * clients.size());
  bool measuring = false;

  auto readClient = [&](std::size_t index, Clock::time_point now) {
    Client& client = clients[index];
    for (;;) {
      const ssize_t got = ::recv(client.fd, buffer.data(), buffer.size(), 0);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        client.closed = true;
        ::epoll_ctl(epoll, EPOLL_CTL_DEL, client.fd, nullptr);
        return;
      }
      if (got < 0) return;
      client.bytes += got;
      const std::string_view chunk(buffer.data(), static_cast<std::size_t>(got));
      std::size_t start = 0;
      while (start < chunk.size()) {
        const std::size_t end = chunk.find('\n', start);
        std::string_view piece = chunk.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        start = end == std::string_view::npos ? chunk.size() : end + 1;
        if (end == std::string_view::npos) {
          client.line.append(piece);
          break;
        }
        std::string_view sentence = piece;
        if (!client.line.empty()) {
          client.line.append(piece);
          sentence = client.line;
        }
        if (sentence.size() > 6 && sentence[0] == '$' && sentence.substr(3, 4) == "RMC,") {
          const long sequence = sequenceOf(sentence);
          if (sequence >= 0 && sequence < totalBlocks && writtenSet[static_cast<std::size_t>(sequence)].load()) {
            ++client.blocks;
            if (sequence <= client.lastSequence) ++client.outOfOrder;
            client.lastSequence = sequence;
            if (measuring) {
              latencies.push_back(std::chrono::duration<float, std::milli>(
                                      now - written[static_cast<std::size_t>(sequence)]).count());
            }
          }
        }
        client.line.clear();
      }
      if (static_cast<std::size_t>(got) < buffer.size()) return;
    }
  };

  auto pump = [&](int timeoutMs) {
    const int n = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), timeoutMs);
    const auto now = Clock::now();
    for (int e = 0; e < n; ++e) {
      const epoll_event& event = events[static_cast<std::size_t>(e)];
      const auto index = static_cast<std::size_t>(event.data.u64);
      Client& client = clients[index];
      if (!client.connected && (event.events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
          client.closed = true;
          ::epoll_ctl(epoll, EPOLL_CTL_DEL, client.fd, nullptr);
          continue;
        }
        client.connected = true;
        epoll_event in{};
        in.events = EPOLLIN;
        in.data.u64 = index;
        ::epoll_ctl(epoll, EPOLL_CTL_MOD, client.fd, &in);
        if (options.watch) (void)!::send(client.fd, watch.data(), watch.size(), MSG_NOSIGNAL);
        continue;
      }
      if ((event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) readClient(index, now);
    }
  };

  // Connect in waves, a bounded number in flight, so that the server's accept queue never overflows.
  constexpr std::size_t kInFlight = 256;
  std::size_t started = 0;
  const auto connectDeadline = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < connectDeadline) {
    std::size_t pending = 0;
    for (std::size_t i = 0; i < started; ++i) pending += clients[i].connected || clients[i].closed ? 0 : 1;
    while (started < clients.size() && pending < kInFlight) {
      Client& client = clients[started];
      client.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      epoll_event out{};
      out.events = EPOLLOUT;
      out.data.u64 = started;
      ::epoll_ctl(epoll, EPOLL_CTL_ADD, client.fd, &out);
      if (::connect(client.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
          errno != EINPROGRESS) {
        client.closed = true;
        ::epoll_ctl(epoll, EPOLL_CTL_DEL, client.fd, nullptr);
      }
      ++started;
      ++pending;
    }
    if (started == clients.size() && pending == 0) break;
    pump(20);
  }
  // Let the server take the last of them (and gpsd answer the watch requests).
  const auto settle = Clock::now() + std::chrono::milliseconds(1000 + options.clients / 5);
  while (Clock::now() < settle) pump(20);

  // Feed: one block every 100 ms on the feeder's own thread; the first second is warm-up.
  std::atomic<bool> feeding{true};
  const long warmup = perSecond;
  const long measured = totalBlocks - warmup;
  double cpuBefore = 0;
  double cpuAfter = 0;
  std::pair<double, double> ticksBefore;
  std::pair<double, double> ticksAfter;
  Clock::time_point windowStart;
  Clock::time_point windowEnd;
  std::thread feeder([&] {
    const auto begin = Clock::now();
    for (long sequence = 0; sequence < totalBlocks; ++sequence) {
      std::this_thread::sleep_until(begin + std::chrono::milliseconds(1000 / perSecond) * sequence);
      if (sequence == warmup) {
        cpuBefore = processCpu(options.serverPid);
        ticksBefore = userSystemTicks(options.serverPid);
        windowStart = Clock::now();
      }
      const std::string block = feedBlock(sequence);
      written[static_cast<std::size_t>(sequence)] = Clock::now();
      writtenSet[static_cast<std::size_t>(sequence)].store(true);
      if (::write(options.feedFd, block.data(), block.size()) < 0) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000 / perSecond));
    cpuAfter = processCpu(options.serverPid);
    ticksAfter = userSystemTicks(options.serverPid);
    windowEnd = Clock::now();
    feeding.store(false);
  });
  while (feeding.load()) {
    measuring = writtenSet[static_cast<std::size_t>(warmup)].load();
    pump(5);
  }
  feeder.join();
  // Late deliveries still count for order and completeness.
  const auto drain = Clock::now() + std::chrono::milliseconds(500);
  while (Clock::now() < drain) pump(10);
  const long rss = residentKiB(options.serverPid);

  long served = 0;
  long refused = 0;
  long connected = 0;
  long deliveries = 0;
  long outOfOrder = 0;
  long long bytes = 0;
  for (const Client& client : clients) {
    connected += client.connected ? 1 : 0;
    served += client.blocks > 0 ? 1 : 0;
    refused += client.closed ? 1 : 0;
    deliveries += client.blocks;
    outOfOrder += client.outOfOrder;
    bytes += client.bytes;
  }
  const double wall = std::chrono::duration<double>(windowEnd - windowStart).count();
  const double cpu = cpuAfter - cpuBefore;
  const double userTicks = ticksAfter.first - ticksBefore.first;
  const double systemTicks = ticksAfter.second - ticksBefore.second;
  const double kernelShare = userTicks + systemTicks > 0 ? 100.0 * systemTicks / (userTicks + systemTicks) : 0.0;
  std::printf(
      "{\"clients\": %d, \"connected\": %ld, \"served\": %ld, \"refused\": %ld, \"blocks\": %ld, "
      "\"deliveries\": %ld, \"missing\": %ld, \"out_of_order\": %ld, \"bytes\": %lld, \"cpu_percent\": %.2f, "
      "\"cpu_us_per_block\": %.1f, \"kernel_share\": %.0f, \"rss_kib\": %ld, \"p50_ms\": %.3f, \"p99_ms\": %.3f, \"max_ms\": %.3f}\n",
      options.clients, connected, served, refused, totalBlocks, deliveries, served * totalBlocks - deliveries,
      outOfOrder, bytes, wall > 0 ? 100.0 * cpu / wall : 0.0, measured > 0 ? 1e6 * cpu / static_cast<double>(measured) : 0.0,
      kernelShare, rss, percentile(latencies, 50), percentile(latencies, 99), percentile(latencies, 100));
  for (const Client& client : clients) {
    if (client.fd >= 0) ::close(client.fd);
  }
  ::close(epoll);
  return 0;
}
