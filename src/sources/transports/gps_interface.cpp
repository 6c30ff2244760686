#include "sources/transports/gps_interface.h"

#include "net/event_loop_clock.h"

namespace geomuxer {

GpsInterface::GpsInterface(std::unique_ptr<GpsProtocol> protocol, QObject* parent)
    : QObject(parent), m_protocol(std::move(protocol)) {
  GpsInterface::setClock(eventLoopClock());
}

GpsInterface::~GpsInterface() = default;

void GpsInterface::setClock(Scheduler& clock) {
  m_clock = &clock;
  // One timer for the life of the interface: every chunk only moves its deadline.
  m_quiet = clock.makeRestartable([this] {
    guarded([this] {
      if (isActive() && m_protocol) m_protocol->flush(*this);
    });
  });
}

void GpsInterface::doPosition(const PositionInfo& position) {
  m_lastPosition = position;
  emit positionReceived(position);
}

ProcessStatus GpsInterface::decode(std::string_view chunk) {
  if (!chunk.empty()) emit bytesReceived(static_cast<qint64>(chunk.size()));
  const ProcessStatus status = m_protocol->processData(*this, chunk);
  if (m_protocol->holdsPosition())
    m_quiet.restart(Clock::Duration(kQuietMs));  // the quiet time counts from the last chunk
  else
    m_quiet.stop();
  return status;
}

void GpsInterface::reportFault(const TransportFault& fault) noexcept {
  // A handler that throws while taking a fault (a logger failing to stop) is reported in turn.
  guarded([&] { emit faulted(fault); });
}

void GpsInterface::reportHandlerFailure(const char* message) noexcept {
  try {
    emit faulted(TransportFault{FaultKind::protocol, message, false});
  } catch (...) {
    // Nothing sensible is left to do: the error reporting itself failed.
  }
}

}  // namespace geomuxer
