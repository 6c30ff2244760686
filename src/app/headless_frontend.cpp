#include "app/headless_frontend.h"

#include <QCoreApplication>

#include "app/app_controller.h"
#include "app/journal_log.h"
#include "core/date_time.h"
#include "settings/app_paths.h"

namespace geomuxer {

HeadlessFrontend::HeadlessFrontend(AppController& controller, std::FILE* out, QObject* parent)
    : QObject(parent), m_controller(controller), m_out(out), m_journal(isJournalStream(::fileno(out))) {
  connect(&controller.log(), &LogModel::lineAdded, this, &HeadlessFrontend::print);
}

std::optional<std::string> HeadlessFrontend::start(const CommandLine& commandLine) {
  // Says where the settings come from, and tells scripts that signals are now handled.
  const std::filesystem::path& settingsFile = m_controller.settings().fileName();
  print(QStringLiteral("Geomuxer %1 running headless, settings %2%3")
            .arg(QLatin1String(GEOMUXER_VERSION), QString::fromStdString(settingsFile.string()),
                 canReplaceFile(settingsFile) ? QString() : QStringLiteral(" (read-only, not written back)")));
  std::optional<std::string> error = m_controller.startUp(commandLine);
  if (error) writeLogLine(stderr, LogSeverity::error, "geomuxer: " + *error);
  return error;
}

void HeadlessFrontend::quit() {
  m_controller.close();
  QCoreApplication::quit();
}

void HeadlessFrontend::print(const QString& line) {
  const QByteArray text = line.toUtf8();
  if (m_journal) {
    std::fprintf(m_out, "<%d>%.*s\n", syslogPriority(severityOf(line)), static_cast<int>(text.size()), text.constData());
  } else {
    const std::string stamp = formatIsoTime(nowUtc());
    std::fprintf(m_out, "%s %.*s\n", stamp.c_str(), static_cast<int>(text.size()), text.constData());
  }
  std::fflush(m_out);
}

}  // namespace geomuxer
