#pragma once
// The fan-out logger: every source points at one list, which passes each call on to the loggers
// registered with it, in registration order.

#include <QObject>
#include <QString>

#include <vector>

#include "core/track_logger.h"

namespace geomuxer {

/// Holds plain references to its loggers (never owns them; they must outlive the list). A logger
/// that throws is reported through errorOccurred and does not keep the call from the loggers after
/// it. Main thread only; its own active flag and filter are not consulted.
class TrackLoggerList : public QObject, public TrackLogger {
  Q_OBJECT

 public:
  explicit TrackLoggerList(QObject* parent = nullptr);

  /// Registers a logger; returns its index, or -1 when it is already registered (or null).
  int add(TrackLogger* logger);
  [[nodiscard]] int count() const { return static_cast<int>(m_loggers.size()); }
  /// The logger at `index` in registration order.
  [[nodiscard]] TrackLogger* item(int index) const { return m_loggers.at(static_cast<std::size_t>(index)); }

  void addPosition(const PositionInfo& position) override;
  void addSentences(std::string_view lines) override;
  void start() override;
  void stop() override;

 signals:
  /// A registered logger failed; the message is the logger's (written as "ERROR: %s").
  void errorOccurred(const QString& message);

 private:
  template <typename Call>
  void forEach(Call call);

  std::vector<TrackLogger*> m_loggers;
};

}  // namespace geomuxer
