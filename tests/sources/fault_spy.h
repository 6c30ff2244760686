#pragma once
// Reading the faults a QSignalSpy caught from a `faulted` signal.

#include <QSignalSpy>

#include "sources/transports/gps_interface.h"

namespace geomuxer::test {

/// The fault of the `index`th emission caught by `spy`.
inline TransportFault faultAt(const QSignalSpy& spy, qsizetype index) {
  return spy.at(index).at(0).value<TransportFault>();
}

}  // namespace geomuxer::test
