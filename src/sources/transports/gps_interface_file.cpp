#include "sources/transports/gps_interface_file.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <string_view>

namespace geomuxer {
namespace {

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

}  // namespace

GpsInterfaceFile::GpsInterfaceFile(std::unique_ptr<GpsProtocol> decoder, const QString& filename, QObject* parent)
    : GpsStreamInterface(std::move(decoder), openFile(filename), parent), m_filename(filename) {
  m_poll.setInterval(kPollMs);
  m_poll.setTimerType(Qt::CoarseTimer);
  connect(&m_poll, &QTimer::timeout, this, &GpsInterfaceFile::checkFile);
  connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &GpsInterfaceFile::checkFile);
  connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &GpsInterfaceFile::checkFile);
}

GpsInterfaceFile::~GpsInterfaceFile() { close(); }

void GpsInterfaceFile::open() {
  if (m_following) close();
  const QFileInfo info(m_filename);
  m_lastModified = info.lastModified();
  m_lastSize = info.size();
  if (protocol() != nullptr) protocol()->start(*this);
  m_terminating = false;
  m_following = true;
  watch();
  m_poll.start();
}

void GpsInterfaceFile::close() {
  if (!m_following) return;
  m_following = false;
  m_poll.stop();
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
    m_terminating = true;
    reportFault({FaultKind::deviceGone, QStringLiteral("File \"%1\" is gone").arg(m_filename).toStdString(), false});
    return;
  }
  auto* file = static_cast<QFile*>(device());
  if (replacedUnderneath(*file)) {
    // Follow the new file from the same position, as if it had been rewritten in place.
    const qint64 position = file->pos();
    file->close();
    if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
      m_terminating = true;
      reportFault({FaultKind::deviceGone, "Error opening file", false});
      return;
    }
    (void)file->seek(position);
    m_watcher.removePath(m_filename);
  }
  watch();
  const QDateTime modified = info.lastModified();
  const qint64 size = info.size();
  if (modified == m_lastModified && size <= m_lastSize) return;
  m_lastModified = modified;
  m_lastSize = size;
  readNewData();
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
