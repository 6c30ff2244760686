#pragma once
// The status panel above the log: the source and its state, its fix and satellites, the last position in the
// user's units, how old it is, the counters, the broadcast's clients, the upload queue and the
// position server's address. Refreshed four times a second while shown (ViewRefresher).

#include <QFrame>
#include <QString>

#include <array>

class QLabel;

namespace geomuxer {

class LiveStatus;

/// Main thread only. `status` must outlive the panel.
class StatusPanel : public QFrame {
  Q_OBJECT

 public:
  enum class Field : int {
    source,
    fix,
    satellites,
    position,
    altitude,
    speed,
    course,
    hdop,
    time,
    age,
    epochs,
    dropped,
    reconnects,
    clients,
    uploadQueue,
    server,
  };
  static constexpr int kFieldCount = static_cast<int>(Field::server) + 1;

  explicit StatusPanel(LiveStatus& status, QWidget* parent = nullptr);

  /// Reads everything again and shows it.
  void refresh();
  /// The text a field shows now (for the server, the address without its link).
  [[nodiscard]] QString text(Field field) const;
  [[nodiscard]] QLabel* valueLabel(Field field) const { return m_values.at(static_cast<std::size_t>(field)); }
  /// True while the age is shown as overdue (amber): older than the controller's watchdog time.
  [[nodiscard]] bool ageOverdue() const { return m_overdue; }
  /// Refreshes done so far: tests check that a hidden panel does none.
  [[nodiscard]] int refreshCount() const { return m_refreshes; }

 private:
  void setValue(Field field, const QString& text);

  LiveStatus& m_status;
  std::array<QLabel*, kFieldCount> m_values{};
  bool m_overdue = false;
  int m_refreshes = 0;
};

}  // namespace geomuxer
