#include "sources/supervision.h"

#include <algorithm>

namespace geomuxer {

RetryBackoff::Duration RetryBackoff::next() {
  const Duration base = m_base;
  m_base = std::min(m_base * 2, kLongest);
  std::uniform_real_distribution<double> spread(1.0 - kJitter, 1.0 + kJitter);
  return Duration(static_cast<Duration::rep>(static_cast<double>(base.count()) * spread(m_random)));
}

bool EventThrottle::admit(TimePoint now) {
  if (!m_lastLine || now - *m_lastLine >= kWindow) {
    m_lastLine = now;
    return true;
  }
  ++m_heldBack;
  return false;
}

std::uint64_t EventThrottle::takeHeldBack(TimePoint now) {
  const std::uint64_t count = m_heldBack;
  m_heldBack = 0;
  if (count > 0) m_lastLine = now;
  return count;
}

}  // namespace geomuxer
