#include "net/send_batch.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#ifdef GEOMUXER_HAVE_LIBURING
#include <liburing.h>
#endif

namespace geomuxer {
namespace {

ssize_t plainSend(int descriptor, const char* data, std::size_t size) {
  ssize_t sent = 0;
  do {
    sent = ::send(descriptor, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  return sent < 0 ? -errno : sent;
}

// A result not known yet.
constexpr ssize_t kUnknown = std::numeric_limits<ssize_t>::min();

}  // namespace

#ifdef GEOMUXER_HAVE_LIBURING
struct SendBatch::Ring {
  // Sends per submission; larger batches go in several. Each waits for all of its completions,
  // which come at once: MSG_DONTWAIT makes a full socket fail with EAGAIN instead of waiting.
  static constexpr unsigned kEntries = 512;
  io_uring ring{};
  bool ready = false;

  Ring() {
    // The ring is only ever used from one thread and waited on right away: tell the kernel so,
    // and fall back to a plain ring on kernels that do not know these flags.
    io_uring_params params{};
    params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN | IORING_SETUP_SUBMIT_ALL;
    ready = io_uring_queue_init_params(kEntries, &ring, &params) == 0;
    if (!ready) ready = io_uring_queue_init(kEntries, &ring, 0) == 0;
  }
  ~Ring() {
    if (ready) io_uring_queue_exit(&ring);
  }
  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;
};
#else
struct SendBatch::Ring {};
#endif

SendBatch::SendBatch() = default;
SendBatch::~SendBatch() = default;

bool SendBatch::batched() const {
#ifdef GEOMUXER_HAVE_LIBURING
  return m_batched && m_ring && m_ring->ready;
#else
  return false;
#endif
}

bool SendBatch::ringReady() {
#ifdef GEOMUXER_HAVE_LIBURING
  if (!m_batched || m_ringFailed) return false;
  if (!m_ring) {
    m_ring = std::make_unique<Ring>();
    if (!m_ring->ready) {
      m_ring.reset();
      m_ringFailed = true;
      return false;
    }
  }
  return true;
#else
  return false;
#endif
}

void SendBatch::sendPlain(std::span<const int> descriptors, const char* data, std::size_t size,
                          std::span<ssize_t> results) {
  for (std::size_t i = 0; i < descriptors.size(); ++i) results[i] = plainSend(descriptors[i], data, size);
}

void SendBatch::send(std::span<const int> descriptors, const char* data, std::size_t size, std::span<ssize_t> results) {
  // A single send gains nothing from the ring.
  if (descriptors.size() < 2 || !ringReady()) {
    sendPlain(descriptors, data, size, results);
    return;
  }
#ifdef GEOMUXER_HAVE_LIBURING
  io_uring* ring = &m_ring->ring;
  for (std::size_t begin = 0; begin < descriptors.size(); begin += Ring::kEntries) {
    const std::size_t end = std::min(descriptors.size(), begin + Ring::kEntries);
    for (std::size_t i = begin; i < end; ++i) {
      io_uring_sqe* sqe = io_uring_get_sqe(ring);
      io_uring_prep_send(sqe, descriptors[i], data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      io_uring_sqe_set_data64(sqe, i);
    }
    const auto count = static_cast<unsigned>(end - begin);
    for (std::size_t i = begin; i < end; ++i) results[i] = kUnknown;
    int submitted = 0;
    do {
      submitted = io_uring_submit_and_wait(ring, count);
    } while (submitted == -EINTR);
    const unsigned inFlight = submitted > 0 ? static_cast<unsigned>(submitted) : 0;
    bool ringLost = inFlight < count;
    for (unsigned seen = 0; seen < inFlight; ++seen) {
      io_uring_cqe* cqe = nullptr;
      int waited = 0;
      do {
        waited = io_uring_wait_cqe(ring, &cqe);
      } while (waited == -EINTR);
      if (waited != 0) {
        // Nothing more comes from this ring; the sends it has not answered may or may not have
        // gone out, so they count as failed rather than go twice.
        for (std::size_t i = begin; i < end; ++i) {
          if (results[i] == kUnknown) results[i] = -EIO;
        }
        ringLost = true;
        break;
      }
      results[io_uring_cqe_get_data64(cqe)] = cqe->res;
      io_uring_cqe_seen(ring, cqe);
    }
    if (ringLost) {
      // The ring failed as a whole (no socket's error): the sends it did not take, and every
      // later batch, go the plain way. Closing the ring drops what it did not take.
      m_ring.reset();
      m_ringFailed = true;
      for (std::size_t i = begin; i < descriptors.size(); ++i) {
        if (i >= end || results[i] == kUnknown) results[i] = plainSend(descriptors[i], data, size);
      }
      return;
    }
  }
#endif
}

}  // namespace geomuxer
