// Feeds arbitrary bytes to the Garmin serial decoder in read sizes chosen by the input itself,
// with idle polls and clock jumps in between, and checks what it hands on and writes back.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/clock.h"
#include "sources/decoders/garmin_packet.h"
#include "sources/decoders/gps_protocol_garmin.h"

namespace {

struct Host : geomuxer::ProtocolHost {
  void deliverPosition(const geomuxer::PositionInfo& p) override {
    // Whatever the bytes, a delivered position is on the earth and carries only finite values.
    if (!std::isfinite(p.time) || std::fabs(p.x) > 180.0f || std::fabs(p.y) > 90.0f) std::abort();
    if (p.has(geomuxer::defHeading) && !(p.heading >= 0.0f && p.heading <= 360.0f)) std::abort();
    if (p.has(geomuxer::defSpeed) && !(p.speed >= 0.0f)) std::abort();
  }
  void writeBytes(std::string_view bytes) override {
    // The decoder only ever sends one of its four fixed packets.
    using namespace geomuxer::garmin;
    if (bytes != kStartPvtPacket && bytes != kStopPvtPacket && bytes != kAckPvtPacket && bytes != kNakPvtPacket)
      std::abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // First byte: seed of the read-size and poll pattern; second: the largest read.
  const std::size_t maxRead = static_cast<std::size_t>(data[1]) + 1;
  std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);

  geomuxer::FixedClock clock;
  geomuxer::GpsProtocolGarmin decoder(clock);
  Host host;
  decoder.start(host);
  unsigned state = data[0];
  while (!input.empty()) {
    state = state * 1103515245u + 12345u;
    const std::size_t n = std::min(input.size(), 1 + (state >> 16) % maxRead);
    (void)decoder.processData(host, input.substr(0, n));
    input.remove_prefix(n);
    clock.set(clock.now() + geomuxer::Clock::Duration((state >> 8) % 1024));
    if ((state & 3u) == 0) (void)decoder.processData(host, {});
  }
  decoder.stop(host);
  return 0;
}
