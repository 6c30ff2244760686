#include "sources/trackers/gps_tracker.h"

#include "core/date_time.h"
#include "net/event_loop_clock.h"

namespace geomuxer {

namespace {

class DepthGuard {
 public:
  explicit DepthGuard(int& depth) : m_depth(depth) { ++m_depth; }
  ~DepthGuard() { --m_depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  int& m_depth;
};

}  // namespace

GpsTracker::GpsTracker(QObject* parent) : QObject(parent), m_clock(&eventLoopClock()) {}

GpsTracker::~GpsTracker() {
  if (isActive()) {
    try {
      stop();
    } catch (...) {
      // A destructor must not throw; the logger's stop failing leaves nothing to undo here.
    }
  }
  releaseInterface();
}

void GpsTracker::setActive(bool active) {
  if (active == isActive()) return;
  if (active)
    start();
  else
    stop();
}

bool GpsTracker::isActive() const { return m_interface != nullptr && m_interface->isActive(); }

void GpsTracker::start() {
  if (m_interface == nullptr) {
    std::unique_ptr<GpsInterface> created = createInterface();
    if (!created) throw InterfaceError("The source has no transport.");
    attach(created.release());
  } else if (m_interface->isActive()) {
    m_interface->close();
  }
  m_interface->open();
  m_status = SourceStatus{};
  m_status.source = displayName();
  enterOpened();
  doStart();
}

void GpsTracker::attach(GpsInterface* iface) {
  m_interface = iface;
  connect(iface, &GpsInterface::positionReceived, this, &GpsTracker::handlePosition, Qt::DirectConnection);
  connect(iface, &GpsInterface::faulted, this, &GpsTracker::handleFault, Qt::DirectConnection);
  connect(iface, &GpsInterface::noticed, this, &GpsTracker::noticed, Qt::DirectConnection);
  connect(iface, &GpsInterface::bytesReceived, this, &GpsTracker::noteBytes, Qt::DirectConnection);
  connect(iface, &GpsInterface::established, this, [this] {
    if (m_status.state == SourceState::Connecting) setState(SourceState::WaitingForData);
  }, Qt::DirectConnection);
}

void GpsTracker::enterOpened() {
  setState(m_interface != nullptr && m_interface->isConnecting() ? SourceState::Connecting
                                                                 : SourceState::WaitingForData);
}

SourceStatus GpsTracker::status() const {
  std::lock_guard lock(m_mutex);
  SourceStatus status = m_status;
  if (status.source.empty()) status.source = displayName();
  return status;
}

void GpsTracker::setState(SourceState state) {
  if (state == m_status.state) return;
  m_status.state = state;
  if (m_status.source.empty()) m_status.source = displayName();
  emit statusChanged(m_status);
}

void GpsTracker::noteBytes() {
  m_status.lastByteMs = m_clock->now().time_since_epoch().count();
  if (m_status.state == SourceState::Connecting || m_status.state == SourceState::WaitingForData)
    setState(SourceState::ReceivingNoFix);
}

void GpsTracker::stop() {
  releaseInterface();
  setState(SourceState::Stopped);
  doStop();
}

PositionInfo GpsTracker::lastPosition() const {
  std::lock_guard lock(m_mutex);
  return m_lastPosition;
}

void GpsTracker::doPosition(const PositionInfo& position) {
  m_lastPosition = position;
  ++m_status.epochs;
  m_status.lastPositionMs = toUnixMillis(position.has(defTime) ? position.time : m_clock->utcNow());
  // Sources without bytes (the simulator, USB, the location service) count positions as data.
  m_status.lastByteMs = m_clock->now().time_since_epoch().count();
  setState(SourceState::ReceivingFix);
  if (m_logger != nullptr && m_logger->active()) m_logger->addPosition(position);
  emit positionReceived(position);
}

void GpsTracker::doStart() {
  std::lock_guard lock(m_mutex);
  if (m_logger != nullptr && m_logger->active()) m_logger->start();
  emit started();
}

void GpsTracker::doStop() {
  std::lock_guard lock(m_mutex);
  if (m_logger != nullptr && m_logger->active()) m_logger->stop();
  emit stopped();
}

void GpsTracker::deliverSentences(std::string_view lines) {
  std::lock_guard lock(m_mutex);
  if (m_interface != nullptr && m_logger != nullptr && m_logger->active()) m_logger->addSentences(lines);
}

void GpsTracker::handlePosition(const PositionInfo& position) {
  DepthGuard depth(m_interfaceCallbacks);
  std::lock_guard lock(m_mutex);
  doPosition(position);
}

void GpsTracker::handleFault(const TransportFault& fault) {
  DepthGuard depth(m_interfaceCallbacks);
  switch (fault.kind) {
    case FaultKind::endOfStream:
    case FaultKind::deviceGone:
      stop();
      break;
    case FaultKind::refused:
    case FaultKind::reset:
    case FaultKind::timeout:
      dropInterface();
      setState(SourceState::Stopped);
      break;
    case FaultKind::protocol:
      break;
  }
  emit faulted(fault);
}

void GpsTracker::dropInterface() {
  GpsInterface* iface = m_interface;
  if (iface == nullptr) return;
  m_interface = nullptr;
  iface->disconnect(this);
  if (iface->isActive()) iface->close();
  iface->deleteLater();
}

void GpsTracker::releaseInterface() {
  GpsInterface* iface = m_interface;
  if (iface == nullptr) return;
  m_interface = nullptr;
  iface->disconnect(this);
  if (iface->isActive()) iface->close();
  // Called from inside one of the interface's own signals, the interface is still running code:
  // let the event loop delete it once that call has returned.
  if (m_interfaceCallbacks > 0)
    iface->deleteLater();
  else
    delete iface;
}

}  // namespace geomuxer
