// SPDX-License-Identifier: MIT
// What the measurements share: clocks, options, JSON, distributions, child
// processes (harness.cpp), the bare mechanism the library wraps (bare.cpp),
// and every header the benchmark uses.
#pragma once
#include "chronels.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
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
inline itimerspec its_of(int64_t value, int64_t interval) { return {ts_of(interval), ts_of(value)}; }
inline pid_t gettid_() { return static_cast<pid_t>(syscall(SYS_gettid)); }
void pin(pid_t tid, int cpu); // cpu < 0 lets the thread run anywhere again

struct Options {
    int expiries = 6000, rounds = 60; // lateness samples per contender and mode, in short rounds
    int calls = 24000;                // round trips per contender and placement
    int cd_ms = 300, cd_rounds = 4;   // create+delete blocks
    std::string scale = "1000,10000"; // timer counts, or "none"
    int sat_timers = 50000;
    double scale_secs = 2.0;
    bool scale_max = true, strace = true, callgrind = true, verbose = true;
};
extern Options opt;
extern std::vector<std::string> options_given; // handed on to the scale child
int parse_options(const std::vector<std::string> &args); // -1 when good, else the exit status
void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// JSON objects written by hand, keys in insertion order.
std::string jstr(const std::string &s);
struct Obj {
    std::string s;
    Obj &raw(const std::string &k, const std::string &v) { s += (s.empty() ? "" : ", ") + jstr(k) + ": " + v; return *this; }
    Obj &num(const std::string &k, double v);
    Obj &str(const std::string &k, const std::string &v) { return raw(k, jstr(v)); }
    Obj &obj(const std::string &k, const Obj &o) { return raw(k, o.render()); }
    std::string render() const { return "{" + s + "}"; }
};
// Nanosecond samples in microseconds, with ratios to `ref` when given.
Obj dist_obj(std::vector<int64_t> v, const std::vector<int64_t> *ref = nullptr, bool quantiles = false,
             bool deciles = false);
double median_of(std::vector<double> v);
long proc_value(const char *path, const char *key, int field); // the number after `key`, or the field-th word
std::string self_exe();
pid_t spawn(const std::vector<std::string> &args, bool quiet); // quiet: output to /dev/null
int run_child(const std::vector<std::string> &args, bool quiet = true); // its exit status

// The bare mechanism: one thread taking a POSIX timer's real-time signal
// with sigwaitinfo and calling the record's function, and taking control
// requests (a queued signal; it acts and wakes the caller through a
// condition variable).
struct RawTimer {
    timer_t id;
    void (*cb)(void *);
    void *arg;
};
enum RawOp { RAW_SETTIME, RAW_CREATE, RAW_DELETE, RAW_QUIT };
struct RawReq {
    RawOp op = RAW_SETTIME;
    RawTimer *t = nullptr;
    itimerspec its{};
    int rc = 0, err = 0;
    bool done = false;
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t c = PTHREAD_COND_INITIALIZER;
};
int raw_create(RawTimer *t); // in place, on the calling thread
int raw_request(RawReq &r);  // handed to the bare timer thread
extern std::atomic<pid_t> raw_tid, lib_tid; // the two timer threads
void block_signals();        // every real-time signal, before any thread starts
void start_both();           // chronel_init, the bare thread, both tids known
void stop_both();

// A timer of the library or of the bare mechanism. make and remove hand
// over to the timer thread (a failed removal still deletes the system
// timer); arm and drop may run on any thread, the timer thread included.
struct Either {
    bool lib = true;
    chronel h{};
    RawTimer r{};
    int make(void (*cb)(void *), void *arg);
    int arm(int64_t value, int64_t interval);
    int remove();
    void drop();
};

// The sections, each JSON or "" to leave out, and the child processes.
std::string lateness(), roundtrip(), create_delete(), syscalls(), instructions(), scale();
int dispatch_child(const std::vector<std::string> &args), scale_child(const std::vector<std::string> &args);

} // namespace cb
