#!/bin/bash
# Reproduces bench/results: builds the benchmark, runs it three times (RUNS
# to change), then writes the medians (summary.json, table.md) and the plot
# (lateness.png). Extra arguments go to every run of chronels_bench.
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${RUNS:-3}
OUT=bench/results

cmake -S . -B build/bench -DCHRONELS_BENCH=ON -DCHRONELS_TESTS=OFF -DCHRONELS_EXAMPLES=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/bench -j2 >/dev/null

mkdir -p "$OUT"
rm -f "$OUT"/run*.json
rev=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
git diff --quiet HEAD -- src include 2>/dev/null || rev="$rev+local-changes"
for i in $(seq 1 "$RUNS"); do
  echo "== run $i of $RUNS" >&2
  build/bench/bench/chronels_bench --out "$OUT/run$i.json" --note "library at $rev" "$@"
done

python3 bench/summarize.py "$OUT" >/dev/null
# matplotlib may live only in the system's python
py=python3
$py -c 'import matplotlib' 2>/dev/null || py=/usr/bin/python3
$py bench/plot.py "$OUT"
echo "wrote $OUT/run*.json, $OUT/summary.json, $OUT/table.md, $OUT/lateness.png" >&2
