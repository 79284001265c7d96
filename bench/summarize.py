#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Medians of several chronels_bench runs: summary.json and table.md.

usage: summarize.py DIR   (reads DIR/run*.json, writes DIR/summary.json and DIR/table.md)

Ratios are taken inside each run (every contender of a run met the same
noise) and then the median over the runs is reported.
"""
import glob
import json
import os
import statistics
import sys

CONTENDERS = ["clock_nanosleep", "chronels", "posix_signal", "timerfd_epoll", "sigev_thread"]
LABEL = {
    "clock_nanosleep": "clock_nanosleep (limit)",
    "chronels": "**chronels**",
    "posix_signal": "POSIX timer + signal + sigwaitinfo",
    "timerfd_epoll": "timerfd + epoll_wait",
    "sigev_thread": "SIGEV_THREAD",
}


def get(d, *path):
    for p in path:
        if not isinstance(d, dict) or p not in d or d[p] is None:
            return None
        d = d[p]
    return d


def med(runs, *path):
    vals = [v for v in (get(r, *path) for r in runs) if isinstance(v, (int, float))]
    return statistics.median(vals) if vals else None


def med_ratio(runs, a, b):
    vals = []
    for r in runs:
        x, y = get(r, *a), get(r, *b)
        if isinstance(x, (int, float)) and isinstance(y, (int, float)) and y:
            vals.append(x / y)
    return statistics.median(vals) if vals else None


def f(v, fmt="{:.1f}"):
    return "–" if v is None else fmt.format(v)


def main():
    d = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "results")
    files = sorted(glob.glob(os.path.join(d, "run*.json")))
    runs = [json.load(open(p)) for p in files]
    if not runs:
        sys.exit("no run*.json in " + d)
    m = runs[0]["machine"]
    out, summary, goals = [], {"runs": len(runs), "machine": m, "dates": [r["machine"]["date"] for r in runs]}, []
    loads = ", ".join(f"{r['machine'].get('loadavg_at_start', '?').split()[0]}–{r.get('loadavg_at_end', '?').split()[0]}" for r in runs)
    out.append(f"Measured on {m['cpu_model']} ({int(m['nproc'])} CPUs, virtual machine, clocksource {m['clocksource']}), "
               f"{m['uname'].split()[0]} {m['uname'].split()[2]}, glibc {m['glibc']}, {m['compiler'] if 'clang' in m['compiler'].lower() else 'g++ ' + m['compiler'].split()[0]}; "
               f"{len(runs)} runs on {', '.join(sorted(set(x[:10] for x in summary['dates'])))}; medians of the runs, ratios taken within each run. "
               f"The machine was shared: 1-minute load average at start–end of each run {loads}.\n")

    for mode, title in (("oneshot_0.5ms", "One-shot timer re-armed 0.5 ms ahead"), ("periodic_1ms", "1 ms periodic timer")):
        if get(runs[0], "lateness", mode) is None:
            continue
        n = med(runs, "lateness", mode, "chronels", "n")
        out.append(f"\n#### Expiry lateness: {title} ({int(n or 0) * len(runs)} expiries per contender over {len(runs)} runs)\n")
        out.append("| contender | median µs | p99 µs | p99.9 µs | max µs | median / limit | p99 / limit | p99.9 / limit |")
        out.append("|---|---:|---:|---:|---:|---:|---:|---:|")
        for c in CONTENDERS:
            base = ("lateness", mode, c)
            row = [med(runs, *base, k) for k in ("median_us", "p99_us", "p999_us", "max_us", "ratio_median", "ratio_p99", "ratio_p999")]
            summary.setdefault("lateness", {}).setdefault(mode, {})[c] = row
            out.append(f"| {LABEL[c]} | {f(row[0])} | {f(row[1])} | {f(row[2])} | {f(row[3])} | "
                       f"{f(row[4], '{:.3f}x')} | {f(row[5], '{:.2f}x')} | {f(row[6], '{:.2f}x')} |")
        lb = med_ratio(runs, ("lateness", mode, "chronels", "median_us"), ("lateness", mode, "posix_signal", "median_us"))
        lm = med(runs, "lateness", mode, "chronels", "ratio_median")
        lp = med(runs, "lateness", mode, "chronels", "ratio_p99")
        below = all(get(r, "lateness", mode, "chronels", "median_us") < get(r, "lateness", mode, "sigev_thread", "median_us")
                    and get(r, "lateness", mode, "chronels", "p99_us") < get(r, "lateness", mode, "sigev_thread", "p99_us")
                    for r in runs)
        out.append(f"\nchronels / bare mechanism at the median: {f(lb, '{:.3f}x')}; below SIGEV_THREAD at median and p99 in every run: {'yes' if below else 'no'}.")
        goals += [(f"{mode}: median within 1.05x of the bare mechanism", lb, lb is not None and lb <= 1.05),
                  (f"{mode}: median within 1.1x of the limit", lm, lm is not None and lm <= 1.1),
                  (f"{mode}: p99 within 1.3x of the limit's p99", lp, lp is not None and lp <= 1.3),
                  (f"{mode}: below SIGEV_THREAD at median and p99 in every run", None, below)]

    if get(runs[0], "roundtrip"):
        out.append("\n#### Control round trip from another thread (µs; ratios to the raw handshake of the same run)\n")
        out.append("| call | same core median | mean | p99 | median ratio | mean ratio | different cores median | mean | p99 | median ratio | mean ratio | unpinned median | p99 |")
        out.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for c in ("chronel_settime", "chronel_control", "raw_handshake", "timer_settime_inplace", "timerfd_settime_inplace"):
            cells = []
            for p in ("same_core", "cross_core", "unpinned"):
                cells.append(f(med(runs, "roundtrip", p, c, "median_us"), "{:.2f}"))
                if p != "unpinned":
                    cells.append(f(med(runs, "roundtrip", p, c, "mean_us"), "{:.2f}"))
                cells.append(f(med(runs, "roundtrip", p, c, "p99_us"), "{:.2f}"))
                if p != "unpinned":
                    cells += [f(med(runs, "roundtrip", p, c, "ratio_median"), "{:.3f}x"), f(med(runs, "roundtrip", p, c, "ratio_mean"), "{:.3f}x")]
            out.append(f"| {c} | " + " | ".join(cells) + " |")
        dec = {c: [statistics.median(v) for v in zip(*[get(r, "roundtrip", "same_core", c, "deciles_us") for r in runs])]
               for c in ("chronel_settime", "chronel_control", "raw_handshake") if get(runs[0], "roundtrip", "same_core", c, "deciles_us")}
        if dec:
            out.append("\nOn one core the calls fall in two modes (the woken thread runs at once, or only once the caller sleeps); "
                       "the median sits where they meet, so the deciles tell more (µs, 10 % … 90 %):\n")
            for c, v in dec.items():
                out.append(f"- {c}: " + ", ".join(f"{x:.1f}" for x in v))
        for p in ("same_core", "cross_core"):
            for c in ("chronel_settime", "chronel_control"):
                v = med(runs, "roundtrip", p, c, "ratio_median")
                goals.append((f"round trip {c} {p}: median within 1.05x of the raw handshake", v, v is not None and v <= 1.05))
                v = med(runs, "roundtrip", p, c, "ratio_mean")
                goals.append((f"round trip {c} {p}: mean within 1.05x of the raw handshake", v, v is not None and v <= 1.05))

    if get(runs[0], "create_delete"):
        out.append("\n#### Create + delete pairs per second\n")
        out.append("| from | chronels | raw handshake (create, delete) | ratio | raw timer_create + timer_delete in place |")
        out.append("|---|---:|---:|---:|---:|")
        for cfg in runs[0]["create_delete"]:
            a = med(runs, "create_delete", cfg, "chronels", "pairs_per_s")
            b = med(runs, "create_delete", cfg, "raw_handshake", "pairs_per_s")
            r = med(runs, "create_delete", cfg, "chronels", "ratio_to_raw_handshake")
            c = med(runs, "create_delete", cfg, "raw_inplace", "pairs_per_s")
            out.append(f"| {cfg.replace('_', ' ')} | {f(a, '{:,.0f}')} | {f(b, '{:,.0f}')} | {f(r, '{:.3f}x')} | {f(c, '{:,.0f}')} |")
            if cfg != "1_thread_unpinned":
                goals.append((f"create+delete {cfg}: at least 0.9x of two handshakes", r, r is not None and r >= 0.9))

    if get(runs[0], "syscalls") or get(runs[0], "instructions"):
        out.append("\n#### The dispatch path (timer thread)\n")
        out.append("| | chronels | bare mechanism |")
        out.append("|---|---:|---:|")
        w = [med(runs, "syscalls", k, "waits_per_dispatch") for k in ("chronels", "posix_signal")]
        s = [med(runs, "syscalls", k, "per_dispatch") for k in ("chronels", "posix_signal")]
        i = [med(runs, "instructions", k, "instructions_per_dispatch") for k in ("chronels", "posix_signal")]
        al = [med(runs, "instructions", k, "allocator_calls_per_dispatch") for k in ("chronels", "posix_signal")]
        out.append(f"| rt_sigtimedwait per dispatched expiry (strace) | {f(w[0], '{:.3f}')} | {f(w[1], '{:.3f}')} |")
        out.append(f"| all system calls per dispatched expiry (strace) | {f(s[0], '{:.3f}')} | {f(s[1], '{:.3f}')} |")
        out.append(f"| user-space instructions per dispatch (callgrind) | {f(i[0], '{:.0f}')} | {f(i[1], '{:.0f}')} |")
        out.append(f"| allocator calls per dispatch (callgrind) | {f(al[0], '{:.3f}')} | {f(al[1], '{:.3f}')} |")
        ir = med(runs, "instructions", "ratio")
        goals += [("instructions per dispatch within 1.2x of the bare loop", ir, ir is not None and ir <= 1.2),
                  ("one system call per dispatched expiry (rt_sigtimedwait)", w[0], w[0] is not None and abs(w[0] - 1) < 0.01),
                  ("no allocation on the dispatch path", al[0], al[0] is not None and al[0] == 0)]

    sc = get(runs[0], "scale")
    if sc:
        out.append("\n#### Scale: live armed timers (chronels / bare mechanism)\n")
        out.append("| timers | heap per timer B | RSS per timer B | creates/s | dispatched/s | lateness median µs | p99 µs | deletes/s while firing | stopped by |")
        out.append("|---|---:|---:|---:|---:|---:|---:|---:|---|")
        for key in sc:
            if key == "uid":
                continue
            row = []
            for k in ("chronels", "posix_signal"):
                row.append([med(runs, "scale", key, k, x) for x in ("timers", "heap_per_timer_bytes", "rss_per_timer_bytes", "create_per_s", "dispatched_per_s")]
                           + [med(runs, "scale", key, k, "lateness", x) for x in ("median_us", "p99_us")]
                           + [med(runs, "scale", key, k, "delete_per_s")])
            stop = get(runs[0], "scale", key, "chronels", "stopped_by")
            label = key.replace("saturate_", "") + (" (all at 100 ms)" if key.startswith("saturate") else "")
            if key == "max":
                label = f"max: {f(row[0][0], '{:,.0f}')} / {f(row[1][0], '{:,.0f}')}"
            def pair(j, fmt):
                return f"{f(row[0][j], fmt)} / {f(row[1][j], fmt)}"
            out.append(f"| {label} | {pair(1, '{:.0f}')} | {pair(2, '{:.0f}')} | {pair(3, '{:,.0f}')} | {pair(4, '{:,.0f}')} | "
                       f"{pair(5, '{:.1f}')} | {pair(6, '{:.1f}')} | {pair(7, '{:,.0f}')} | {stop if key == 'max' else ''} |")
        mx = get(runs[0], "scale", "max", "chronels")
        if mx:
            out.append(f"\nAt the limit (RLIMIT_SIGPENDING {int(mx['rlimit_sigpending']):,}, counted per user: each POSIX timer holds one "
                       f"queued-signal slot and each control request needs one while queued), chronel_settime from another thread "
                       f"returned {int(mx['at_limit_settime_rc'])} and chronel_delete released the system timer: "
                       f"{'yes' if mx['at_limit_delete_released_system_timer'] else 'no'}.")
        heap = med(runs, "scale", "10000", "chronels", "heap_per_timer_bytes")
        goals.append(("heap per timer at most 256 B (10,000 timers)", heap, heap is not None and heap <= 256))
        sat = [k for k in sc if k.startswith("saturate")]
        if sat:
            r = med_ratio(runs, ("scale", sat[0], "chronels", "dispatched_per_s"), ("scale", sat[0], "posix_signal", "dispatched_per_s"))
            dl = med(runs, "scale", sat[0], "chronels", "delete_per_s")
            goals += [(f"{sat[0]}: dispatch keeps pace with the bare mechanism (ratio)", r, r is not None and r >= 0.95),
                      (f"{sat[0]}: deletes above 2,000 per second", dl, dl is not None and dl > 2000)]
        lr = med_ratio(runs, ("scale", "10000", "chronels", "lateness", "median_us"), ("scale", "10000", "posix_signal", "lateness", "median_us"))
        goals.append(("10,000 staggered timers: median lateness chronels / bare within 1.05x", lr, lr is not None and lr <= 1.05))

    out.append("\n#### Goals\n")
    out.append("| goal | measured | met |")
    out.append("|---|---:|---|")
    for g, v, ok in goals:
        out.append(f"| {g} | {f(v, '{:.3f}') if v is not None else ''} | {'yes' if ok else '**no**'} |")
    summary["goals"] = [{"goal": g, "value": v, "met": ok} for g, v, ok in goals]

    open(os.path.join(d, "table.md"), "w").write("\n".join(out) + "\n")
    json.dump(summary, open(os.path.join(d, "summary.json"), "w"), indent=1)
    print("\n".join(out))


if __name__ == "__main__":
    main()
