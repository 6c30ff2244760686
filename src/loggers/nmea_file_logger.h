#pragma once
// Writes every recorded position as an NMEA block (RMC, GGA, GLL) to a text file.

#include <QFile>
#include <QObject>

#include <memory>
#include <string>

#include "core/track_logger.h"
#include "loggers/file_error.h"

namespace geomuxer {

/// The NMEA log file. `start` opens the file (appending or truncating), `addPosition` writes one
/// block per accepted position straight to the operating system, `stop` closes it. Start and write
/// failures throw FileError. Main thread only.
class NmeaFileLogger : public QObject, public TrackLogger {
  Q_OBJECT

 public:
  explicit NmeaFileLogger(QObject* parent = nullptr);
  ~NmeaFileLogger() override;

  [[nodiscard]] const std::string& filename() const { return m_filename; }
  void setFilename(std::string filename) { m_filename = std::move(filename); }
  /// Keep an existing file and write at its end, instead of starting a new one.
  [[nodiscard]] bool append() const { return m_append; }
  void setAppend(bool append) { m_append = append; }
  /// Sees (and may change) the file name just before the file is opened.
  void setFilenameHandler(FilenameHandler handler) { m_filenameHandler = std::move(handler); }

  [[nodiscard]] bool isOpen() const { return m_file != nullptr; }
  /// Path of the open file (empty when none is open).
  [[nodiscard]] std::string openFilename() const;

  void addPosition(const PositionInfo& position) override;
  void start() override;
  void stop() override;

 private:
  std::string m_filename;
  bool m_append = false;
  FilenameHandler m_filenameHandler;
  std::unique_ptr<QFile> m_file;
  std::string m_block;  // reused between writes
};

}  // namespace geomuxer
