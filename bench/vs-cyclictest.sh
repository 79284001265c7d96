#!/bin/bash
# SPDX-License-Identifier: MIT
# chronels-latency beside cyclictest (rt-tests): the same timers, interval,
# priority and length, in short rounds that alternate which goes first, so
# the machine's noise falls on both alike. Both wait blocked: cyclictest in
# clock_nanosleep, chronels-latency's timer thread in sigwaitinfo.
#   bash bench/vs-cyclictest.sh          (as root for -p and -m)
# Settings from the environment: T (timers, 1), I (interval us, 1000),
# P (priority, 80 as root, else 0), ROUNDS (10), SECS (per round, 10),
# H (histogram range us, 5000), OUT (bench/results/vs-cyclictest).
# Writes the outputs of every round, summary.md, summary.json,
# histogram.png and diff.txt (both tools' output of one short run, diffed).
set -euo pipefail
cd "$(dirname "$0")/.."
T=${T:-1} I=${I:-1000} ROUNDS=${ROUNDS:-10} SECS=${SECS:-10} H=${H:-5000}
P=${P:-$([ "$(id -u)" = 0 ] && echo 80 || echo 0)}
OUT=${OUT:-bench/results/vs-cyclictest}
command -v cyclictest >/dev/null || { echo "needs cyclictest (apt-get install rt-tests)" >&2; exit 1; }

cmake --preset default >/dev/null && cmake --build build/default -j2 --target chronels-latency >/dev/null
CL=build/default/tools/chronels-latency
mlock=$([ "$(id -u)" = 0 ] && echo -m || true)
# cyclictest would otherwise hold /dev/cpu_dma_latency at 0 during its
# rounds only, and so run on a differently tuned machine than its rival.
cyc=(cyclictest --default-system)
common=(-t "$T" -d 0 -i "$I" -p "$P" $mlock)

rm -rf "$OUT" && mkdir -p "$OUT"
{ echo "date: $(date -u +%FT%TZ)"; echo "uname: $(uname -srm)"; echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2-)";
  echo "nproc: $(nproc)"; echo "cyclictest: $(cyclictest --help 2>&1 | head -1)"; echo "settings: ${common[*]} -D $SECS -h $H, $ROUNDS rounds"; } >"$OUT/machine.txt"
for r in $(seq 1 "$ROUNDS"); do
  order=$([ $((r % 2)) = 1 ] && echo "cyclictest chronels" || echo "chronels cyclictest")
  for tool in $order; do
    echo "round $r/$ROUNDS $tool (load $(cut -d' ' -f1-3 /proc/loadavg))" >&2
    echo "round $r $tool load $(cut -d' ' -f1 /proc/loadavg)" >>"$OUT/loads.txt"
    if [ "$tool" = cyclictest ]; then
      "${cyc[@]}" "${common[@]}" -D "$SECS" -h "$H" -q >"$OUT/round$r-cyclictest.txt" 2>/dev/null
    else
      "$CL" "${common[@]}" -D "$SECS" -h "$H" -q >"$OUT/round$r-chronels.txt"
    fi
  done
done
echo "load at end $(cut -d' ' -f1 /proc/loadavg)" >>"$OUT/loads.txt"

# One short run of each, summary lines then histogram block, diffed.
for tool in cyclictest chronels; do
  cmd=("$CL"); [ $tool = cyclictest ] && cmd=("${cyc[@]}")
  { "${cmd[@]}" "${common[@]}" -l 2000 -q 2>/dev/null; "${cmd[@]}" "${common[@]}" -l 2000 -h 100 -q 2>/dev/null; } >"$OUT/short-$tool.txt"
done
diff -u --label cyclictest --label chronels-latency "$OUT/short-cyclictest.txt" "$OUT/short-chronels.txt" >"$OUT/diff.txt" || true

py=python3
$py -c 'import matplotlib' 2>/dev/null || py=/usr/bin/python3
$py bench/vs_cyclictest.py "$OUT"
