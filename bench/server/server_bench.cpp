// Position intake rate of the server database: one StorePosition call (one transaction) per
// position, as the intake stores them, in each journal mode, and in WAL mode while four threads
// keep reading feeds. Run on a release build:
//   build/release/bench/server/server_bench --benchmark_min_time=3
// The database lives in $TMPDIR (default /tmp); put that on the disk you want to measure.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "server/sqlite_store.h"

namespace {

using geomuxer::Database;
using geomuxer::SqliteStore;
using geomuxer::JournalMode;

class TempDatabaseDir {
 public:
  TempDatabaseDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "geomuxer-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
  }
  ~TempDatabaseDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  [[nodiscard]] std::filesystem::path file() const { return m_path / "geomuxer.db"; }

 private:
  std::filesystem::path m_path;
};

std::filesystem::path dataDir() { return std::filesystem::path(GEOMUXER_SOURCE_DIR) / "data"; }

geomuxer::PositionInfo position(std::int64_t i) {
  geomuxer::PositionInfo p;
  p.time = 45000.0 + static_cast<double>(i) / 86400.0;
  p.x = 8.5f + static_cast<float>(i % 1000) * 1e-5f;
  p.y = 47.1f;
  p.altitude = 500.0f;
  p.speed = 42.0f;
  p.satellites = 8;
  p.fields = {geomuxer::defTime, geomuxer::defXY, geomuxer::defAltitude, geomuxer::defSpeed,
              geomuxer::defSatellites};
  return p;
}

// A new track every 100 positions, like an uploader that restarts now and then.
std::string trackOf(std::int64_t i) { return "track-" + std::to_string(i / 100); }

void storeLoop(benchmark::State& state, Database& db, std::int64_t user) {
  std::int64_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(db.storePosition(user, position(i), "", trackOf(i)));
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_StorePosition(benchmark::State& state) {
  const auto mode = static_cast<JournalMode>(state.range(0));
  TempDatabaseDir dir;
  SqliteStore::Options options;
  options.journalMode = mode;
  // WAL runs with synchronous ON (SQLite's NORMAL); the other modes keep SQLite's default (FULL).
  options.synchronous = mode == JournalMode::Wal;
  SqliteStore db(dir.file(), dataDir(), options);
  const auto user = db.addUser({"bench", geomuxer::hashPassword("pw"), "", "", "", "", "", ""});
  state.SetLabel(std::string(geomuxer::journalModeName(mode)));
  storeLoop(state, db, user);
}
BENCHMARK(BM_StorePosition)
    ->Arg(static_cast<int>(JournalMode::Wal))
    ->Arg(static_cast<int>(JournalMode::Off))
    ->Arg(static_cast<int>(JournalMode::Delete))
    ->UseRealTime();

void BM_StorePositionWhileFourReaders(benchmark::State& state) {
  TempDatabaseDir dir;
  SqliteStore db(dir.file(), dataDir());
  const auto user = db.addUser({"bench", geomuxer::hashPassword("pw"), "", "", "", "", "", ""});
  for (std::int64_t i = 0; i < 1000; ++i) db.storePosition(user, position(i), "", trackOf(i));

  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> reads{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      while (!stop.load(std::memory_order_relaxed)) {
        // What the admin page and position clients poll: last position, latest track, one row.
        switch (t) {
          case 0: benchmark::DoNotOptimize(db.lastPositionOfUser(user)); break;
          case 1: benchmark::DoNotOptimize(db.lastTrackOfUser(user)); break;
          case 2: benchmark::DoNotOptimize(db.position(500)); break;
          default: benchmark::DoNotOptimize(db.checkLogin("bench", "pw")); break;
        }
        reads.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  storeLoop(state, db, user);
  stop = true;
  for (auto& r : readers) r.join();
  state.counters["reads/s"] = benchmark::Counter(static_cast<double>(reads.load()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StorePositionWhileFourReaders)->UseRealTime();

}  // namespace
