// The upload queue: positions stored and drained per second in a real queue file (WAL), the
// resident memory of a process holding 100 000 queued positions, and the queue drained through
// the upload logger to a server on loopback.

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtCore/qtestsupport_core.h>

#include <fstream>
#include <string>

#include "loggers/http_logger.h"
#include "loggers/upload_queue.h"
#include "loggers/upload_test_server.h"  // the tests' recording server

namespace {

using namespace geomuxer;

QCoreApplication& app() {
  static int argc = 1;
  static char name[] = "upload_queue_bench";
  static char* argv[] = {name, nullptr};
  static QCoreApplication instance(argc, argv);
  return instance;
}

// The form of a full position, as the logger queues it.
std::vector<FormField> form(int n) {
  PositionInfo p;
  p.time = *makeDateTime({.year = 2024, .month = 5, .day = 1, .hour = 10, .minute = 20, .second = n % 60});
  p.x = 8.2512345f;
  p.y = 47.5012345f + static_cast<float>(n % 1000) * 1e-5f;
  p.altitude = 431.5f;
  p.speed = 12.5f;
  p.heading = 270.0f;
  p.satellites = 9;
  p.fields = {defTime, defXY, defAltitude, defSpeed, defHeading, defSatellites};
  return uploadFields(p, "walker", "0123456789ABCDEF0123456789ABCDEF");
}

long residentKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

void BM_QueueStore(benchmark::State& state) {
  QTemporaryDir dir;
  UploadQueue queue(dir.filePath("queue.db").toStdString());
  const auto fields = form(1);
  for (auto _ : state) queue.push(fields);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueueStore);

void BM_QueueDrain(benchmark::State& state) {
  QTemporaryDir dir;
  UploadQueue queue(dir.filePath("queue.db").toStdString());
  const auto fields = form(1);
  std::int64_t drained = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < 10000; ++i) queue.push(fields);
    state.ResumeTiming();
    while (auto post = queue.front()) {
      queue.remove(post->id);
      ++drained;
    }
  }
  state.SetItemsProcessed(drained);
}
BENCHMARK(BM_QueueDrain)->Unit(benchmark::kMillisecond);

// Resident memory before and after 100 000 positions are queued (and the file's size).
void BM_Resident100k(benchmark::State& state) {
  for (auto _ : state) {
    QTemporaryDir dir;
    const long before = residentKb();
    UploadQueue queue(dir.filePath("queue.db").toStdString());
    for (int i = 0; i < 100000; ++i) queue.push(form(i));
    state.counters["rss_before_kB"] = static_cast<double>(before);
    state.counters["rss_queued_kB"] = static_cast<double>(residentKb());
    state.counters["file_kB"] = static_cast<double>(
        (QFileInfo(dir.filePath("queue.db")).size() + QFileInfo(dir.filePath("queue.db-wal")).size()) / 1024);
  }
}
BENCHMARK(BM_Resident100k)->Iterations(1)->Unit(benchmark::kMillisecond);

// 1000 queued positions posted one at a time to a server on loopback, as after an outage.
void BM_UploadDrain(benchmark::State& state) {
  app();
  test::UploadTestServer server;
  std::int64_t posted = 0;
  for (auto _ : state) {
    state.PauseTiming();
    QTemporaryDir dir;
    HttpLogger logger;
    logger.setHost("127.0.0.1");
    logger.setPort(static_cast<quint16>(server.port()));
    logger.setPostFile("onclientpos");
    logger.setActive(true);
    logger.openQueue(dir.filePath("queue.db").toStdString());
    state.ResumeTiming();
    logger.start();
    for (int i = 0; i < 1000; ++i) logger.addPosition(PositionInfo{});
    if (!QTest::qWaitFor([&] { return logger.queueLength() == 0; }, 60000)) state.SkipWithError("queue not drained");
    posted += 1000;
    logger.stop();
  }
  state.SetItemsProcessed(posted);
}
BENCHMARK(BM_UploadDrain)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
