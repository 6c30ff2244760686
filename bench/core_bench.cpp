// Cost of the per-position work every logger does: filter decision and distance.
#include <benchmark/benchmark.h>

#include "core/geodesy.h"
#include "core/tracklog_filter.h"
#include "core/units.h"

namespace geomuxer {
namespace {

void BM_EllipsoidDistance(benchmark::State& state) {
  Point a{11.39321f, 47.26962f};
  const Point b{11.39421f, 47.26862f};
  for (auto _ : state) {
    benchmark::DoNotOptimize(ellipsoidDistance(a, b));
    a.x += 1e-7f;
  }
}
BENCHMARK(BM_EllipsoidDistance);

void BM_FilterAccept(benchmark::State& state) {
  TracklogFilter filter;
  PositionInfo p;
  p.fields = {defTime, defXY};
  p.x = 11.0f;
  p.y = 47.0f;
  p.time = 40000.0;
  for (auto _ : state) {
    p.time += 1.0 / 86400.0;
    p.y += 1e-6f;
    benchmark::DoNotOptimize(filter.accept(p));
  }
}
BENCHMARK(BM_FilterAccept);

void BM_FormatLatLon(benchmark::State& state) {
  const NumberFormat nf;
  for (auto _ : state) benchmark::DoNotOptimize(formatLatLon({11.39321f, 47.26962f}, PosUnit::decimalMinute, nf));
}
BENCHMARK(BM_FormatLatLon);

}  // namespace
}  // namespace geomuxer
