#include "sources/trackers/gps_tracker.h"

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

GpsTracker::GpsTracker(QObject* parent) : QObject(parent) {}

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
    m_interface = created.release();
    connect(m_interface, &GpsInterface::positionReceived, this, &GpsTracker::handlePosition,
            Qt::DirectConnection);
    connect(m_interface, &GpsInterface::faulted, this, &GpsTracker::handleFault, Qt::DirectConnection);
    connect(m_interface, &GpsInterface::noticed, this, &GpsTracker::noticed, Qt::DirectConnection);
  } else if (m_interface->isActive()) {
    m_interface->close();
  }
  m_interface->open();
  doStart();
}

void GpsTracker::stop() {
  releaseInterface();
  doStop();
}

PositionInfo GpsTracker::lastPosition() const {
  std::lock_guard lock(m_mutex);
  return m_lastPosition;
}

void GpsTracker::doPosition(const PositionInfo& position) {
  m_lastPosition = position;
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
