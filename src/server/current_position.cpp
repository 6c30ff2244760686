#include "server/current_position.h"

namespace geomuxer {

void CurrentPosition::publish(const PositionInfo& position) {
  std::lock_guard lock(m_mutex);
  m_snapshot.position = position;
}

void CurrentPosition::setDisplayFormat(const DisplayFormat& format) {
  std::lock_guard lock(m_mutex);
  m_snapshot.format = format;
}

PositionSnapshot CurrentPosition::snapshot() const {
  std::lock_guard lock(m_mutex);
  return m_snapshot;
}

}  // namespace geomuxer
