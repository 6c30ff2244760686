#include "app/journal_log.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <string>

namespace geomuxer {

namespace {

// The journal's reading of "<N>": 2 critical, 3 error, 4 warning, 6 information, 7 debug.
int qtPriority(QtMsgType type) {
  switch (type) {
    case QtDebugMsg: return 7;
    case QtInfoMsg: return 6;
    case QtWarningMsg: return 4;
    case QtCriticalMsg: return 3;
    case QtFatalMsg: return 2;
  }
  return 6;
}

void journalMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  const QByteArray text = message.toUtf8();
  const char* category = context.category != nullptr ? context.category : "default";
  if (std::string_view(category) == "default") {
    std::fprintf(stderr, "<%d>%s\n", qtPriority(type), text.constData());
  } else {
    std::fprintf(stderr, "<%d>%s: %s\n", qtPriority(type), category, text.constData());
  }
  std::fflush(stderr);
}

}  // namespace

bool isJournalStream(int fd) {
  const char* value = std::getenv("JOURNAL_STREAM");
  if (value == nullptr) return false;
  const std::string_view text(value);
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  const char* first = text.data();
  const char* mid = first + colon;
  const char* last = first + text.size();
  if (std::from_chars(first, mid, device).ptr != mid || std::from_chars(mid + 1, last, inode).ptr != last) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == device && static_cast<unsigned long long>(st.st_ino) == inode;
}

int syslogPriority(LogSeverity severity) {
  switch (severity) {
    case LogSeverity::error: return 3;
    case LogSeverity::warning: return 4;
    case LogSeverity::info: return 6;
  }
  return 6;
}

void writeLogLine(std::FILE* stream, LogSeverity severity, std::string_view text) {
  if (isJournalStream(::fileno(stream))) std::fprintf(stream, "<%d>", syslogPriority(severity));
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

void routeQtMessagesToJournal() {
  if (isJournalStream(STDERR_FILENO)) qInstallMessageHandler(journalMessageHandler);
}

}  // namespace geomuxer
