// Decoder throughput on a generated log (see nmea_loggen and compare-nmea.sh), read in 64-byte,
// 4 KB and 64 KB chunks, beside a plain scan that only finds line ends, splits fields and computes
// checksums: the practical limit for any line decoder. Run with --log=FILE.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <new>
#include <sstream>
#include <string>

#include "core/nmea.h"
#include "sources/decoders/gps_protocol_nmea.h"

// Every allocation in the process is counted, to show that decoding allocates nothing per sentence.
static std::atomic<std::size_t> g_allocations{0};

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace geomuxer;

std::string g_log;
std::size_t g_sentences = 0;

struct CountingHost : ProtocolHost {
  std::size_t positions = 0;
  float sink = 0;
  void deliverPosition(const PositionInfo& p) override {
    ++positions;
    sink += p.x;
  }
};

void decode(benchmark::State& state, bool checksum) {
  const auto chunk = static_cast<std::size_t>(state.range(0));
  GpsProtocolNmea decoder;
  decoder.setCheckChecksum(checksum);
  CountingHost host;
  const std::string_view log = g_log;
  // One untimed pass lets the decoder's buffers reach their working size.
  for (std::size_t at = 0; at < log.size(); at += chunk) decoder.processData(host, log.substr(at, chunk));
  const std::size_t allocationsBefore = g_allocations.load();
  for (auto _ : state) {
    for (std::size_t at = 0; at < log.size(); at += chunk) decoder.processData(host, log.substr(at, chunk));
    benchmark::DoNotOptimize(host.sink);
  }
  const auto iterations = static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(log.size()));
  state.counters["sentences"] =
      benchmark::Counter(static_cast<double>(g_sentences) * iterations, benchmark::Counter::kIsRate);
  state.counters["allocs_per_sentence"] =
      static_cast<double>(g_allocations.load() - allocationsBefore) / (static_cast<double>(g_sentences) * iterations);
}

void BM_Decoder(benchmark::State& state) { decode(state, false); }
void BM_DecoderChecksum(benchmark::State& state) { decode(state, true); }

// Line ends, fields and checksums only: no numbers read, no record built.
void BM_PlainScan(benchmark::State& state) {
  const std::string_view log = g_log;
  NmeaFields fields;
  for (auto _ : state) {
    std::size_t good = 0, fieldCount = 0;
    for (std::size_t at = 0; at < log.size();) {
      const void* nl = std::memchr(log.data() + at, '\n', log.size() - at);
      const std::size_t end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - log.data()) : log.size();
      std::string_view line = log.substr(at, end - at);
      at = end + 1;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.empty() || line.front() != '$') continue;
      const std::size_t star = line.find('*');
      const std::string_view payload = line.substr(1, star == std::string_view::npos ? line.npos : star - 1);
      const std::uint8_t sum = nmeaChecksumValue(payload);
      if (star != std::string_view::npos && star + 2 < line.size()) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        good += line[star + 1] == kHex[sum >> 4] && line[star + 2] == kHex[sum & 15];
      }
      fields.split(payload);
      fieldCount += fields.size();
    }
    benchmark::DoNotOptimize(good);
    benchmark::DoNotOptimize(fieldCount);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(log.size()));
  state.counters["sentences"] = benchmark::Counter(
      static_cast<double>(g_sentences) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_Decoder)->Arg(64)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_DecoderChecksum)->Arg(65536)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PlainScan)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--log=", 6) == 0)
      path = argv[i] + 6;
    else
      argv[kept++] = argv[i];
  }
  argc = kept;
  if (path.empty()) {
    std::fprintf(stderr, "usage: nmea_bench --log=FILE [benchmark options]  (make FILE with nmea_loggen)\n");
    return 2;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "nmea_bench: cannot read %s\n", path.c_str());
    return 1;
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  g_log = buffer.str();
  for (char c : g_log) g_sentences += c == '\n';

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
