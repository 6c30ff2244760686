// geomuxer-decode: runs NMEA text through the program's decoder and prints what it hands on, one
// CSV row (or one NMEA block) per position. Reads a file or standard input.

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "core/date_time.h"
#include "core/nmea.h"
#include "core/number_text.h"
#include "sources/decoders/gps_protocol_nmea.h"

namespace {

using namespace geomuxer;

constexpr const char* kUsage =
    "usage: geomuxer-decode [--bytes N] [--no-checksum] [--nmea] [--stats] [FILE]\n"
    "Decodes NMEA 0183 from FILE (or standard input, also for '-') and prints one CSV row per\n"
    "position the decoder hands on (one per receiver epoch with a fix).\n"
    "  --bytes N      feed the decoder N-byte reads instead of one line at a time\n"
    "  --no-checksum  also read lines whose checksum is wrong or missing\n"
    "  --nmea         print the RMC/GGA/GLL block we would write instead of CSV\n"
    "  --stats        afterwards print the decoder's counts to standard error\n";

constexpr const char* kHeader =
    "time,lat,lon,alt,speed_kmh,heading,fix,satellites,satellites_in_view,hdop,pdop,vdop,fields\n";

template <typename Number>
void appendShortest(std::string& out, Number value) {
  std::array<char, 32> buf{};
  const auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  if (ec == std::errc{}) out.append(buf.data(), end);
}

class Printer : public ProtocolHost {
 public:
  explicit Printer(bool nmea) : m_nmea(nmea) {
    if (!m_nmea) std::fputs(kHeader, stdout);
  }

  void deliverPosition(const PositionInfo& p) override {
    m_line.clear();
    if (m_nmea) {
      appendNmeaBlock(m_line, p);
    } else {
      if (p.has(defTime)) m_line += formatIsoTimeMs(p.time);
      m_line += ',';
      if (p.has(defXY)) {
        appendShortest(m_line, p.y);
        m_line += ',';
        appendShortest(m_line, p.x);
      } else {
        m_line += ',';
      }
      cell(p, defAltitude, p.altitude);
      cell(p, defSpeed, p.speed);
      cell(p, defHeading, p.heading);
      m_line += ',';
      if (p.has(defFix)) m_line += std::to_string(static_cast<int>(p.fix));
      m_line += ',';
      if (p.has(defSatellites)) m_line += std::to_string(p.satellites);
      m_line += ',';
      if (p.has(defSatellitesInView)) m_line += std::to_string(p.satellitesInView);
      cell(p, defHDOP, p.hdop);
      cell(p, defPDOP, p.pdop);
      cell(p, defVDOP, p.vdop);
      m_line += ',';
      static constexpr char kHex[] = "0123456789ABCDEF";
      for (int shift = 16; shift >= 0; shift -= 4) m_line += kHex[(p.fields.bits() >> shift) & 0xF];
      m_line += '\n';
    }
    std::fwrite(m_line.data(), 1, m_line.size(), stdout);
  }

 private:
  void cell(const PositionInfo& p, DefField field, float value) {
    m_line += ',';
    if (p.has(field)) appendShortest(m_line, value);
  }

  bool m_nmea;
  std::string m_line;
};

}  // namespace

int main(int argc, char** argv) {
  std::size_t chunkBytes = 0;  // 0: one line per read
  bool checksum = true;
  bool nmea = false;
  bool stats = false;
  const char* path = nullptr;

  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--bytes" && i + 1 < argc) {
      const auto n = parseInt64(argv[++i]);
      if (!n || *n <= 0) {
        std::fprintf(stderr, "geomuxer-decode: --bytes needs a positive number, not '%s'\n", argv[i]);
        return 2;
      }
      chunkBytes = static_cast<std::size_t>(*n);
    } else if (arg == "--no-checksum") {
      checksum = false;
    } else if (arg == "--stats") {
      stats = true;
    } else if (arg == "--nmea") {
      nmea = true;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if ((arg.size() > 1 && arg.front() == '-') || path != nullptr) {
      std::fprintf(stderr, "geomuxer-decode: unexpected argument '%s'\n%s", argv[i], kUsage);
      return 2;
    } else {
      path = argv[i];
    }
  }

  std::FILE* in = stdin;
  if (path != nullptr && std::string_view(path) != "-") {
    in = std::fopen(path, "rb");
    if (in == nullptr) {
      std::fprintf(stderr, "geomuxer-decode: cannot open '%s': %s\n", path, std::strerror(errno));
      return 1;
    }
  }

  GpsProtocolNmea decoder;
  decoder.setCheckChecksum(checksum);
  Printer printer(nmea);

  // Reads are cut into the decoder's chunks: N bytes each, or one line each (terminator included).
  std::string pending;
  std::array<char, 65536> buffer{};
  for (;;) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
    if (got == 0) break;
    pending.append(buffer.data(), got);
    std::size_t at = 0;
    if (chunkBytes > 0) {
      for (; pending.size() - at >= chunkBytes; at += chunkBytes)
        decoder.processData(printer, std::string_view(pending).substr(at, chunkBytes));
    } else {
      for (std::size_t nl; (nl = pending.find('\n', at)) != std::string::npos; at = nl + 1)
        decoder.processData(printer, std::string_view(pending).substr(at, nl + 1 - at));
    }
    pending.erase(0, at);
  }
  if (!pending.empty()) decoder.processData(printer, pending);
  decoder.flush(printer);  // the end of the input closes the last epoch
  const bool readError = std::ferror(in) != 0;
  if (in != stdin) std::fclose(in);
  std::fflush(stdout);
  if (stats) {
    const GpsProtocolNmea::Stats& s = decoder.stats();
    std::fprintf(stderr,
                 "sentences: %llu\npositions: %llu\nepochs without a fix: %llu\ndropped: %llu (%s)\n",
                 static_cast<unsigned long long>(s.lines), static_cast<unsigned long long>(s.positions),
                 static_cast<unsigned long long>(s.epochsWithoutFix), static_cast<unsigned long long>(s.dropped()),
                 GpsProtocolNmea::droppedText(s).c_str());
  }
  if (readError) {
    std::fprintf(stderr, "geomuxer-decode: read error\n");
    return 1;
  }
  return 0;
}
