#include "loggers/track_logger_list.h"

#include <algorithm>
#include <exception>

namespace geomuxer {

TrackLoggerList::TrackLoggerList(QObject* parent) : QObject(parent) {}

int TrackLoggerList::add(TrackLogger* logger) {
  if (logger == nullptr || logger == this) return -1;
  if (std::find(m_loggers.begin(), m_loggers.end(), logger) != m_loggers.end()) return -1;
  m_loggers.push_back(logger);
  return count() - 1;
}

template <typename Call>
void TrackLoggerList::forEach(Call call) {
  const std::size_t n = m_loggers.size();
  for (std::size_t i = 0; i < n; ++i) {
    try {
      call(*m_loggers[i]);
    } catch (const std::exception& e) {
      emit errorOccurred(QString::fromUtf8(e.what()));
    } catch (...) {
      emit errorOccurred(QStringLiteral("Unknown error"));
    }
  }
}

void TrackLoggerList::addPosition(const PositionInfo& position) {
  forEach([&](TrackLogger& logger) { logger.addPosition(position); });
}

void TrackLoggerList::addSentences(std::string_view lines) {
  forEach([&](TrackLogger& logger) { logger.addSentences(lines); });
}

void TrackLoggerList::start() {
  forEach([](TrackLogger& logger) { logger.start(); });
}

void TrackLoggerList::stop() {
  forEach([](TrackLogger& logger) { logger.stop(); });
}

}  // namespace geomuxer
