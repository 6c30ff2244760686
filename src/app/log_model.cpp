#include "app/log_model.h"

namespace geomuxer {

LogSeverity severityOf(QStringView line) {
  const qsizetype colon = line.indexOf(QLatin1String(": "));
  if (colon < 0) return LogSeverity::info;
  const QStringView head = line.left(colon);
  auto is = [head](QLatin1String word) {
    return head == word || (head.endsWith(word) && head.size() > word.size() && head[head.size() - word.size() - 1] == u' ');
  };
  if (is(QLatin1String("ERROR"))) return LogSeverity::error;
  if (is(QLatin1String("WARNING"))) return LogSeverity::warning;
  return LogSeverity::info;
}

LogModel::LogModel(QObject* parent) : QAbstractListModel(parent) {}

void LogModel::addLine(const QString& text) {
  // Compared in a wider type: a limit near the top of int must not wrap round to "always trim".
  if (m_maxLines > 0 && count() >= static_cast<long long>(m_maxLines) + 5) {
    const int keep = std::max(m_maxLines - 5 - 1, 0);
    const int remove = count() - keep;
    beginRemoveRows({}, 0, remove - 1);
    m_lines.erase(m_lines.begin(), m_lines.begin() + remove);
    m_times.erase(m_times.begin(), m_times.begin() + remove);
    endRemoveRows();
  }
  QString line = text;
  line.replace(QStringLiteral("\r\n"), QStringLiteral("  "));
  const int row = count();
  beginInsertRows({}, row, row);
  m_lines.push_back(line);
  m_times.push_back(QDateTime::currentDateTime());
  endInsertRows();
  emit lineAdded(line);
}

void LogModel::addLine(LogCategory category, const QString& text) {
  if (hasCategory(category)) addLine(text);
}

void LogModel::clear() {
  if (m_lines.empty()) return;
  beginResetModel();
  m_lines.clear();
  m_times.clear();
  endResetModel();
}

QStringList LogModel::lines() const { return QStringList(m_lines.begin(), m_lines.end()); }

int LogModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : count(); }

QVariant LogModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= count() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
    return {};
  return line(index.row());
}

}  // namespace geomuxer
