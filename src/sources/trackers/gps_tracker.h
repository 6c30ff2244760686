#pragma once
// A GPS source as the application sees it: switched on and off, it creates its transport, passes
// every position to its logger and announces positions, start and stop.

#include <QObject>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/clock.h"
#include "core/position_info.h"
#include "core/track_logger.h"
#include "sources/transports/device_watch.h"
#include "sources/source_status.h"
#include "sources/supervision.h"
#include "sources/transports/gps_interface.h"

namespace geomuxer {

/// Base of every source. Once started, a supervised source runs until it is stopped: when its
/// transport fails (or cannot be opened) in a way that may pass, the tracker closes it, waits
/// (RetryBackoff, cut short when the device watch says the device is back) and opens a new one,
/// while the logger stays started. A fault that retrying cannot mend, or any fault of a source
/// that is not supervised, stops the source. A watchdog notes when no byte has come for the
/// watchdog time. `start`, `stop` and `setActive` are called from the main thread; positions
/// arrive from the interface on the same thread and are delivered one at a time under the
/// tracker's lock.
class GpsTracker : public QObject {
  Q_OBJECT

 public:
  explicit GpsTracker(QObject* parent = nullptr);
  /// Stops the source when it is active. Concrete trackers should stop in their own destructor:
  /// from here, `stopped` reaches handlers while the derived part is already gone.
  ~GpsTracker() override;

  /// The logger (in practice the shared logger list); not owned, may be null.
  [[nodiscard]] TrackLogger* logger() const { return m_logger; }
  void setLogger(TrackLogger* logger) { m_logger = logger; }

  /// Starts or stops; nothing happens (and no signal fires) when already in that state.
  virtual void setActive(bool active);
  /// True from a successful `start` until `stop` (or a fault that stopped the source), also while
  /// the source waits to reconnect.
  [[nodiscard]] virtual bool isActive() const;
  /// Name shown to the user and written to the log ("NMEA via COM", "Simulator", ...).
  [[nodiscard]] virtual std::string displayName() const = 0;
  /// Whether the source can work on this machine.
  [[nodiscard]] virtual bool isAvailable() const { return true; }

  /// Creates the interface when there is none, (re)opens it, starts the logger and emits started.
  /// When a supervised source's transport cannot be opened for a reason that may pass, the source
  /// starts all the same, reports the fault and keeps trying; other exceptions from creating or
  /// opening the interface pass to the caller, and the source stays stopped.
  virtual void start();
  /// Closes and releases the interface, stops the logger and emits stopped, also when already stopped.
  virtual void stop();

  /// A watch over the source's device, for whoever waits to start the source again after its
  /// device went away: it fires when the device may be back, so the retry need not wait for its
  /// timer. Null (the default) when the source has no device to watch.
  [[nodiscard]] virtual std::unique_ptr<DeviceWatch> watchDevice() const { return nullptr; }

  /// Whether faults of the transport are retried (every live source); false stops on any fault.
  [[nodiscard]] virtual bool supervised() const { return true; }
  /// While the source waits to reconnect: the next attempt at once.
  void retryNow();

