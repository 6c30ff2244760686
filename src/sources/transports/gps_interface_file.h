#pragma once
// A text file that another program keeps appending to, followed like a log viewer follows a log.

#include <QDateTime>
#include <QFileSystemWatcher>
#include <QTimer>

#include <memory>
#include <string>

#include "sources/transports/gps_stream_interface.h"

namespace geomuxer {

/// File follower transport. The file is opened when the interface is built; while open, every
/// change of the file (seen through a watch on the file and its folder, with a slow poll for file
/// systems that send no notices) feeds what lies between the read position and the end of the
/// file: the first change the whole existing content (or, with `startAtEnd`, only what was
/// appended since the start), later changes the appended bytes. A file that gets shorter than the
/// read position, or another file put in its place under the same name (a log rotation), is read
/// again from its beginning with a fresh decoder, and one line says so in the "geomuxer.file"
/// log; the follower never resumes in the middle of a line at an old offset. A file deleted or
/// moved away, and not back under its name within kGoneGraceMs (a rotation moves the old file
/// away and then creates the new one), ends the transport with a `deviceGone` fault. Main thread
/// only.
class GpsInterfaceFile : public GpsStreamInterface {
  Q_OBJECT

 public:
  /// Slow poll for changes the watcher misses (network shares, some container file systems).
  static constexpr int kPollMs = 1000;
  /// Largest piece read in one go, so that a huge file cannot take all memory at once.
  static constexpr qint64 kMaxChunk = 1 << 20;
  /// How long a missing file may take to reappear before the source ends. Log rotation creates
  /// the new file right after moving the old one away; anything slower is a file that is gone.
  static constexpr int kGoneGraceMs = 500;

  /// Throws InterfaceError "File \"<name>\" does not exist" or "Error opening file".
  GpsInterfaceFile(std::unique_ptr<GpsProtocol> protocol, const QString& filename, QObject* parent = nullptr);
  ~GpsInterfaceFile() override;

  [[nodiscard]] std::string name() const override { return "FILE"; }
  [[nodiscard]] bool isActive() const override { return m_following; }
  void open() override;
  void close() override;

  [[nodiscard]] QString filename() const { return m_filename; }

  /// Skip what the file holds when it is opened and follow only what is appended afterwards, as
  /// `tail -f` does. Off by default. Takes effect at the next `open`.
  [[nodiscard]] bool startAtEnd() const { return m_startAtEnd; }
  void setStartAtEnd(bool on) { m_startAtEnd = on; }

 private:
  void checkFile();
  void readNewData();
  void restartFromBeginning(const char* why);
  void watch();

  QString m_filename;
  QFileSystemWatcher m_watcher;
  QTimer m_poll;
  QTimer m_goneGrace;  // runs while the file is missing
  QDateTime m_lastModified;
  qint64 m_lastSize = 0;
  bool m_following = false;
  bool m_terminating = false;
  bool m_missing = false;  // seen missing, waiting out the grace
  bool m_startAtEnd = false;
};

}  // namespace geomuxer
