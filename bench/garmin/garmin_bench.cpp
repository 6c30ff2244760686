// Garmin serial decoder throughput over a stream of PVT packets (with DLE-stuffed bytes), read in
// serial-port sized chunks, single bytes and whole; and the cost of one PVT conversion.

#include <benchmark/benchmark.h>

#include <bit>
#include <cstdint>
#include <numbers>
#include <string>

#include "sources/decoders/garmin_packet.h"
#include "sources/decoders/gps_protocol_garmin.h"

namespace {

using namespace geomuxer;

garmin::PvtRecord sample(int i) {
  garmin::PvtRecord r;
  r.alt = std::bit_cast<float>(0x44961010u);
  r.eph = 4.0f;
  r.epv = 6.0f;
  r.fix = 3;
  r.tow = 200000.0 + i;
  r.lat = (47.0 + i * 1e-5) * std::numbers::pi / 180.0;
  r.lon = 8.0 * std::numbers::pi / 180.0;
  r.east = 3.0f;
  r.north = 4.0f;
  r.leapSeconds = 18;
  r.weekNumberDays = 12000;
  return r;
}

const std::string& stream() {
  static const std::string bytes = [] {
    std::string s = garmin::encodeSerialPacket(garmin::kIdAck, std::string{'\x0a', '\0'});
    for (int i = 0; i < 20000; ++i) s += garmin::encodeSerialPacket(garmin::kIdPvt, garmin::encodePvt(sample(i)));
    return s;
  }();
  return bytes;
}

struct CountingHost : ProtocolHost {
  void deliverPosition(const PositionInfo& p) override {
    ++positions;
    benchmark::DoNotOptimize(p.x);
  }
  void writeBytes(std::string_view) override {}
  std::int64_t positions = 0;
};

void BM_GarminDecode(benchmark::State& state) {
  const std::string& input = stream();
  const auto chunk = static_cast<std::size_t>(state.range(0));
  std::int64_t positions = 0;
  for (auto _ : state) {
    const FixedClock clock;
    GpsProtocolGarmin decoder(clock);
    CountingHost host;
    decoder.start(host);
    for (std::size_t at = 0; at < input.size(); at += chunk)
      (void)decoder.processData(host, std::string_view(input).substr(at, chunk));
    positions += host.positions;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(input.size()));
  state.counters["positions/s"] = benchmark::Counter(static_cast<double>(positions), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_GarminDecode)->Arg(1)->Arg(64)->Arg(1024)->Arg(1 << 30)->Unit(benchmark::kMillisecond);

void BM_PvtConversion(benchmark::State& state) {
  const std::string raw = garmin::encodePvt(sample(1));
  for (auto _ : state) {
    const auto record = garmin::parsePvt(raw);
    benchmark::DoNotOptimize(garmin::pvtToPosition(*record));
  }
}
BENCHMARK(BM_PvtConversion);

}  // namespace
