#pragma once
// Sends one buffer to many sockets at once. Where the system offers io_uring, the sends of a whole
// batch go to the kernel in one call instead of one call each; elsewhere (or when the ring cannot
// be set up, as under a sandbox that forbids it) each socket gets a plain non-blocking send.

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <span>

namespace geomuxer {

class SendBatch {
 public:
  SendBatch();
  ~SendBatch();
  SendBatch(const SendBatch&) = delete;
  SendBatch& operator=(const SendBatch&) = delete;

  /// Off: every send is a plain one, as where io_uring is missing. On by default.
  void setBatched(bool on) { m_batched = on; }
  /// Whether sends currently go through io_uring (set up at the first batch that wants it).
  [[nodiscard]] bool batched() const;

  /// Sends `size` bytes at `data` to each descriptor without waiting; `results[i]` becomes the
  /// number of bytes the system took for `descriptors[i]` or minus the errno of its failure
  /// (EAGAIN when its buffer is full). Signals for a closed peer are suppressed. The thread that
  /// first sends owns the ring; call it from that thread only.
  void send(std::span<const int> descriptors, const char* data, std::size_t size, std::span<ssize_t> results);

 private:
  struct Ring;
  void sendPlain(std::span<const int> descriptors, const char* data, std::size_t size, std::span<ssize_t> results);
  [[nodiscard]] bool ringReady();

  std::unique_ptr<Ring> m_ring;
  bool m_batched = true;
  bool m_ringFailed = false;  // the system refused a ring: plain sends for good
};

}  // namespace geomuxer
