#include "sources/source_status.h"

namespace geomuxer {

std::string sourceStateText(const SourceStatus& status) {
  switch (status.state) {
    case SourceState::Stopped: return "stopped";
    case SourceState::Connecting: return "connecting";
    case SourceState::WaitingForData: return "waiting for data";
    case SourceState::ReceivingNoFix: return "receiving, no fix";
    case SourceState::ReceivingFix: return "receiving, fix";
    case SourceState::Reconnecting: return "reconnecting in " + std::to_string(status.reconnectInSeconds) + " s";
  }
  return "stopped";
}

}  // namespace geomuxer
