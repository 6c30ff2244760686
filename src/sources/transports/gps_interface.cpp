#include "sources/transports/gps_interface.h"

namespace geomuxer {

GpsInterface::GpsInterface(std::unique_ptr<GpsProtocol> protocol, QObject* parent)
    : QObject(parent), m_protocol(std::move(protocol)) {
  m_quiet.setSingleShot(true);
  m_quiet.setInterval(kQuietMs);
  connect(&m_quiet, &QTimer::timeout, this, [this] {
    guarded([this] {
      if (isActive() && m_protocol) m_protocol->flush(*this);
    });
  });
}

GpsInterface::~GpsInterface() = default;

void GpsInterface::doPosition(const PositionInfo& position) {
  m_lastPosition = position;
  emit positionReceived(position);
}

ProcessStatus GpsInterface::decode(std::string_view chunk) {
  const ProcessStatus status = m_protocol->processData(*this, chunk);
  if (m_protocol->holdsPosition())
    m_quiet.start();  // restarts: the quiet time counts from the last chunk
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
