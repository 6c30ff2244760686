#include "sources/transports/gps_interface_file.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <sys/stat.h>

#include <algorithm>
#include <string_view>

namespace geomuxer {
namespace {

Q_LOGGING_CATEGORY(lcFile, "geomuxer.file")

// How far back from the end of the file to look for the last line end when following from the
// end; a longer last line is no sentence and is skipped.
constexpr qint64 kLastLineLookBack = 4096;

std::unique_ptr<QIODevice> openFile(const QString& filename) {
  if (!QFileInfo::exists(filename)) {
    throw InterfaceError(TransportFault{FaultKind::deviceGone,
                                        QStringLiteral("File \"%1\" does not exist").arg(filename).toStdString(), false});
  }
  // Unbuffered: after the end of the file has been reached once, later reads must see what the
  // writer appended, not a stale buffer.
  auto file = std::make_unique<QFile>(filename);
  if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) throw InterfaceError("Error opening file");
  return file;
}

// Whether the name now leads to another file than the one held open (replaced by a rename).
bool replacedUnderneath(const QFile& file) {
  struct stat opened {};
  struct stat named {};
  if (::fstat(file.handle(), &opened) != 0) return false;
  if (::stat(QFile::encodeName(file.fileName()).constData(), &named) != 0) return false;
  return opened.st_dev != named.st_dev || opened.st_ino != named.st_ino;
}

// Where following from the end begins: just after the last line end, so that a line the writer
// is still in the middle of is read whole rather than from its middle.
qint64 startOfLastLine(QFile& file) {
  const qint64 size = file.size();
  const qint64 from = std::max<qint64>(0, size - kLastLineLookBack);
  if (!file.seek(from)) return size;
  const QByteArray tail = file.read(size - from);
  const qsizetype end = std::max(tail.lastIndexOf('\n'), tail.lastIndexOf('\r'));
  if (end < 0) return from == 0 ? 0 : size;
  return from + end + 1;
}

}  // namespace

GpsInterfaceFile::GpsInterfaceFile(std::unique_ptr<GpsProtocol> decoder, const QString& filename, QObject* parent)
    : GpsStreamInterface(std::move(decoder), openFile(filename), parent), m_filename(filename) {
  m_poll.setInterval(kPollMs);
  m_poll.setTimerType(Qt::CoarseTimer);
  connect(&m_poll, &QTimer::timeout, this, &GpsInterfaceFile::checkFile);
  m_goneGrace.setSingleShot(true);
  m_goneGrace.setInterval(kGoneGraceMs);
  connect(&m_goneGrace, &QTimer::timeout, this, &GpsInterfaceFile::checkFile);
  connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &GpsInterfaceFile::checkFile);
  connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &GpsInterfaceFile::checkFile);
}

GpsInterfaceFile::~GpsInterfaceFile() { close(); }

void GpsInterfaceFile::open() {
  if (m_following) close();
  const QFileInfo info(m_filename);
  m_lastModified = info.lastModified();
  // Read from the beginning, what the file holds already is read at the first look.
  m_lastSize = m_startAtEnd ? info.size() : -1;
  auto* file = static_cast<QFile*>(device());
  (void)file->seek(m_startAtEnd ? startOfLastLine(*file) : 0);
  if (protocol() != nullptr) protocol()->start(*this);
  m_terminating = false;
  m_missing = false;
  m_following = true;
  watch();
  m_poll.start();
}

void GpsInterfaceFile::close() {
  if (!m_following) return;
  m_following = false;
  m_poll.stop();
  m_goneGrace.stop();
  if (!m_watcher.files().isEmpty()) m_watcher.removePaths(m_watcher.files());
  if (!m_watcher.directories().isEmpty()) m_watcher.removePaths(m_watcher.directories());
  if (protocol() != nullptr) protocol()->stop(*this);
}

void GpsInterfaceFile::watch() {
  // The folder reports renames, deletions and replacements; the file itself reports appends.
  const QFileInfo info(m_filename);
  const QString folder = info.absolutePath();
  if (!m_watcher.directories().contains(folder)) m_watcher.addPath(folder);
  if (!m_watcher.files().contains(m_filename)) m_watcher.addPath(m_filename);
}

void GpsInterfaceFile::checkFile() {
  if (!m_following || m_terminating) return;
  const QFileInfo info(m_filename);
  if (!info.exists()) {
    if (!m_missing) {
      m_missing = true;
      m_goneGrace.start();
      return;
    }
    if (m_goneGrace.isActive()) return;
    m_terminating = true;
    reportFault({FaultKind::deviceGone, QStringLiteral("File \"%1\" is gone").arg(m_filename).toStdString(), false});
    return;
  }
  m_missing = false;
  m_goneGrace.stop();
  auto* file = static_cast<QFile*>(device());
  const char* restart = nullptr;
  if (replacedUnderneath(*file)) {
    file->close();
    if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
      m_terminating = true;
      reportFault({FaultKind::deviceGone, "Error opening file", false});
      return;
    }
    m_watcher.removePath(m_filename);
    restart = "was replaced";
  } else if (file->size() < file->pos()) {
    restart = "got shorter";
  }
  watch();
  if (restart != nullptr) {
    restartFromBeginning(restart);
    if (!m_following) return;
  }
  const QDateTime modified = info.lastModified();
  const qint64 size = info.size();
  if (restart == nullptr && modified == m_lastModified && size <= m_lastSize) return;
  m_lastModified = modified;
  m_lastSize = size;
  readNewData();
}

void GpsInterfaceFile::restartFromBeginning(const char* why) {
  // Rotated or rewritten: the old content's last epoch was complete and is handed on now; the
  // new content starts at its first byte, and nothing else the decoder kept (an unfinished
  // line) belongs to it.
  qCInfo(lcFile, "File \"%s\" %s; reading it from the beginning", qUtf8Printable(m_filename), why);
  (void)device()->seek(0);
  guarded([this] {
    if (protocol() == nullptr) return;
    stopQuietTimer();
    protocol()->flush(*this);
    if (m_following) protocol()->start(*this);
  });
}

void GpsInterfaceFile::readNewData() {
  guarded([this] {
    QIODevice* file = device();
    QByteArray chunk;
    // Delivering may stop the tracker and close this interface; check before every read.
    while (m_following) {
      const qint64 available = file->size() - file->pos();
      if (available <= 0) return;
      chunk.resize(static_cast<qsizetype>(std::min(available, kMaxChunk)));
      const qint64 got = file->read(chunk.data(), chunk.size());
      if (got <= 0) return;
      feed(std::string_view(chunk.constData(), static_cast<std::size_t>(got)));
    }
  });
}

}  // namespace geomuxer
