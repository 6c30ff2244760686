#include "app/headless_frontend.h"

#include <QCoreApplication>

#include "app/app_controller.h"
#include "core/date_time.h"

namespace geomuxer {

HeadlessFrontend::HeadlessFrontend(AppController& controller, std::FILE* out, QObject* parent)
    : QObject(parent), m_controller(controller), m_out(out) {
  connect(&controller.log(), &LogModel::lineAdded, this, &HeadlessFrontend::print);
}

std::optional<std::string> HeadlessFrontend::start(const CommandLine& commandLine) {
  // Says where the settings come from, and tells scripts that signals are now handled.
  std::fprintf(m_out, "%s Geomuxer %s running headless, settings %s\n", formatIsoTime(nowUtc()).c_str(),
               GEOMUXER_VERSION, m_controller.settings().fileName().string().c_str());
  std::fflush(m_out);
  std::optional<std::string> error = m_controller.startUp(commandLine);
  if (error) std::fprintf(stderr, "geomuxer: %s\n", error->c_str());
  return error;
}

void HeadlessFrontend::quit() {
  m_controller.close();
  QCoreApplication::quit();
}

void HeadlessFrontend::print(const QString& line) {
  const std::string stamp = formatIsoTime(nowUtc());
  const QByteArray text = line.toUtf8();
  std::fprintf(m_out, "%s %.*s\n", stamp.c_str(), static_cast<int>(text.size()), text.constData());
  std::fflush(m_out);
}

}  // namespace geomuxer
