#!/bin/bash
# SPDX-License-Identifier: MIT
# Reproduces bench/results (OUT to write elsewhere): builds the benchmark,
# runs it three times (RUNS to change), then writes the medians
# (summary.json, table.md) and the plot (lateness.png). Extra arguments go to every run of chronels_bench.
# Each run first waits (QUIET_WAIT seconds at most, 0 to skip) until the
# other programs of the machine leave both CPUs nearly idle: the figures are
# about the timers, not about someone's compiler.
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${RUNS:-3}
QUIET_WAIT=${QUIET_WAIT:-600}

# Percent of CPU time not idle over one second.
busy() {
  local a b
  read -r _ a1 a2 a3 a4 a5 a6 a7 _ < /proc/stat
  sleep 1
  read -r _ b1 b2 b3 b4 b5 b6 b7 _ < /proc/stat
  local total=$(( (b1+b2+b3+b4+b5+b6+b7) - (a1+a2+a3+a4+a5+a6+a7) ))
  local idle=$(( (b4+b5) - (a4+a5) ))
  echo $(( total > 0 ? 100 * (total - idle) / total : 0 ))
}
wait_quiet() {
  local start=$SECONDS quiet=0
  while (( SECONDS - start < QUIET_WAIT )); do
    if (( $(busy) < 15 )); then quiet=$((quiet + 1)); else quiet=0; fi
    (( quiet >= 5 )) && return 0
  done
  echo "machine still busy after ${QUIET_WAIT}s; running anyway" >&2
}
OUT=${OUT:-bench/results}

cmake -S . -B build/bench -DCHRONELS_BENCH=ON -DBUILD_TESTING=OFF -DCHRONELS_EXAMPLES=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/bench -j2 >/dev/null

mkdir -p "$OUT"
rm -f "$OUT"/run*.json
rev=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
git diff --quiet HEAD -- src include 2>/dev/null || rev="$rev+local-changes"
for i in $(seq 1 "$RUNS"); do
  (( QUIET_WAIT > 0 )) && wait_quiet
  echo "== run $i of $RUNS ($(cut -d' ' -f1-3 /proc/loadavg))" >&2
  build/bench/bench/chronels_bench --out "$OUT/run$i.json" --note "library at $rev" "$@"
done

python3 bench/summarize.py "$OUT" >/dev/null
# matplotlib may live only in the system's python
py=python3
$py -c 'import matplotlib' 2>/dev/null || py=/usr/bin/python3
$py bench/plot.py "$OUT"
echo "wrote $OUT/run*.json, $OUT/summary.json, $OUT/table.md, $OUT/lateness.png" >&2
