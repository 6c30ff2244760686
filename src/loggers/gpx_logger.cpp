#include "loggers/gpx_logger.h"

#include <cstdio>

#include "core/number_text.h"
#include "core/value_checks.h"

namespace geomuxer {

namespace {

constexpr std::string_view kGpxStart =
    "<gpx xmlns=\"http://www.topografix.com/GPX/1/1\" creator=\"Geomuxer\" version=\"1.1\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 http://www.topografix.com/GPX/1/1/gpx.xsd\">";

std::string fileMessage(const char* what, const QFile& file) {
  return QStringLiteral("%1 \"%2\". %3")
      .arg(QString::fromUtf8(what), file.fileName(), file.errorString())
      .toStdString();
}

// "yyyymmddhhnnss", or only the date when `withTime` is false.
std::string compactStamp(DateTime value, bool withTime) {
  const DateTimeParts t = splitDateTime(value);
  char text[16];
  if (withTime)
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
  else
    std::snprintf(text, sizeof text, "%04d%02d%02d", t.year, t.month, t.day);
  return text;
}

// How many "-N" suffixes are tried before a name counts as unusable.
constexpr int kMaxSuffix = 10000;

// `name` itself when no file has it, else "<stem>-1<extension>", "-2", ... the first that is free.
std::string unusedName(const std::string& name) {
  if (!QFile::exists(QString::fromStdString(name))) return name;
  const std::size_t slash = name.find_last_of("/\\");
  std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = name.size();
  for (int n = 1; n <= kMaxSuffix; ++n) {
    std::string candidate = name.substr(0, dot) + '-' + std::to_string(n) + name.substr(dot);
    if (!QFile::exists(QString::fromStdString(candidate))) return candidate;
  }
  return name;
}

// The schema's fix kinds; kinds it has no word for (unknown, estimated, manual, simulated) are
// left out, which the schema reads as "not known".
std::string_view gpxFix(Fix fix) {
  switch (fix) {
    case fixInvalid: return "none";
    case fix2D: return "2d";
    case fix3D: return "3d";
    case fix2D_diff:
    case fix3D_diff:
    case fixRTK:
    case fixFRTK: return "dgps";
    case fixPrec: return "pps";
    default: return {};
  }
}

}  // namespace

GpxLogger::GpxLogger(QObject* parent) : QObject(parent) {}

GpxLogger::~GpxLogger() {
  try {
    stop();
  } catch (...) {
    // A destructor must not throw; the points written so far are on disk already.
  }
}

std::string GpxLogger::openFilename() const {
  return m_file ? m_file->fileName().toStdString() : std::string{};
}

void GpxLogger::writeLine(QFile& file, int indent, std::string_view text) {
  m_line.assign(static_cast<std::size_t>(indent), ' ');
  m_line.append(text);
  m_line.append("\r\n");
  const auto size = static_cast<qint64>(m_line.size());
  if (file.write(m_line.data(), size) != size) throw FileError(fileMessage("Error writing file", file));
}

void GpxLogger::start() {
  if (m_file) stop();
  if (!active()) return;
  if (filter() != nullptr) filter()->reset();

  const DateTime now = m_clock->utcNow();
  std::string name;
  if (!m_fileDir.empty()) {
    name = m_fileDir;
    if (name.back() != '/' && name.back() != '\\') name += '/';
    name += compactStamp(now, true) + ".gpx";
  }
  if (!name.empty()) name = unusedName(name);
  if (m_filenameHandler) m_filenameHandler(*this, name);
  if (name.empty()) return;

  // Never over an existing file: a name taken (by a run in the same second, or between the check
  // and now) gets the next suffix. Unbuffered: every line reaches the system with its one write.
  auto file = std::make_unique<QFile>(QString::fromStdString(name));
  for (int attempt = 1; !file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered); ++attempt) {
    if (!file->exists() || attempt > kMaxSuffix) throw FileError(fileMessage("Cannot create file", *file));
    file = std::make_unique<QFile>(QString::fromStdString(unusedName(name)));
  }
  writeLine(*file, 0, R"(<?xml version="1.0" encoding="UTF-8" standalone="no"?>)");
  writeLine(*file, 0, kGpxStart);
  writeLine(*file, 2, "<metadata>");
  writeLine(*file, 4, "<time>" + formatIsoTime(now) + "</time>");
  writeLine(*file, 2, "</metadata>");
  writeLine(*file, 2, "<trk>");
  writeLine(*file, 4, "<name>Log" + compactStamp(now, false) + "</name>");
  writeLine(*file, 4, "<trkseg>");
  m_file = std::move(file);
}

void GpxLogger::addPosition(const PositionInfo& position) {
  if (!m_file || !active()) return;
  // The schema's longitude range is [-180, 180): the antimeridian is written as its western side.
  const double lon = position.x == 180.0 ? -180.0 : position.x;
  m_text = "<trkpt lat=\"";
  appendFixed(m_text, position.y, 7);
  m_text += "\" lon=\"";
  appendFixed(m_text, lon, 7);
  m_text += "\">";
  writeLine(*m_file, 6, m_text);
  // The schema wants "ele" before "time".
  if (position.has(defAltitude)) {
    m_text = "<ele>";
    appendFixed(m_text, static_cast<double>(position.altitude), 7);
    m_text += "</ele>";
    writeLine(*m_file, 8, m_text);
  }
  writeLine(*m_file, 8, "<time>" + formatIsoTimeMs(position.time) + "</time>");
  // The rest in the schema's order; values outside their range are left out rather than written
  // as text that no reader accepts.
  const auto element = [&](std::string_view name, DefField field, float value) {
    if (!position.has(field) || !validValue(field, value)) return;
    m_text = "<";
    m_text += name;
    m_text += '>';
    m_text += formatShortest(value);
    m_text += "</";
    m_text += name;
    m_text += '>';
    writeLine(*m_file, 8, m_text);
  };
  element("geoidheight", defGeoidHeight, position.geoidHeight);
  if (position.has(defFix)) {
    if (const std::string_view fix = gpxFix(position.fix); !fix.empty())
      writeLine(*m_file, 8, "<fix>" + std::string(fix) + "</fix>");
  }
  if (position.has(defSatellites) && validValue(defSatellites, position.satellites))
    writeLine(*m_file, 8, "<sat>" + std::to_string(position.satellites) + "</sat>");
  element("hdop", defHDOP, position.hdop);
  element("vdop", defVDOP, position.vdop);
  element("pdop", defPDOP, position.pdop);
  writeLine(*m_file, 6, "</trkpt>");
}

void GpxLogger::stop() {
  if (!m_file) return;
  // The logger is left without a file even when the closing lines cannot be written.
  const std::unique_ptr<QFile> file = std::move(m_file);
  writeLine(*file, 4, "</trkseg>");
  writeLine(*file, 2, "</trk>");
  writeLine(*file, 0, "</gpx>");
  file->close();
}

}  // namespace geomuxer
