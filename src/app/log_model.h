#pragma once
// The event log shown in the main window's pane and printed by the headless program: a list of
// text lines with a size limit and the five categories that decide which events are written.

#include <QAbstractListModel>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <deque>

namespace geomuxer {

/// Bit values of the log categories (settings keys log\tracker ... log\logfile).
enum LogCategory : unsigned {
  lcTracker = 1,
  lcTrackerPos = 2,
  lcTcp = 4,
  lcHttp = 8,
  lcLogFile = 16,
};
inline constexpr unsigned kAllLogCategories = lcTracker | lcTrackerPos | lcTcp | lcHttp | lcLogFile;

/// How grave a log line is, for logs that keep the difference (the journal).
enum class LogSeverity { info, warning, error };
/// An error line starts with "ERROR: " or with a word followed by " ERROR: " ("TCP/IP ERROR: ",
/// "HTTP ERROR: ", "SQL ERROR: "); a warning likewise with "WARNING"; every other line is information.
[[nodiscard]] LogSeverity severityOf(QStringView line);

/// The log lines, oldest first. With a limit above 0, the pane is cut back in one go when it has
/// grown five lines past the limit, to five lines below it, so that trimming does not happen on
/// every line. Main thread only; other threads hand their lines over with a queued call.
class LogModel : public QAbstractListModel {
  Q_OBJECT

 public:
  explicit LogModel(QObject* parent = nullptr);

  /// Lines kept; 0 or less means no limit. Applies from the next line on.
  [[nodiscard]] int maxLines() const { return m_maxLines; }
  void setMaxLines(int maxLines) { m_maxLines = maxLines; }

  [[nodiscard]] unsigned categories() const { return m_categories; }
  void setCategories(unsigned categories) { m_categories = categories & kAllLogCategories; }
  [[nodiscard]] bool hasCategory(LogCategory category) const { return (m_categories & category) != 0; }

  /// Appends one line, whatever the categories. Line breaks (CR LF) become two blanks each.
  void addLine(const QString& text);
  /// Appends the line when `category` is on.
  void addLine(LogCategory category, const QString& text);
  /// Removes every line.
  void clear();

  [[nodiscard]] int count() const { return static_cast<int>(m_lines.size()); }
  [[nodiscard]] const QString& line(int row) const { return m_lines.at(static_cast<std::size_t>(row)); }
  [[nodiscard]] QStringList lines() const;
  /// When the line of `row` was added.
  [[nodiscard]] const QDateTime& time(int row) const { return m_times.at(static_cast<std::size_t>(row)); }

  [[nodiscard]] int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

 signals:
  /// After the line has been appended (and older lines trimmed).
  void lineAdded(const QString& line);

 private:
  std::deque<QString> m_lines;
  std::deque<QDateTime> m_times;  // one per line
  int m_maxLines = 100;
  unsigned m_categories = lcTracker | lcTcp | lcLogFile;
};

}  // namespace geomuxer
