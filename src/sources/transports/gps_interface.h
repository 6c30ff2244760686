#pragma once
// The transport side of a source: an interface opens a device (port, socket, file, timer), feeds its
// bytes to the decoder it owns and passes the resulting positions on to its tracker.

#include <QObject>
#include <QString>

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "core/position_info.h"
#include "sources/decoders/gps_protocol.h"
#include "sources/transports/transport_fault.h"

namespace geomuxer {

/// A transport that could not be created or opened; the message is meant for the user. It carries
/// the same fault value a running transport reports, so a caller can tell a fault that may pass
/// from one that retrying cannot mend.
class InterfaceError : public std::runtime_error {
 public:
  /// A device or peer that would not open, which may work another time.
  explicit InterfaceError(const std::string& message)
      : InterfaceError(TransportFault{FaultKind::refused, message, false}) {}
  explicit InterfaceError(TransportFault fault) : std::runtime_error(fault.message), m_fault(std::move(fault)) {}

  [[nodiscard]] const TransportFault& fault() const { return m_fault; }

 private:
  TransportFault m_fault;
};

/// Base of every transport. Lives on the main thread; the tracker creates it on start and deletes
/// it on stop. Derived classes must close themselves in their own destructor (the base destructor
/// cannot reach their `close`).
class GpsInterface : public QObject, public ProtocolHost {
  Q_OBJECT

 public:
  /// Takes ownership of `protocol` (null for transports that produce positions themselves).
  explicit GpsInterface(std::unique_ptr<GpsProtocol> protocol = nullptr, QObject* parent = nullptr);
  ~GpsInterface() override;

  /// A decoder that holds a position (an epoch still open) hands it on once no byte has arrived
  /// for this long. Receivers write an epoch's sentences in one burst with gaps of a few
  /// milliseconds (USB serial adapters deliver every 16 ms); 150 ms is well above those gaps and
  /// well below the pause between the bursts of a 1 Hz receiver, so the last position before a
  /// pause is late by at most this much.
  static constexpr int kQuietMs = 150;

  /// Short name of the transport ("COM", "TCP/IP", "FILE", "Simulator", ...).
  [[nodiscard]] virtual std::string name() const = 0;
  /// True while the transport is open and delivering.
  [[nodiscard]] virtual bool isActive() const = 0;
  /// Opens the transport and starts delivery; throws InterfaceError (or another exception).
  virtual void open() = 0;
  /// Stops delivery; harmless when already closed.
  virtual void close() = 0;
  /// True while an open transport has not reached its peer yet (a TCP connect under way); it
  /// emits `established` when it does.
  [[nodiscard]] virtual bool isConnecting() const { return false; }

  [[nodiscard]] GpsProtocol* protocol() const { return m_protocol.get(); }
  /// The scheduler of the quiet timer and of a derived transport's own timers; the event-loop
  /// clock unless set. It must outlive the interface; set it before opening.
  [[nodiscard]] Scheduler& clock() const { return *m_clock; }
  virtual void setClock(Scheduler& clock);
  /// Copy of the last position delivered through this interface.
  [[nodiscard]] const PositionInfo& lastPosition() const { return m_lastPosition; }

  /// ProtocolHost: the decoder found a position.
  void deliverPosition(const PositionInfo& position) override { doPosition(position); }
  /// ProtocolHost: passed on as `noticed`.
  void notice(std::string_view text) override { emit noticed(std::string(text)); }

 signals:
  /// One position; delivered synchronously, the reference is valid during the call only.
  void positionReceived(const geomuxer::PositionInfo& position);
  /// Every way a running transport fails: the peer closed, the device went away, the connection
  /// broke, or handling what arrived threw (kind `protocol`; the transport stays open then).
  /// Emitted from the event loop; a handler may delete the interface.
  void faulted(const geomuxer::TransportFault& fault);
  /// A change of the device's state worth one log line ("no answer from the receiver"); the
  /// transport keeps running. Emitted on the main thread.
  void noticed(const std::string& text);
  /// A chunk of bytes arrived from the device (before it is decoded).
  void bytesReceived(qint64 count);
  /// A transport that was connecting reached its peer.
  void established();

 protected:
  /// Reports a fault through `faulted`; a handler's exception becomes a `protocol` fault.
  void reportFault(const TransportFault& fault) noexcept;
  virtual void doPosition(const PositionInfo& position);
  /// Hands one chunk to the decoder (there must be one). While the decoder then holds a
  /// position, the quiet timer is (re)started; when it runs out the decoder is flushed.
  ProcessStatus decode(std::string_view chunk);
  /// Transports call this when they close: nothing is handed on after that.
  void stopQuietTimer() { m_quiet.stop(); }
  /// Runs `work` from an event-loop callback: an exception becomes a `protocol` fault instead of
  /// escaping into the event loop.
  template <typename Work>
  void guarded(Work&& work) noexcept {
    try {
      work();
    } catch (const std::exception& e) {
      reportHandlerFailure(e.what());
    } catch (...) {
      reportHandlerFailure("Unknown error");
    }
  }

 private:
  void reportHandlerFailure(const char* message) noexcept;

  std::unique_ptr<GpsProtocol> m_protocol;
  Scheduler* m_clock;
  Timer m_quiet;
  PositionInfo m_lastPosition;
};

}  // namespace geomuxer

Q_DECLARE_METATYPE(geomuxer::TransportFault)
