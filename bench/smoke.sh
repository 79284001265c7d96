#!/bin/bash
# SPDX-License-Identifier: MIT
# A seconds-long run of the benchmark and the latency tool, for CI: builds
# them, runs each with tiny counts, and checks only that they complete and
# that the JSON summarises. Installs nothing; needs cmake, g++ and python3.
set -euo pipefail
cd "$(dirname "$0")/.."
B=build/bench
cmake -S . -B $B -DCHRONELS_BENCH=ON -DBUILD_TESTING=OFF -DCHRONELS_EXAMPLES=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build $B -j2 --target chronels_bench chronels-latency >/dev/null

S=$B/smoke
rm -rf $S && mkdir -p $S
$B/bench/chronels_bench --smoke --quiet --out $S/run1.json
python3 bench/summarize.py $S >/dev/null
L=$B/tools/chronels-latency
$L --help >/dev/null
$L -t 4 -i 1000 -D 1 -q
$L -t 2 -i 1000 -l 200 -h 100 -q --json $S/latency.json | grep -q '^# Histogram Overflows:'
python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); assert d["thread"]["1"]["cycles"] == 200' $S/latency.json
# Bad options and impossible values: usage and status 2, never a crash.
# -p 99 too: the library's timer thread never takes SCHED_FIFO's maximum.
for bad in "-t 0" "-i 0" "-D 3x" "-p 100" "-p 99" "-h" "--bogus" "extra"; do
  status=0; $L $bad >/dev/null 2>&1 || status=$?
  [ $status = 2 ] || { echo "chronels-latency $bad: exit status $status, not 2" >&2; exit 1; }
done
# A priority the kernel does not grant (nobody, with no RLIMIT_RTPRIO) ends
# the run with status 1 and the reason on stderr, never a SCHED_OTHER run.
if [ "$(id -u)" = 0 ] && [ "$(ulimit -r)" = 0 ] && command -v setpriv >/dev/null; then
  status=0
  err=$(setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all $L -p 50 -l 10 2>&1 >/dev/null) || status=$?
  [ $status = 1 ] && grep -q 'asked for SCHED_FIFO 50' <<<"$err" ||
    { echo "chronels-latency -p 50 as nobody: exit status $status, not 1; stderr: $err" >&2; exit 1; }
fi
echo "bench smoke: benchmark and latency tool ran (no thresholds) in ${SECONDS}s"
