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
/// file: the first change the whole existing content, later changes the appended bytes. A file
/// that shrinks feeds nothing until it grows past the read position; a file replaced by another
/// one under the same name is followed from the same position. A file deleted or moved away
/// ends the transport with a `deviceGone` fault. Main thread only.
class GpsInterfaceFile : public GpsStreamInterface {
  Q_OBJECT

 public:
  /// Slow poll for changes the watcher misses (network shares, some container file systems).
  static constexpr int kPollMs = 1000;
  /// Largest piece read in one go, so that a huge file cannot take all memory at once.
  static constexpr qint64 kMaxChunk = 1 << 20;

  /// Throws InterfaceError "File \"<name>\" does not exist" or "Error opening file".
  GpsInterfaceFile(std::unique_ptr<GpsProtocol> protocol, const QString& filename, QObject* parent = nullptr);
  ~GpsInterfaceFile() override;

  [[nodiscard]] std::string name() const override { return "FILE"; }
  [[nodiscard]] bool isActive() const override { return m_following; }
  void open() override;
  void close() override;

  [[nodiscard]] QString filename() const { return m_filename; }

 private:
  void checkFile();
  void readNewData();
  void watch();

  QString m_filename;
  QFileSystemWatcher m_watcher;
  QTimer m_poll;
  QDateTime m_lastModified;
  qint64 m_lastSize = 0;
  bool m_following = false;
  bool m_terminating = false;
};

}  // namespace geomuxer
