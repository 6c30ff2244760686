#include "sources/transports/gps_interface.h"

namespace geomuxer {

GpsInterface::GpsInterface(std::unique_ptr<GpsProtocol> protocol, QObject* parent)
    : QObject(parent), m_protocol(std::move(protocol)) {}

GpsInterface::~GpsInterface() = default;

void GpsInterface::doTerminate() { emit terminated(); }

void GpsInterface::doPosition(const PositionInfo& position) {
  m_lastPosition = position;
  emit positionReceived(position);
}

void GpsInterface::reportError(const char* message) noexcept {
  try {
    emit errorOccurred(QString::fromUtf8(message));
  } catch (...) {
    // Nothing sensible is left to do: the error reporting itself failed.
  }
}

}  // namespace geomuxer
