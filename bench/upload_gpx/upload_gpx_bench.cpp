// Cost of one GPX track point (its lines go to the operating system one write each), of building
// the upload form, and of one complete upload to a server on loopback.

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include "loggers/gpx_logger.h"
#include "loggers/http_logger.h"
#include "loggers/upload_test_server.h"  // the tests' recording server

namespace {

using namespace geomuxer;

QCoreApplication& app() {
  static int argc = 1;
  static char name[] = "upload_gpx_bench";
  static char* argv[] = {name, nullptr};
  static QCoreApplication instance(argc, argv);
  return instance;
}

PositionInfo position() {
  PositionInfo p;
  p.time = *makeDateTime({.year = 2024, .month = 5, .day = 1, .hour = 10, .minute = 20, .second = 30});
  p.x = 8.2512345f;
  p.y = 47.5012345f;
  p.altitude = 431.5f;
  p.speed = 12.5f;
  p.heading = 270.0f;
  p.satellites = 9;
  p.fields = {defTime, defXY, defAltitude, defSpeed, defHeading, defSatellites};
  return p;
}

void BM_GpxTrackPoint(benchmark::State& state) {
  QTemporaryDir dir;
  GpxLogger logger;
  logger.setFileDir(dir.path().toStdString());
  logger.setActive(true);
  logger.start();
  const PositionInfo p = position();
  for (auto _ : state) logger.addPosition(p);
  logger.stop();
}
BENCHMARK(BM_GpxTrackPoint);

void BM_UploadFields(benchmark::State& state) {
  const PositionInfo p = position();
  const std::string track(32, 'A');
  for (auto _ : state) benchmark::DoNotOptimize(uploadFields(p, "alice", track));
}
BENCHMARK(BM_UploadFields);

// From addPosition to the answer of a cpp-httplib server on 127.0.0.1, one post at a time.
void BM_UploadRoundTrip(benchmark::State& state) {
  app();
  test::UploadTestServer server;
  if (!server.valid()) {
    state.SkipWithError("no local server");
    return;
  }
  HttpLogger logger;
  logger.setHost("127.0.0.1");
  logger.setPort(static_cast<quint16>(server.port()));
  logger.setPostFile("onclientpos");
  logger.setActive(true);
  logger.start();
  const PositionInfo p = position();
  for (auto _ : state) {
    logger.addPosition(p);
    while (logger.pendingPosts() != 0) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  logger.stop();
}
BENCHMARK(BM_UploadRoundTrip)->Unit(benchmark::kMicrosecond);

}  // namespace
