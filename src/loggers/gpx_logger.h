#pragma once
// Records each run of the source as one GPX 1.1 track file.

#include <QFile>
#include <QObject>

#include <memory>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "core/track_logger.h"
#include "loggers/file_error.h"

namespace geomuxer {

/// The GPX file logger. `start` creates "<fileDir>/<yyyymmddhhnnss>.gpx" (UTC) with the document
/// header, never over an existing file: a name that exists gets "-1", "-2", ... before ".gpx";
/// `addPosition` appends one track point per position, `stop` writes the closing elements.
/// Every position is recorded: the filter is only reset at start. Each line reaches the operating
/// system with one write, so an interrupted run leaves every point written so far in the file.
/// Start and write failures throw FileError. Main thread only.
class GpxLogger : public QObject, public TrackLogger {
  Q_OBJECT

 public:
  explicit GpxLogger(QObject* parent = nullptr);
  ~GpxLogger() override;

  /// Folder for the files; empty means no file unless the file name handler supplies one.
  [[nodiscard]] const std::string& fileDir() const { return m_fileDir; }
  void setFileDir(std::string dir) { m_fileDir = std::move(dir); }
  /// Sees (and may change) the file name just before the file is created.
  void setFilenameHandler(FilenameHandler handler) { m_filenameHandler = std::move(handler); }
  /// The clock whose UTC time names the file and stamps the document; the system clock by default.
  /// It must outlive the logger.
  void setClock(const Clock& clock) { m_clock = &clock; }

  [[nodiscard]] bool isOpen() const { return m_file != nullptr; }
  /// Path of the open file (empty when none is open).
  [[nodiscard]] std::string openFilename() const;

  void addPosition(const PositionInfo& position) override;
  void start() override;
  void stop() override;

 private:
  // Indent, text and CR LF in one write.
  void writeLine(QFile& file, int indent, std::string_view text);

  std::string m_fileDir;
  FilenameHandler m_filenameHandler;
  const Clock* m_clock = &systemClock();
  std::unique_ptr<QFile> m_file;
  std::string m_text;  // reused between positions
  std::string m_line;
};

}  // namespace geomuxer
