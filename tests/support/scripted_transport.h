#pragma once
// A transport that plays a script instead of talking to a device: bytes for the decoder, faults and
// quiet spells, at the times a clock (in tests the manual clock) says. It implements the real
// transport interface, so trackers, decoders and whatever watches them run unchanged on top of it.

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "sources/trackers/gps_tracker_nmea.h"
#include "sources/transports/gps_interface.h"

namespace geomuxer::test {

/// One step of a script. Bytes and faults happen at once; silence lets time pass.
struct ScriptEvent {
  enum class Kind { bytes, fault, silence };
  Kind kind = Kind::silence;
  std::string bytes;
  TransportFault fault;
  Clock::Duration quiet{0};
};

/// What one open of a transport does.
struct Script {
  std::vector<ScriptEvent> events;
  /// When set, `open` throws InterfaceError with this fault and nothing is played.
  std::optional<TransportFault> openFault;
  /// When above zero, the decoder gets an empty chunk after every such spell without bytes (as the
  /// serial transport does for decoders with time-outs).
  Clock::Duration idlePoll{0};
};

namespace script {

inline ScriptEvent bytes(std::string data) { return {ScriptEvent::Kind::bytes, std::move(data), {}, {}}; }
inline ScriptEvent fault(TransportFault value) { return {ScriptEvent::Kind::fault, {}, std::move(value), {}}; }
inline ScriptEvent fault(FaultKind kind, std::string message, bool terminal = false) {
  return fault(TransportFault{kind, std::move(message), terminal});
}
inline ScriptEvent silence(Clock::Duration time) { return {ScriptEvent::Kind::silence, {}, {}, time}; }

/// A recording cut into reads of `size` bytes with `gap` of quiet after each.
inline std::vector<ScriptEvent> fragments(std::string_view recording, std::size_t size, Clock::Duration gap) {
  std::vector<ScriptEvent> events;
  for (std::size_t at = 0; at < recording.size(); at += size) {
    events.push_back(bytes(std::string(recording.substr(at, size))));
    if (gap > Clock::Duration::zero()) events.push_back(silence(gap));
  }
  return events;
}

}  // namespace script

/// Scripts for the opens of one or more transports, taken one per open.
using ScriptQueue = std::deque<Script>;

/// Every `open` takes the next script from the queue (none left: `open` is refused) and plays it:
/// each event when the quiet spells before it have passed on `clock`, never from inside `open`
/// itself. A fault of any kind but `protocol` ends the transport (not active, nothing more played)
/// before it is reported, as a broken connection or a vanished device does; a `protocol` fault
/// leaves it playing. Bytes go through GpsInterface::decode with `clock` as the interface's
/// clock, so a decoder holding an open epoch is flushed after kQuietMs without bytes, on `clock`. After the last event the transport stays open and quiet.
/// Bytes the decoder writes back are kept in `written`. The queue may be shared with the
/// transports that follow this one. Main thread only.
class ScriptedTransport : public GpsInterface {
 public:
  ScriptedTransport(std::unique_ptr<GpsProtocol> protocol, Scheduler& clock, std::shared_ptr<ScriptQueue> scripts)
      : GpsInterface(std::move(protocol)), m_clock(clock), m_scripts(std::move(scripts)) {
    setClock(clock);
  }
  ScriptedTransport(std::unique_ptr<GpsProtocol> protocol, Scheduler& clock, Script script)
      : ScriptedTransport(std::move(protocol), clock, std::make_shared<ScriptQueue>(ScriptQueue{std::move(script)})) {}
  ~ScriptedTransport() override { ScriptedTransport::close(); }

