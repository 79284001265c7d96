// The benchmark's harness (harness.cpp: clocks, JSON, distributions, the
// registries each measurement file adds itself to, main) and the bare
// mechanism the library wraps (bare.cpp). A new contender or measurement is
// a new file and nothing else.
#pragma once
#include "chronels.h"

#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>
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

// Options every measurement may read; set by the command line.
struct Options {
    int expiries = 6000, rounds = 60; // lateness samples per contender and mode, in short rounds
    int calls = 24000;                // round trips per contender and placement
    int cd_ms = 300, cd_rounds = 4;   // create+delete blocks
    std::vector<int> scale = {1000, 10000};
    bool scale_max = true;
    int sat_timers = 50000;
    double scale_secs = 2.0;
    bool strace = true, callgrind = true;
    int callgrind_dispatches = 1000;
    bool verbose = true;
};
extern Options opt;
void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// JSON objects written by hand, keys in insertion order.
struct Obj {
    std::vector<std::pair<std::string, std::string>> kv;
    Obj &num(const std::string &k, double v);
    Obj &str(const std::string &k, const std::string &v);
    Obj &raw(const std::string &k, const std::string &v) { kv.emplace_back(k, v); return *this; }
    Obj &obj(const std::string &k, const Obj &o) { return raw(k, o.render()); }
    Obj &boolean(const std::string &k, bool v) { return raw(k, v ? "true" : "false"); }
    double get(const std::string &k) const; // a number stored before, NAN if none
    std::string render() const;
};

// A distribution of nanosecond samples, reported in microseconds; ratios
// to `ref` when given. Quantiles at every 0.1 % and deciles on request.
Obj dist_obj(std::vector<int64_t> v, const std::vector<int64_t> *ref = nullptr, bool quantiles = false,
             bool deciles = false);
double median_of(std::vector<double> v);

// The bare mechanism: one thread taking a POSIX timer's real-time signal
// with sigwaitinfo and calling the record's function, and taking control
// requests (a queued signal; it acts and wakes the caller through a
// condition variable). What the library wraps, with nothing else.
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
// A timer of the library or of the bare mechanism, for the measurements
// that treat both alike. make and remove hand over to the timer thread (a
// failed removal still deletes the system timer); arm and drop may run on
// any thread, the timer thread included.
struct Either {
    bool lib = true;
    chronel h{};
    RawTimer r{};
    int make(void (*cb)(void *), void *arg);
    int arm(int64_t value, int64_t interval);
    int remove();
    void drop();
};
int raw_create(RawTimer *t);    // in place, on the calling thread
int raw_request(RawReq &r);     // handed to the bare timer thread
void raw_start();
void raw_stop();
extern std::atomic<pid_t> raw_tid, lib_tid; // the two timer threads
void block_signals();           // every real-time signal, before any thread starts
void start_both();              // chronel_init, the bare thread, both tids known

// One lateness run: a contender feeds every wake-up to on_expiry. The first
// wake-up is a kick: the waiting thread itself arms the measured timer, so
// no contender's start carries a hand-over to another thread.
struct Rec {
    int64_t *buf = nullptr;
    int n = 0, i = 0;
    bool periodic = false;
    int64_t period = 500000, deadline = 0, start = 0, last_k = 0, merged = 0;
    bool kicked = false;
    int (*arm)(Rec *, int64_t value, int64_t interval) = nullptr;
    void *ctx = nullptr;
    sem_t done;
};
void on_expiry(Rec *r);
int posix_arm(Rec *r, int64_t value, int64_t interval); // ctx is a timer_t *
constexpr int64_t KICK_NS = 200000;

// Registries: lateness contenders (the limit is "clock_nanosleep"), JSON
// sections in `order`, and child processes a section starts of this program.
struct Contender { const char *name; int order; void (*run)(Rec &); };
struct Section { const char *name; int order; std::string (*run)(); }; // JSON, or "" to leave out
struct Child { const char *flag; int (*main)(const std::vector<std::string> &args); };
std::vector<Contender> &contenders();
std::vector<Section> &sections();
std::vector<Child> &children();
template <class T> struct Add {
    explicit Add(T x) { registry(x).push_back(x); }
    static std::vector<Contender> &registry(Contender) { return contenders(); }
    static std::vector<Section> &registry(Section) { return sections(); }
    static std::vector<Child> &registry(Child) { return children(); }
};

// The command line's options into opt (and the harness's own); -1 when
// they are good, else the exit status after the usage text.
int parse_options(const std::vector<std::string> &args);
extern std::vector<std::string> options_given;
std::string self_exe();
int run_child(const std::vector<std::string> &args, bool quiet = true); // its exit status; quiet: output to /dev/null

} // namespace cb
