#pragma once
// Log lines for the journal. When the service manager connects standard output or error to the
// journal it says so in JOURNAL_STREAM (device and inode of that stream). Lines written there then
// start with a syslog priority in angle brackets ("<3>" error, "<6>" information), which the journal
// takes as the line's priority and strips, and carry no time stamp of their own: the journal stamps
// every line. Anywhere else (a terminal, a file, a pipe) lines stay as they are.

#include <cstdio>
#include <string_view>

#include "app/log_model.h"

namespace geomuxer {

/// True when `fd` is the stream that JOURNAL_STREAM names.
[[nodiscard]] bool isJournalStream(int fd);

/// The syslog priority of a severity: error 3, warning 4, information 6.
[[nodiscard]] int syslogPriority(LogSeverity severity);

/// Writes `text` and a line break to `stream` and flushes it; with the priority prefix when the
/// stream is the journal.
void writeLogLine(std::FILE* stream, LogSeverity severity, std::string_view text);

/// When standard error is the journal, Qt's diagnostics (qCDebug ... qCCritical) go there with their
/// priority; otherwise Qt's own handler stays. Call once at start, on the main thread.
void routeQtMessagesToJournal();

}  // namespace geomuxer
