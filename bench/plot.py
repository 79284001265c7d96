#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Lateness distributions of every contender, from chronels_bench JSON, to PNG.

usage: plot.py DIR [OUT.png]   (reads DIR/run*.json; default OUT is DIR/lateness.png)

Each curve is the quantile-by-quantile median of the runs. Top: the CDF on
a log time axis; bottom: the tail (fraction later than x) on log-log axes.
"""
import glob
import json
import os
import statistics
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

STYLE = {
    "clock_nanosleep": ("clock_nanosleep, 1 ns slack (limit)", "black", "--"),
    "chronels": ("chronels", "tab:red", "-"),
    "posix_signal": ("POSIX timer + signal + sigwaitinfo", "tab:blue", "-"),
    "timerfd_epoll": ("timerfd + epoll_wait", "tab:green", "-"),
    "sigev_thread": ("SIGEV_THREAD", "tab:orange", "-"),
}
MODES = (("oneshot_0.5ms", "one-shot, re-armed 0.5 ms ahead"), ("periodic_1ms", "1 ms periodic"))


def main():
    d = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "results")
    png = sys.argv[2] if len(sys.argv) > 2 else os.path.join(d, "lateness.png")
    runs = [json.load(open(p)) for p in sorted(glob.glob(os.path.join(d, "run*.json")))]
    if not runs:
        sys.exit("no run*.json in " + d)
    fig, axes = plt.subplots(2, 2, figsize=(13, 8.5), sharex="col")
    for col, (mode, title) in enumerate(MODES):
        top, tail = axes[0][col], axes[1][col]
        for c, (label, color, ls) in STYLE.items():
            qs = [r["lateness"][mode][c]["quantiles_us"] for r in runs if "lateness" in r and c in r["lateness"][mode]]
            if not qs:
                continue
            x = [max(statistics.median(v), 0.1) for v in zip(*qs)]
            p = [i / (len(x) - 1) for i in range(len(x))]
            med = statistics.median(r["lateness"][mode][c]["median_us"] for r in runs)
            top.plot(x, p, color=color, ls=ls, lw=2 if c == "chronels" else 1.4, label=f"{label} (median {med:.1f} µs)")
            tail.plot(x[:-1], [1 - v for v in p[:-1]], color=color, ls=ls, lw=2 if c == "chronels" else 1.4)
        top.set_xscale("log")
        top.set_title(f"Expiry lateness, {title}")
        top.set_ylabel("fraction of expiries")
        top.grid(True, which="both", alpha=0.3)
        top.legend(fontsize=8, loc="lower right")
        tail.set_xscale("log")
        tail.set_yscale("log")
        tail.set_ylim(1e-3, 1)
        tail.set_xlabel("lateness (µs): callback or wake-up time minus the expiry due")
        tail.set_ylabel("fraction later than x")
        tail.grid(True, which="both", alpha=0.3)
    m = runs[0]["machine"]
    dates = sorted(set(r["machine"]["date"][:10] for r in runs))
    fig.suptitle(f"{m['cpu_model']}, {int(m['nproc'])} CPUs, Linux {m['uname'].split()[2]}; "
                 f"{len(runs)} runs, {', '.join(dates)}; quantile-wise median of the runs", fontsize=10)
    fig.tight_layout()
    fig.savefig(png, dpi=110)
    print("wrote", png)


if __name__ == "__main__":
    main()