  /// Time without a byte after which a running source counts as waiting for data.
  static constexpr Clock::Duration kDefaultWatchdog{10'000};
  [[nodiscard]] Clock::Duration watchdog() const { return m_watchdogTime; }
  /// Takes effect at the next byte.
  void setWatchdog(Clock::Duration time) { m_watchdogTime = std::max(time, Clock::Duration(1)); }

  /// Copy of the last delivered position.
  [[nodiscard]] PositionInfo lastPosition() const;
  /// The current interface (null when stopped); owned by the tracker.
  [[nodiscard]] GpsInterface* gpsInterface() const { return m_interface; }

  /// What the source is doing now, its counters since the last start and the ages it knows of.
  [[nodiscard]] SourceStatus status() const;
  /// The clock of the source's state and timers (by default the event-loop clock); it must
  /// outlive the tracker. Set it while the source is stopped.
  void setClock(Scheduler& clock) { m_clock = &clock; }
  [[nodiscard]] Scheduler& clock() const { return *m_clock; }

 signals:
  /// After the logger has received the position.
  void positionReceived(const geomuxer::PositionInfo& position);
  void started();
  void stopped();
  /// The transport failed (or would not open), after the tracker has dealt with it: a supervised
  /// source waits to reconnect, and any other has stopped; a `protocol` fault leaves the source
  /// running. Meant for the log, so a source that keeps failing reports its first fault and then
  /// at most one a minute; the ones in between are summed up through `noticed`.
  void faulted(const geomuxer::TransportFault& fault);
  /// A change worth one log line: the transport's own notices ("no answer from the receiver"),
  /// and the supervisor's ("no data for 10 s", "data again", "reconnected", the summary of
  /// faults held back).
  void noticed(const std::string& text);
  /// The state changed (not emitted for every byte or position).
  void statusChanged(const geomuxer::SourceStatus& status);

 protected:
  /// Builds and configures the concrete interface from the tracker's properties.
  [[nodiscard]] virtual std::unique_ptr<GpsInterface> createInterface() = 0;
  virtual void doPosition(const PositionInfo& position);
  /// Hands the source's own sentences (see TrackLogger::addSentences) to the logger while running.
  void deliverSentences(std::string_view lines);
  virtual void doStart();
  virtual void doStop();
  /// True while the transport being created or opened replaces one that failed.
  [[nodiscard]] bool reopening() const { return m_reopening; }
  /// Input lines the current transport's decoder dropped so far (bad checksums and the like).
  [[nodiscard]] virtual std::uint64_t decoderDrops() const { return 0; }

 private:
  void handlePosition(const PositionInfo& position);
  void handleFault(const TransportFault& fault);
  /// Forgets the interface without stopping the logger or emitting stopped; the interface is
  /// deleted from the event loop, so this may be called from inside one of its signals.
  void dropInterface();
  void releaseInterface();
  void attach(GpsInterface* iface);
  /// Sets the state and announces it (also when only the reconnect time changed).
  void setState(SourceState state);
  /// Something arrived: the last byte's time, the watchdog, and "data again" after a silence.
  void noteData();
  void noteBytes();
  /// Creates the interface when there is none and opens it; throws what opening throws.
  void openInterface();
  /// The state right after the transport opened: connecting, or reached.
  void enterOpened();
  /// The transport reached its device or peer: the backoff starts over and the watchdog runs.
  void enterReached();
  /// A retryable fault of a running, supervised source: drop the transport and wait.
  void scheduleRetry(const TransportFault& fault);
  void attemptReopen();
  /// Stops the source for good after `fault`, and reports it.
  void stopForFault(const TransportFault& fault);
  /// Emits `faulted` unless the throttle holds it back.
  void reportFault(const TransportFault& fault);
  void writeFaultSummary();
  void onByteWatchdog();
  void endSupervision();

  TrackLogger* m_logger = nullptr;
  GpsInterface* m_interface = nullptr;
  PositionInfo m_lastPosition;
  // Recursive: a handler of positionReceived may reach the tracker again on the same thread.
  mutable std::recursive_mutex m_mutex;
  // Depth of calls into the tracker from the interface's own signals; while above zero the
  // interface is still on the stack and may only be deleted later.
  int m_interfaceCallbacks = 0;
  Scheduler* m_clock;
  SourceStatus m_status;

  // Supervision: the user's switch, the wait before the next attempt and what ends it early.
  bool m_running = false;
  bool m_reopening = false;    // the current transport replaces one that failed
  bool m_faultShown = false;     // the last fault had its line, so "reconnecting in" follows it
  bool m_recoveryShown = false;  // this run of faults has had its "reconnected"
  std::optional<Clock::TimePoint> m_reachedAt;  // when the current transport reached its device
  bool m_silent = false;       // "no data" was written and "data again" has not
  RetryBackoff m_backoff;
  EventThrottle m_faultLog;
  std::string m_lastHeldBack;  // the latest fault the throttle held back
  Timer m_retry;
  Timer m_summary;
  Timer m_byteWatch;           // restartable: no byte for the watchdog time
  Timer m_fixWatch;            // restartable: no position for the watchdog time
  Clock::Duration m_watchdogTime = kDefaultWatchdog;
  std::unique_ptr<DeviceWatch> m_watch;
  std::uint64_t m_dropsBefore = 0;  // dropped by the decoders of transports already replaced
};

}  // namespace geomuxer

Q_DECLARE_METATYPE(geomuxer::SourceStatus)