  [[nodiscard]] std::string name() const override { return "SCRIPT"; }
  [[nodiscard]] bool isActive() const override { return m_open; }
  void open() override {
    if (m_open) return;
    if (m_scripts->empty()) throw InterfaceError(TransportFault{FaultKind::refused, "No script left", false});
    m_script = std::move(m_scripts->front());
    m_scripts->pop_front();
    m_at = 0;
    ++m_opens;
    if (m_script.openFault) throw InterfaceError(*m_script.openFault);
    m_open = true;
    if (protocol() != nullptr) protocol()->start(*this);
    rearmIdlePoll();
    scheduleNext(Clock::Duration::zero());
  }
  void close() override {
    if (!m_open) return;
    m_open = false;
    m_next.cancel();
    m_idle.cancel();
    stopQuietTimer();
    if (protocol() != nullptr) protocol()->stop(*this);
  }

  void writeBytes(std::string_view bytes) override { written.emplace_back(bytes); }

  /// Every event has been played (or a fault ended the script).
  [[nodiscard]] bool finished() const { return m_at >= m_script.events.size(); }
  [[nodiscard]] std::size_t bytesPlayed() const { return m_bytesPlayed; }
  /// Calls of `open` that took a script, refused ones included.
  [[nodiscard]] int opens() const { return m_opens; }

  std::vector<std::string> written;

 private:
  void scheduleNext(Clock::Duration quiet) {
    m_next = m_clock.callAfter(quiet, [this] { playNext(); });
  }

  // Plays events up to the next quiet spell: all bytes and faults that happen at the same moment.
  void playNext() {
    while (m_open && m_at < m_script.events.size()) {
      const ScriptEvent& event = m_script.events[m_at++];
      switch (event.kind) {
        case ScriptEvent::Kind::silence:
          scheduleNext(event.quiet);
          return;
        case ScriptEvent::Kind::bytes:
          m_bytesPlayed += event.bytes.size();
          rearmIdlePoll();
          if (protocol() != nullptr) guarded([&] { (void)decode(event.bytes); });
          break;
        case ScriptEvent::Kind::fault:
          if (event.fault.kind != FaultKind::protocol) {
            m_at = m_script.events.size();
            close();
          }
          reportFault(event.fault);  // a handler may delete the transport: nothing of it is used after
          return;
      }
    }
  }

  void rearmIdlePoll() {
    if (m_script.idlePoll <= Clock::Duration::zero() || protocol() == nullptr) return;
    m_idle = m_clock.callEvery(m_script.idlePoll, [this] { guarded([this] { (void)protocol()->processData(*this, {}); }); });
  }

  Scheduler& m_clock;
  std::shared_ptr<ScriptQueue> m_scripts;
  Script m_script;
  int m_opens = 0;
  std::size_t m_at = 0;
  std::size_t m_bytesPlayed = 0;
  bool m_open = false;
  Timer m_next;
  Timer m_idle;
};

/// An NMEA source (the real tracker with its decoder) over scripted transports. Every open takes
/// the next script, whether the tracker builds a new transport or opens the one whose open failed.
class ScriptedNmeaSource : public GpsTrackerNmea {
 public:
  explicit ScriptedNmeaSource(Scheduler& clock) : m_clock(clock) { setClock(clock); }
  ~ScriptedNmeaSource() override {
    if (isActive()) stop();
  }

  [[nodiscard]] std::string displayName() const override { return "Scripted NMEA"; }

  void addScript(Script script) { m_scripts->push_back(std::move(script)); }
  /// Transports built so far.
  [[nodiscard]] int transportsBuilt() const { return m_built; }
  /// The current transport, null when there is none.
  [[nodiscard]] ScriptedTransport* transport() const { return dynamic_cast<ScriptedTransport*>(gpsInterface()); }

 protected:
  [[nodiscard]] std::unique_ptr<GpsInterface> createInterface() override {
    ++m_built;
    return std::make_unique<ScriptedTransport>(makeProtocol(), m_clock, m_scripts);
  }

 private:
  Scheduler& m_clock;
  std::shared_ptr<ScriptQueue> m_scripts = std::make_shared<ScriptQueue>();
  int m_built = 0;
};

}  // namespace geomuxer::test
