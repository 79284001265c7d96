#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Summary and plot of bench/vs-cyclictest.sh's rounds.

usage: vs_cyclictest.py DIR   (reads DIR/round*-{cyclictest,chronels}.txt;
writes DIR/summary.md, DIR/summary.json, DIR/histogram.png)

Both tools print the same histogram block, so one parser reads both. The
timers' columns are pooled; quantiles are the bucket (whole microseconds)
holding that rank, and an overflow counts as later than the range. Ratios
are taken within each round (both met the same noise), then the median
over the rounds is reported.
"""
import glob
import json
import os
import re
import statistics
import sys

TOOLS = ("cyclictest", "chronels")


def histogram(path):
    counts, over = {}, 0
    for line in open(path):
        m = re.match(r"^(\d{6}) (.*)$", line)
        if m:
            counts[int(m.group(1))] = sum(int(x) for x in m.group(2).split())
        elif line.startswith("# Histogram Overflows:"):
            over = sum(int(x) for x in line.split(":")[1].split())
    return counts, over


def quantile(counts, over, q):
    total = sum(counts.values()) + over
    want, seen = max(1, round(q * total + 0.4999)), 0
    for b in sorted(counts):
        seen += counts[b]
        if seen >= want:
            return b
    return float("inf")


def main():
    d = sys.argv[1]
    rounds = sorted({int(re.search(r"round(\d+)-", p).group(1)) for p in glob.glob(os.path.join(d, "round*-*.txt"))})
    per = {t: [] for t in TOOLS}
    pooled = {t: {} for t in TOOLS}
    for r in rounds:
        for t in TOOLS:
            c, o = histogram(os.path.join(d, f"round{r}-{t}.txt"))
            n = sum(c.values()) + o
            mean = sum(b * k for b, k in c.items()) / max(1, sum(c.values()))
            per[t].append({"n": n, "median": quantile(c, o, 0.5), "p99": quantile(c, o, 0.99),
                           "p999": quantile(c, o, 0.999), "mean_in_range": mean, "overflows": o})
            for b, k in c.items():
                pooled[t][b] = pooled[t].get(b, 0) + k
    summary = {"rounds": len(rounds), "tools": {}}
    for t in TOOLS:
        summary["tools"][t] = {k: statistics.median(x[k] for x in per[t]) for k in ("median", "p99", "p999", "mean_in_range")}
        summary["tools"][t]["samples"] = sum(x["n"] for x in per[t])
        summary["tools"][t]["overflows"] = sum(x["overflows"] for x in per[t])
    for k in ("median", "p99", "p999"):
        summary["ratio_" + k] = statistics.median(a[k] / b[k] for a, b in zip(per["chronels"], per["cyclictest"]))
    summary["per_round"] = per
    json.dump(summary, open(os.path.join(d, "summary.json"), "w"), indent=1)

    machine = open(os.path.join(d, "machine.txt")).read().strip().splitlines() if os.path.exists(os.path.join(d, "machine.txt")) else []
    loads = [float(l.split()[-1]) for l in open(os.path.join(d, "loads.txt"))] if os.path.exists(os.path.join(d, "loads.txt")) else []
    out = [f"{len(rounds)} rounds; " + "; ".join(machine)]
    if loads:
        out.append(f"1-minute load average during the rounds: min {min(loads):.2f}, median {statistics.median(loads):.2f}, max {max(loads):.2f}")
    out += ["", "| tool | samples | median µs | p99 µs | p99.9 µs | mean µs (in range) | overflows |", "|---|---:|---:|---:|---:|---:|---:|"]
    for t in TOOLS:
        s = summary["tools"][t]
        out.append(f"| {'chronels-latency' if t == 'chronels' else t} | {s['samples']:,} | {s['median']:.0f} | {s['p99']:.0f} | "
                   f"{s['p999']:.0f} | {s['mean_in_range']:.1f} | {s['overflows']} |")
    out.append(f"\nchronels-latency / cyclictest, median of the per-round ratios: median {summary['ratio_median']:.3f}x, "
               f"p99 {summary['ratio_p99']:.3f}x, p99.9 {summary['ratio_p999']:.3f}x")
    open(os.path.join(d, "summary.md"), "w").write("\n".join(out) + "\n")
    print("\n".join(out))

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(10, 5))
    for t, color in zip(TOOLS, ("black", "tab:red")):
        xs = sorted(pooled[t])
        ax.step(xs, [pooled[t][x] for x in xs], where="mid", color=color,
                label=f"{'chronels-latency' if t == 'chronels' else 'cyclictest'} (median {summary['tools'][t]['median']:.0f} µs, "
                      f"p99 {summary['tools'][t]['p99']:.0f} µs)")
    ax.set_xscale("symlog", linthresh=100)
    ax.set_yscale("log")
    ax.set_xlabel("lateness (µs), 1 µs buckets")
    ax.set_ylabel("expiries")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    ax.set_title("; ".join(machine[:1] + machine[-1:]), fontsize=9)
    fig.tight_layout()
    fig.savefig(os.path.join(d, "histogram.png"), dpi=110)
    print("wrote", os.path.join(d, "histogram.png"))


if __name__ == "__main__":
    main()
