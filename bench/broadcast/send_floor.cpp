// The least CPU any broadcaster can spend on this machine: N connected loopback pairs, a block sent
// to each of them ten times a second with nothing else done (no framing, no queue, no event loop),
// the readers drained by a second thread. Prints the sending thread's CPU per send and what that
// costs at ten blocks a second, the budget the broadcast's CPU targets are measured against.
//
//   send_floor [clients=1000] [rounds=50] [bytes=296]

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

double threadCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  const int clients = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 50;
  const int bytes = argc > 3 ? std::atoi(argv[3]) : 296;
  const rlimit files{65536, 65536};
  (void)::setrlimit(RLIMIT_NOFILE, &files);

  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 4096) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("listen");
    return 1;
  }
  std::vector<int> senders;
  std::vector<int> readers;
  for (int i = 0; i < clients; ++i) {
    const int reader = ::socket(AF_INET, SOCK_STREAM, 0);
    if (reader < 0 || ::connect(reader, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      std::perror("connect");
      return 1;
    }
    const int sender = ::accept(listener, nullptr, nullptr);
    const int one = 1;
    (void)::setsockopt(sender, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    (void)::fcntl(reader, F_SETFL, O_NONBLOCK);
    readers.push_back(reader);
    senders.push_back(sender);
  }

  std::atomic<bool> done{false};
  std::thread drain([&] {
    const int poll = ::epoll_create1(0);
    for (const int fd : readers) {
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.fd = fd;
      (void)::epoll_ctl(poll, EPOLL_CTL_ADD, fd, &event);
    }
    std::vector<epoll_event> events(512);
    std::vector<char> buffer(65536);
    while (!done) {
      const int ready = ::epoll_wait(poll, events.data(), static_cast<int>(events.size()), 100);
      for (int i = 0; i < ready; ++i)
        while (::read(events[static_cast<std::size_t>(i)].data.fd, buffer.data(), buffer.size()) > 0) {
        }
    }
    ::close(poll);
  });

  const std::string block(static_cast<std::size_t>(bytes), '$');
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double before = threadCpuSeconds();
  long sends = 0;
  for (int round = 0; round < rounds; ++round) {
    for (const int fd : senders)
      if (::send(fd, block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0) ++sends;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const double cpu = threadCpuSeconds() - before;
  done = true;
  drain.join();
  const double perSend = sends > 0 ? cpu / static_cast<double>(sends) : 0.0;
  std::printf("send floor: %d clients, %ld sends of %d bytes: %.2f us of the sender's CPU per send, "
              "%.2f %% of a core at 10 blocks/s, %.2f ms for one block to all clients\n",
              clients, sends, bytes, perSend * 1e6, perSend * clients * 10 * 100, perSend * clients * 1e3);
  return 0;
}
