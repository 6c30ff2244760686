#pragma once
// A GPS source as the application sees it: switched on and off, it creates its transport, passes
// every position to its logger and announces positions, start and stop.

#include <QObject>
#include <QString>

#include <memory>
#include <mutex>
#include <string>

#include "core/clock.h"
#include "core/position_info.h"
#include "core/track_logger.h"
#include "sources/transports/device_watch.h"
#include "sources/source_status.h"
#include "sources/transports/gps_interface.h"

namespace geomuxer {

/// Base of every source. States: stopped (no interface), started (interface open), and "created
/// but not open" after an `open` that threw; the next `start` reuses that interface. `start`,
/// `stop` and `setActive` are called from the main thread; positions arrive from the interface on
/// the same thread and are delivered one at a time under the tracker's lock.
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
  /// True while an interface exists and is open.
  [[nodiscard]] virtual bool isActive() const;
  /// Name shown to the user and written to the log ("NMEA via COM", "Simulator", ...).
  [[nodiscard]] virtual std::string displayName() const = 0;
  /// Whether the source can work on this machine.
  [[nodiscard]] virtual bool isAvailable() const { return true; }

  /// Creates the interface when there is none, (re)opens it, starts the logger and emits started.
  /// Exceptions from creating or opening the interface pass to the caller.
  virtual void start();
  /// Closes and releases the interface, stops the logger and emits stopped, also when already stopped.
  virtual void stop();

  /// A watch over the source's device, for whoever waits to start the source again after its
  /// device went away: it fires when the device may be back, so the retry need not wait for its
  /// timer. Null (the default) when the source has no device to watch.
  [[nodiscard]] virtual std::unique_ptr<DeviceWatch> watchDevice() const { return nullptr; }

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
  /// The running transport failed, after the tracker has dealt with it: a stream that ended
  /// (`endOfStream`, `deviceGone`) has stopped the source, a connection that failed (`refused`,
  /// `reset`, `timeout`) has been dropped without stopping the source or its logger, and a
  /// `protocol` fault leaves the source running.
  void faulted(const geomuxer::TransportFault& fault);
  /// The transport's `noticed`: the device changed in a way worth one log line.
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

 private:
  void handlePosition(const PositionInfo& position);
  void handleFault(const TransportFault& fault);
  /// Forgets the interface without stopping the logger or emitting stopped; the interface is
  /// deleted from the event loop, so this may be called from inside one of its signals.
  void dropInterface();
  void releaseInterface();
  void attach(GpsInterface* iface);
  void setState(SourceState state);
  void noteBytes();
  /// The state right after the transport opened.
  void enterOpened();

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
};

}  // namespace geomuxer

Q_DECLARE_METATYPE(geomuxer::SourceStatus)
