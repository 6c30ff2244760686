#include "sources/transports/gps_interface.h"

namespace geomuxer {

GpsInterface::GpsInterface(std::unique_ptr<GpsProtocol> protocol, QObject* parent)
    : QObject(parent), m_protocol(std::move(protocol)) {}

GpsInterface::~GpsInterface() = default;

void GpsInterface::doPosition(const PositionInfo& position) {
  m_lastPosition = position;
  emit positionReceived(position);
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
