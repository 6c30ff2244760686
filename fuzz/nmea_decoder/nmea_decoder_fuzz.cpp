// Feeds arbitrary bytes to the NMEA decoder in read sizes chosen by the input itself, with the
// checksum check on or off, and checks every record it hands on: a position, every flagged value
// inside its range, and written back out as NMEA without trouble.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/nmea.h"
#include "core/value_checks.h"
#include "sources/decoders/gps_protocol_nmea.h"

namespace {

struct Host : geomuxer::ProtocolHost {
  void deliverPosition(const geomuxer::PositionInfo& p) override {
    if (!p.has(geomuxer::defXY)) std::abort();
    geomuxer::PositionInfo checked = p;
    if (!geomuxer::clearInvalidValues(checked).empty()) std::abort();
    const std::string block = geomuxer::nmeaBlock(p);
    // Every block is three framed lines, whatever the record holds.
    std::size_t lines = 0;
    for (char c : block) lines += c == '\n';
    if (lines != 3 || block.front() != '$') std::abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // First byte: checksum check and the read-size pattern; second: the largest read.
  const bool checksum = (data[0] & 1) != 0;
  const std::size_t maxRead = static_cast<std::size_t>(data[1]) + 1;
  std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);

  geomuxer::GpsProtocolNmea decoder;
  decoder.setCheckChecksum(checksum);
  std::size_t lines = 0;
  decoder.setSentenceHandler([&](std::string_view line) {
    if (line.empty() || line.size() > geomuxer::GpsProtocolNmea::kMaxLine) std::abort();
    ++lines;
  });
  Host host;
  unsigned state = data[0];
  while (!input.empty()) {
    state = state * 1103515245u + 12345u;
    const std::size_t n = std::min(input.size(), 1 + (state >> 16) % maxRead);
    decoder.processData(host, input.substr(0, n));
    input.remove_prefix(n);
    if (decoder.fragment().size() > geomuxer::GpsProtocolNmea::kMaxFragment) std::abort();
    if ((state >> 8) % 7 == 0) decoder.flush(host);  // a quiet line now and then
  }
  decoder.flush(host);
  if (decoder.holdsPosition()) std::abort();
  return 0;
}
