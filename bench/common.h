// Small helpers shared by the benchmark and the latency tool.
#pragma once
#include <sched.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace cb {

inline int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

inline timespec ts_of(int64_t ns) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000LL);
    ts.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return ts;
}

inline itimerspec its_of(int64_t value, int64_t interval) {
    itimerspec its;
    its.it_value = ts_of(value);
    its.it_interval = ts_of(interval);
    return its;
}

inline pid_t gettid_() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// cpu < 0 lets the thread run anywhere again.
inline void pin(pid_t tid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    for (long c = 0; c < n; c++)
        if (cpu < 0 || c == cpu)
            CPU_SET(static_cast<int>(c), &set);
    sched_setaffinity(tid, sizeof set, &set);
}

// Nearest-rank quantile of sorted values.
inline int64_t quantile(const std::vector<int64_t> &sorted, double q) {
    if (sorted.empty())
        return 0;
    size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    if (rank < 1)
        rank = 1;
    if (rank > sorted.size())
        rank = sorted.size();
    return sorted[rank - 1];
}

} // namespace cb
