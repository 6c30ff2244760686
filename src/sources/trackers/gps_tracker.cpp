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

bool GpsTracker::isActive() const { return m_running; }

void GpsTracker::openInterface() {
  if (m_interface == nullptr) {
    std::unique_ptr<GpsInterface> created = createInterface();
    if (!created) throw InterfaceError("The source has no transport.");
    attach(created.release());
  } else if (m_interface->isActive()) {
    m_interface->close();
  }
  m_interface->open();
}

void GpsTracker::start() {
  endSupervision();
  m_status = SourceStatus{};
  m_status.source = displayName();
  m_dropsBefore = 0;
  m_backoff.reset();
  m_faultLog.reset();
  m_silent = false;
  m_reopening = false;
  m_recoveryShown = false;
  m_reachedAt.reset();
  m_byteWatch = m_clock->makeRestartable([this] { onByteWatchdog(); });
  m_fixWatch = m_clock->makeRestartable([this] {
    if (m_status.state == SourceState::ReceivingFix) setState(SourceState::ReceivingNoFix);
  });
  try {
    openInterface();
  } catch (const InterfaceError& e) {
    if (!supervised() || e.fault().terminal) throw;
    // The device or the peer is not there yet: the source runs and waits for it.
    m_running = true;
    doStart();
    scheduleRetry(e.fault());
    return;
  }
  m_running = true;
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
    if (m_status.state == SourceState::Connecting) enterReached();
  }, Qt::DirectConnection);
}

void GpsTracker::enterOpened() {
  if (m_interface != nullptr && m_interface->isConnecting())
    setState(SourceState::Connecting);
  else
    enterReached();
}

void GpsTracker::enterReached() {
  m_backoff.reset();
  if (m_watch) m_watch.release()->deleteLater();  // it may be the one calling
  m_reachedAt = m_clock->now();
  if (m_reopening) {
    m_reopening = false;
    ++m_status.reconnects;
    // Once for a run of faults, however many the throttle held back.
    if (!m_recoveryShown) emit noticed("reconnected");
    m_recoveryShown = true;
  }
  m_byteWatch.restart(m_watchdogTime);
  setState(SourceState::WaitingForData);
}

void GpsTracker::onByteWatchdog() {
  if (!m_running || m_interface == nullptr || m_silent) return;
  m_silent = true;
  // A source steered by hand that pauses is not worth a line.
  if (supervised()) emit noticed("no data for " + std::to_string((m_watchdogTime.count() + 999) / 1000) + " s");
  setState(SourceState::WaitingForData);
}

SourceStatus GpsTracker::status() const {
  std::lock_guard lock(m_mutex);
  SourceStatus status = m_status;
  if (status.source.empty()) status.source = displayName();
  status.droppedLines = m_dropsBefore + decoderDrops();
  return status;
}

void GpsTracker::setState(SourceState state) {
  if (state == m_status.state && state != SourceState::Reconnecting) return;
  m_status.state = state;
  if (m_status.source.empty()) m_status.source = displayName();
  emit statusChanged(status());
}

void GpsTracker::noteData() {
  m_status.lastByteMs = m_clock->now().time_since_epoch().count();
  m_byteWatch.restart(m_watchdogTime);
  if (!m_silent) return;
  m_silent = false;
  if (supervised()) emit noticed("data again");
}

void GpsTracker::noteBytes() {
  noteData();
  if (m_status.state == SourceState::Connecting || m_status.state == SourceState::WaitingForData)
    setState(SourceState::ReceivingNoFix);
}

void GpsTracker::stop() {
  const bool wasRunning = m_running;
  m_running = false;
  endSupervision();
  if (wasRunning) writeFaultSummary();
  m_dropsBefore += decoderDrops();
  releaseInterface();
  setState(SourceState::Stopped);
  doStop();
}

void GpsTracker::endSupervision() {
  m_retry.cancel();
  m_summary.cancel();
  m_byteWatch.cancel();
  m_fixWatch.cancel();
  if (m_watch) m_watch.release()->deleteLater();
}

void GpsTracker::retryNow() {
  if (m_running && m_retry.pending()) attemptReopen();
}

void GpsTracker::scheduleRetry(const TransportFault& fault) {
  // A transport that worked for a while before it failed begins a new run of faults, which is
  // reported afresh; one that fails soon after each open stays in the run the throttle thins out.
  if (m_reachedAt && m_clock->now() - *m_reachedAt >= EventThrottle::kWindow) {
    writeFaultSummary();
    m_faultLog.reset();
    m_recoveryShown = false;
  }
  m_reachedAt.reset();
  m_dropsBefore += decoderDrops();
  dropInterface();
  m_byteWatch.stop();
  m_fixWatch.stop();
  m_silent = false;
  m_status.lastError = fault.message;
  const Clock::Duration wait = m_backoff.next();
  m_status.reconnectInSeconds = static_cast<int>(std::max<Clock::Duration::rep>(1, (wait.count() + 500) / 1000));
  m_retry = m_clock->callAfter(wait, [this] { attemptReopen(); });
  if (!m_watch) {
    m_watch = watchDevice();
    if (m_watch) connect(m_watch.get(), &DeviceWatch::appeared, this, &GpsTracker::retryNow);
  }
  setState(SourceState::Reconnecting);
  reportFault(fault);
  if (m_faultShown) emit noticed(sourceStateText(m_status));  // "reconnecting in 1 s"
}

void GpsTracker::attemptReopen() {
  m_retry.cancel();
  if (!m_running) return;
  m_reopening = true;
  try {
    openInterface();
  } catch (const InterfaceError& e) {
    if (e.fault().terminal)
      stopForFault(e.fault());
    else
      scheduleRetry(e.fault());
    return;
  } catch (const std::exception& e) {
    stopForFault(TransportFault{FaultKind::refused, e.what(), true});
    return;
  }
  enterOpened();
}

void GpsTracker::stopForFault(const TransportFault& fault) {
  m_status.lastError = fault.message;  // announced with the stop
  stop();
  emit faulted(fault);
}

void GpsTracker::reportFault(const TransportFault& fault) {
  if (m_faultLog.admit(m_clock->now())) {
    m_faultShown = true;
    emit faulted(fault);
    return;
  }
  m_faultShown = false;
  m_lastHeldBack = fault.message;
  if (!m_summary.pending()) {
    const Clock::Duration due =
        std::chrono::duration_cast<Clock::Duration>(m_faultLog.summaryDue() - m_clock->now());
    m_summary = m_clock->callAfter(due, [this] { writeFaultSummary(); });
  }
}

void GpsTracker::writeFaultSummary() {
  m_summary.cancel();
  const std::uint64_t count = m_faultLog.takeHeldBack(m_clock->now());
  if (count == 0) return;
  emit noticed(std::to_string(count) + (count == 1 ? " more fault" : " more faults") +
               " in the last minute, the last: " + m_lastHeldBack);
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
  noteData();
  m_fixWatch.restart(m_watchdogTime);
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
  if (fault.kind == FaultKind::protocol) {
    emit faulted(fault);
  } else if (m_running && supervised() && !fault.terminal) {
    scheduleRetry(fault);
  } else {
    stopForFault(fault);
  }
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
