#!/usr/bin/env bash
# NMEA decoder throughput beside its peers, in one run on the same file:
#   - our decoder at 64-byte, 4 KB and 64 KB reads (nmea_bench),
#   - a plain scan that only finds line ends, splits fields and computes checksums (nmea_bench),
#   - gpsd's gpsdecode (Debian package gpsd-clients), when installed.
# Builds a Release tree in build/rel-nmea and generates the 50 MB log there (never committed).
# Usage: bench/nmea/compare-nmea.sh [MEGABYTES]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
megabytes="${1:-50}"
build=build/rel-nmea

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DGEOMUXER_SANITIZE=OFF \
  -DGEOMUXER_BUILD_TESTS=OFF -DGEOMUXER_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target nmea_bench nmea_loggen -j2 >/dev/null

log="$build/bench/nmea/nmea-${megabytes}mb.log"
[ -s "$log" ] || "$build/bench/nmea/nmea_loggen" "$log" "$megabytes"
json="$build/bench/nmea/nmea_bench.json"
"$build/bench/nmea/nmea_bench" --log="$log" --benchmark_out="$json" --benchmark_out_format=json

gpsdecode=""
if command -v gpsdecode >/dev/null 2>&1; then
  gpsdecode=gpsdecode
else
  echo "gpsdecode not installed (apt-get install gpsd-clients): peer skipped"
fi

python3 - "$json" "$log" "$gpsdecode" <<'PY'
import json, os, resource, subprocess, sys
data = json.load(open(sys.argv[1]))
size = os.path.getsize(sys.argv[2])
def short(name):
    return name.split("/min_time")[0]
rate = {short(b["name"]): b["bytes_per_second"] / 1e6 for b in data["benchmarks"]}
sent = {short(b["name"]): b.get("sentences", 0) for b in data["benchmarks"]}
allocs = {short(b["name"]): b.get("allocs_per_sentence") for b in data["benchmarks"]}
scan = rate["BM_PlainScan"]
print(f"\nlog: {size / 1e6:.1f} MB")
print(f"{'run':28} {'MB/s':>8} {'sentences/s':>13} {'vs scan':>8} {'allocs/sentence':>16}")
for name, mbs in rate.items():
    a = allocs[name]
    print(f"{name:28} {mbs:8.1f} {sent[name]:13.3g} {mbs / scan:8.2f} {'' if a is None else f'{a:.4f}':>16}")
if sys.argv[3]:
    # CPU time (user + system) of the best of three runs, like the benchmark's own figures.
    best = None
    for _ in range(3):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        with open(sys.argv[2], "rb") as log:
            subprocess.run([sys.argv[3]], stdin=log, stdout=subprocess.DEVNULL, check=True)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        best = cpu if best is None else min(best, cpu)
    gpsd = size / best / 1e6
    ours = rate["BM_Decoder/65536"]
    print(f"{'gpsdecode':28} {gpsd:8.1f}")
    print(f"\ndecoder at 64 KB reads: {ours / gpsd:.1f} x gpsdecode, {100 * ours / scan:.0f}% of the plain scan")
PY
