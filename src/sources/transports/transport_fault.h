#pragma once
// How a transport failed, as one value: what happened, a text for the user, and whether trying
// again can help. Plain C++ so that supervision logic can be tested without Qt.

#include <string>

namespace geomuxer {

/// What went wrong with a transport.
enum class FaultKind {
  refused,      ///< the device or peer could not be opened or would not accept the connection
  reset,        ///< an established connection broke
  endOfStream,  ///< the peer ended the stream (a server closed the connection)
  deviceGone,   ///< the device or file went away or does not exist
  timeout,      ///< nothing arrived in time
  protocol,     ///< what arrived, or handling it, failed; the transport itself is still open
};

/// One fault of a transport. `terminal` says that retrying cannot help (a missing library),
/// as opposed to a fault that may pass (a server that is not up yet).
struct TransportFault {
  FaultKind kind = FaultKind::protocol;
  std::string message;
  bool terminal = false;

  friend bool operator==(const TransportFault&, const TransportFault&) = default;
};

}  // namespace geomuxer
