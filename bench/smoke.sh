#!/bin/bash
# A seconds-long run of the benchmark and the latency tool, for CI: builds
# them, runs each with tiny counts, and checks only that they complete and
# that the JSON summarises. Installs nothing; needs cmake, g++ and python3.
set -euo pipefail
cd "$(dirname "$0")/.."
B=build/bench
cmake -S . -B $B -DCHRONELS_BENCH=ON -DCHRONELS_TESTS=OFF -DCHRONELS_EXAMPLES=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build $B -j2 --target chronels_bench chronels-latency >/dev/null

S=$B/smoke
rm -rf $S && mkdir -p $S
$B/bench/chronels_bench --smoke --quiet --out $S/run1.json
python3 bench/summarize.py $S >/dev/null
$B/bench/chronels-latency --help >/dev/null
$B/bench/chronels-latency -n 4 -i 1000 -d 1 -q
echo "bench smoke: benchmark and latency tool ran (no thresholds) in ${SECONDS}s"
