#include "loggers/nmea_file_logger.h"

#include "core/nmea.h"

namespace geomuxer {

namespace {

std::string fileMessage(const char* what, const QFile& file) {
  return QStringLiteral("%1 \"%2\". %3")
      .arg(QString::fromUtf8(what), file.fileName(), file.errorString())
      .toStdString();
}

}  // namespace

NmeaFileLogger::NmeaFileLogger(QObject* parent) : QObject(parent) {}

NmeaFileLogger::~NmeaFileLogger() { stop(); }

std::string NmeaFileLogger::openFilename() const {
  return m_file ? m_file->fileName().toStdString() : std::string{};
}

void NmeaFileLogger::start() {
  if (m_file) stop();
  if (!active()) return;
  if (filter() != nullptr) filter()->reset();
  std::string name = m_filename;
  if (m_filenameHandler) m_filenameHandler(*this, name);
  if (name.empty()) return;

  auto file = std::make_unique<QFile>(QString::fromStdString(name));
  // Unbuffered: every block reaches the operating system with its one write.
  if (m_append && file->exists()) {
    if (!file->open(QIODevice::ReadWrite | QIODevice::Unbuffered) || !file->seek(file->size()))
      throw FileError(fileMessage("Cannot open file", *file));
  } else {
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
      throw FileError(fileMessage("Cannot create file", *file));
  }
  m_file = std::move(file);
}

void NmeaFileLogger::addPosition(const PositionInfo& position) {
  if (!m_file || !active()) return;
  if (filter() != nullptr && !filter()->accept(position)) return;
  m_block.clear();
  appendNmeaBlock(m_block, position);
  const auto size = static_cast<qint64>(m_block.size());
  if (m_file->write(m_block.data(), size) != size) throw FileError(fileMessage("Error writing file", *m_file));
}

void NmeaFileLogger::stop() {
  if (!m_file) return;
  m_file->close();
  m_file.reset();
}

}  // namespace geomuxer
