// chronels_bench: the library measured beside what a user would write
// instead, in one process, with the contenders' rounds interleaved so that
// the machine's noise falls on all of them alike. Every figure goes to one
// JSON file; bench/run.sh turns three of them into the table and the plot.
//
// Only one waiter runs at a time and every waiter blocks: a thread that
// polled would keep a CPU out of idle and flatter whoever ran beside it.
#include "chronels.h"
#include "common.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <pwd.h>
#include <semaphore.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <gnu/libc-version.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using cb::its_of;
using cb::now_ns;

namespace {

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------
struct Options {
    int expiries = 6000;        // per contender and mode
    int rounds = 60;            // lateness rounds: short blocks, so bursts of
                                // others' load fall on every contender
    int calls = 24000;          // round trips per contender and placement
    int cd_ms = 300;            // create+delete: one block's length
    int cd_rounds = 4;
    std::vector<int> scale = {1000, 10000};
    bool scale_max = true;
    int sat_timers = 50000;
    double scale_secs = 2.0;
    bool strace = true;
    bool callgrind = true;
    int callgrind_dispatches = 1000;
    std::string out = "chronels_bench.json";
    std::string note;
    std::string only; // comma separated sections, empty for all
    bool verbose = true;
    bool want(const char *section) const {
        return only.empty() || ("," + only + ",").find(std::string(",") + section + ",") != std::string::npos;
    }
};
Options opt;

void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char *fmt, ...) {
    if (!opt.verbose)
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

// ---------------------------------------------------------------------------
// JSON, written by hand: objects keep their keys in insertion order.
// ---------------------------------------------------------------------------
std::string jnum(double v) {
    if (!std::isfinite(v))
        return "null";
    char b[64];
    snprintf(b, sizeof b, "%.6g", v);
    return b;
}
std::string jstr(const std::string &s) {
    std::string o = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            o += '\\', o += c;
        else if (static_cast<unsigned char>(c) < 0x20)
            o += ' ';
        else
            o += c;
    }
    return o + "\"";
}
struct Obj {
    std::vector<std::pair<std::string, std::string>> kv;
    Obj &num(const std::string &k, double v) { kv.emplace_back(k, jnum(v)); return *this; }
    Obj &str(const std::string &k, const std::string &v) { kv.emplace_back(k, jstr(v)); return *this; }
    Obj &raw(const std::string &k, const std::string &v) { kv.emplace_back(k, v); return *this; }
    Obj &obj(const std::string &k, const Obj &o) { kv.emplace_back(k, o.render()); return *this; }
    Obj &boolean(const std::string &k, bool v) { kv.emplace_back(k, v ? "true" : "false"); return *this; }
    std::string render() const {
        std::string o = "{";
        for (size_t i = 0; i < kv.size(); i++)
            o += (i ? ", " : "") + jstr(kv[i].first) + ": " + kv[i].second;
        return o + "}";
    }
};
std::string jarr(const std::vector<double> &v) {
    std::string o = "[";
    for (size_t i = 0; i < v.size(); i++) {
        char b[32];
        snprintf(b, sizeof b, "%s%.2f", i ? "," : "", v[i]);
        o += b;
    }
    return o + "]";
}

// Distribution of nanosecond samples, reported in microseconds.
struct Dist {
    size_t n = 0;
    double median = NAN, p99 = NAN, p999 = NAN, max = NAN, min = NAN, mean = NAN;
    std::vector<double> q; // quantiles at 0, 0.001, ..., 1
    std::vector<double> deciles;
};
Dist dist_of(std::vector<int64_t> v, bool quantiles = false, bool deciles = false) {
    Dist d;
    d.n = v.size();
    if (v.empty())
        return d;
    std::sort(v.begin(), v.end());
    d.median = static_cast<double>(cb::quantile(v, 0.5)) / 1e3;
    d.p99 = static_cast<double>(cb::quantile(v, 0.99)) / 1e3;
    d.p999 = static_cast<double>(cb::quantile(v, 0.999)) / 1e3;
    d.max = static_cast<double>(v.back()) / 1e3;
    d.min = static_cast<double>(v.front()) / 1e3;
    double s = 0;
    for (int64_t x : v)
        s += static_cast<double>(x);
    d.mean = s / static_cast<double>(v.size()) / 1e3;
    if (deciles)
        for (int i = 1; i < 10; i++)
            d.deciles.push_back(static_cast<double>(cb::quantile(v, i / 10.0)) / 1e3);
    if (quantiles)
        for (int i = 0; i <= 1000; i++)
            d.q.push_back(static_cast<double>(cb::quantile(v, i / 1000.0)) / 1e3);
    return d;
}
Obj dist_obj(const Dist &d, const Dist *ref = nullptr) {
    Obj o;
    o.num("n", static_cast<double>(d.n)).num("median_us", d.median).num("p99_us", d.p99)
        .num("p999_us", d.p999).num("max_us", d.max).num("min_us", d.min).num("mean_us", d.mean);
    if (ref != nullptr)
        o.num("ratio_median", d.median / ref->median).num("ratio_p99", d.p99 / ref->p99)
            .num("ratio_p999", d.p999 / ref->p999).num("ratio_max", d.max / ref->max);
    if (ref != nullptr)
        o.num("ratio_mean", d.mean / ref->mean);
    if (!d.deciles.empty())
        o.raw("deciles_us", jarr(d.deciles));
    if (!d.q.empty())
        o.raw("quantiles_us", jarr(d.q));
    return o;
}

// ---------------------------------------------------------------------------
// The bare mechanism: one thread taking a POSIX timer's real-time signal
// with sigwaitinfo and calling the record's function, and taking control
// requests (queue a signal to it, it acts, wakes the caller through a
// condition variable). This is what the library wraps, with nothing else.
// ---------------------------------------------------------------------------
int SIG_RAW_CTL, SIG_RAW_EXP;

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
    int rc = 0;
    int err = 0;
    bool done = false;
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t c = PTHREAD_COND_INITIALIZER;
};

struct {
    pthread_t th;
    std::atomic<pid_t> tid{0};
    pid_t pid;
    uid_t uid;
} raw;

int raw_create(RawTimer *t) {
    sigevent sev;
    memset(&sev, 0, sizeof sev);
    sev.sigev_notify = SIGEV_SIGNAL;
    sev.sigev_signo = SIG_RAW_EXP;
    sev.sigev_value.sival_ptr = t;
    return timer_create(CLOCK_MONOTONIC, &sev, &t->id);
}

__attribute__((noinline)) void *raw_loop(void *) {
    raw.tid = cb::gettid_();
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIG_RAW_CTL);
    sigaddset(&set, SIG_RAW_EXP);
    for (;;) {
        siginfo_t si;
        int sig = sigwaitinfo(&set, &si);
        if (sig == SIG_RAW_EXP) {
            RawTimer *t = static_cast<RawTimer *>(si.si_value.sival_ptr);
            void (*f)(void *) = t->cb;
            if (f != nullptr)
                f(t->arg);
            continue;
        }
        if (sig != SIG_RAW_CTL)
            continue;
        RawReq *r = static_cast<RawReq *>(si.si_value.sival_ptr);
        if (r->op == RAW_QUIT)
            break;
        if (r->op == RAW_SETTIME)
            r->rc = timer_settime(r->t->id, 0, &r->its, nullptr);
        else if (r->op == RAW_CREATE)
            r->rc = raw_create(r->t);
        else
            r->rc = timer_delete(r->t->id);
        r->err = r->rc != 0 ? errno : 0;
        pthread_mutex_lock(&r->m);
        r->done = true;
        pthread_cond_signal(&r->c);
        pthread_mutex_unlock(&r->m);
    }
    return nullptr;
}

int raw_request(RawReq &r) {
    r.done = false;
    siginfo_t si;
    memset(&si, 0, sizeof si);
    si.si_signo = SIG_RAW_CTL;
    si.si_code = SI_QUEUE;
    si.si_pid = raw.pid;
    si.si_uid = raw.uid;
    si.si_value.sival_ptr = &r;
    if (syscall(SYS_rt_tgsigqueueinfo, raw.pid, raw.tid.load(), SIG_RAW_CTL, &si) != 0)
        return -1;
    pthread_mutex_lock(&r.m);
    while (!r.done)
        pthread_cond_wait(&r.c, &r.m);
    pthread_mutex_unlock(&r.m);
    if (r.rc != 0)
        errno = r.err;
    return r.rc;
}

void raw_start() {
    raw.pid = getpid();
    raw.uid = getuid();
    pthread_create(&raw.th, nullptr, raw_loop, nullptr);
    while (raw.tid.load() == 0)
        usleep(100);
}

void raw_stop() {
    RawReq q;
    q.op = RAW_QUIT;
    siginfo_t si;
    memset(&si, 0, sizeof si);
    si.si_signo = SIG_RAW_CTL;
    si.si_code = SI_QUEUE;
    si.si_pid = raw.pid;
    si.si_uid = raw.uid;
    si.si_value.sival_ptr = &q;
    syscall(SYS_rt_tgsigqueueinfo, raw.pid, raw.tid.load(), SIG_RAW_CTL, &si);
    pthread_join(raw.th, nullptr);
}

// Blocks every real-time signal in the calling thread (before any thread
// starts, so all inherit it) and picks the bare mechanism's numbers.
void block_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s = SIGRTMIN; s <= SIGRTMAX; s++)
        sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    SIG_RAW_CTL = SIGRTMIN + 4;
    SIG_RAW_EXP = SIGRTMIN + 5;
}

// The library's timer thread id, taken by a callback.
std::atomic<pid_t> lib_tid{0};
void tid_cb(void *) { lib_tid = cb::gettid_(); }
void find_lib_tid() {
    chronel h{};
    chronel_create(&h, tid_cb, nullptr);
    timespec v = cb::ts_of(100000);
    chronel_settime(&h, &v, nullptr);
    while (lib_tid.load() == 0)
        usleep(200);
    chronel_delete(&h);
}

// ---------------------------------------------------------------------------
// Expiry lateness
// ---------------------------------------------------------------------------
// One measured run: every contender feeds its wake-ups to on_expiry. The
// first wake-up is a kick: the waiting thread itself arms the measured
// timer, so that no contender's start carries a hand-over to another thread.
struct Rec {
    int64_t *buf = nullptr;
    int n = 0, i = 0;
    bool periodic = false;
    int64_t period = 500000;
    int64_t deadline = 0, start = 0, last_k = 0, merged = 0;
    bool kicked = false;
    int (*arm)(Rec *, int64_t value, int64_t interval) = nullptr;
    void *ctx = nullptr;
    sem_t done;
};

void on_expiry(Rec *r) {
    int64_t t = now_ns();
    if (r->i >= r->n)
        return;
    if (!r->kicked) {
        r->kicked = true;
        r->start = r->deadline = now_ns();
        r->deadline += r->period;
        r->arm(r, r->period, r->periodic ? r->period : 0);
        return;
    }
    if (r->periodic) {
        // Merged late expiries count against the latest one due.
        int64_t k = (t - r->start) / r->period;
        if (k > r->last_k + 1)
            r->merged += k - r->last_k - 1;
        r->last_k = k;
        r->buf[r->i++] = t - (r->start + k * r->period);
        if (r->i == r->n) {
            r->arm(r, 0, 0);
            sem_post(&r->done);
        }
        return;
    }
    r->buf[r->i++] = t - r->deadline;
    if (r->i == r->n) {
        sem_post(&r->done);
        return;
    }
    r->deadline = now_ns() + r->period;
    r->arm(r, r->period, 0);
}

void rec_cb(void *a) { on_expiry(static_cast<Rec *>(a)); }

const int64_t KICK_NS = 200000;

int lib_arm(Rec *r, int64_t v, int64_t i) {
    timespec tv = cb::ts_of(v), ti = cb::ts_of(i);
    return chronel_settime(static_cast<chronel *>(r->ctx), &tv, &ti);
}
void run_lib(Rec &r) {
    chronel h{};
    chronel_create(&h, rec_cb, &r);
    r.ctx = &h;
    r.arm = lib_arm;
    timespec v = cb::ts_of(KICK_NS);
    chronel_settime(&h, &v, nullptr);
    sem_wait(&r.done);
    chronel_delete(&h);
}

int posix_arm(Rec *r, int64_t v, int64_t i) {
    itimerspec its = its_of(v, i);
    return timer_settime(*static_cast<timer_t *>(r->ctx), 0, &its, nullptr);
}
void run_raw(Rec &r) {
    RawTimer t{};
    t.cb = rec_cb;
    t.arg = &r;
    raw_create(&t);
    r.ctx = &t.id;
    r.arm = posix_arm;
    itimerspec its = its_of(KICK_NS, 0);
    timer_settime(t.id, 0, &its, nullptr);
    sem_wait(&r.done);
    t.cb = nullptr;
    timer_delete(t.id);
}

// SIGEV_THREAD may run two notifications at once when one is late.
pthread_mutex_t sigev_lock = PTHREAD_MUTEX_INITIALIZER;
void sigev_cb(union sigval v) {
    pthread_mutex_lock(&sigev_lock);
    on_expiry(static_cast<Rec *>(v.sival_ptr));
    pthread_mutex_unlock(&sigev_lock);
}
void run_sigev(Rec &r) {
    timer_t id;
    sigevent sev;
    memset(&sev, 0, sizeof sev);
    sev.sigev_notify = SIGEV_THREAD;
    sev.sigev_notify_function = sigev_cb;
    sev.sigev_value.sival_ptr = &r;
    timer_create(CLOCK_MONOTONIC, &sev, &id);
    r.ctx = &id;
    r.arm = posix_arm;
    itimerspec its = its_of(KICK_NS, 0);
    timer_settime(id, 0, &its, nullptr);
    sem_wait(&r.done);
    timer_delete(id);
}

int tfd_arm(Rec *r, int64_t v, int64_t i) {
    itimerspec its = its_of(v, i);
    return timerfd_settime(*static_cast<int *>(r->ctx), 0, &its, nullptr);
}
void run_tfd(Rec &r) {
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    r.ctx = &fd;
    r.arm = tfd_arm;
    std::thread th([&] {
        while (r.i < r.n) {
            epoll_event e;
            if (epoll_wait(ep, &e, 1, -1) != 1)
                continue;
            uint64_t ticks;
            if (read(fd, &ticks, sizeof ticks) == sizeof ticks)
                on_expiry(&r);
        }
    });
    itimerspec its = its_of(KICK_NS, 0);
    timerfd_settime(fd, 0, &its, nullptr);
    th.join();
    close(ep);
    close(fd);
}

// The limit: a thread sleeping to an absolute deadline with 1 ns slack.
void run_limit(Rec &r) {
    std::thread th([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        int64_t start = now_ns(), k = 1;
        while (r.i < r.n) {
            int64_t dl = r.periodic ? start + k * r.period : now_ns() + r.period;
            timespec ts = cb::ts_of(dl);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
            int64_t t = now_ns();
            if (r.periodic) {
                int64_t kk = (t - start) / r.period;
                if (kk > k)
                    r.merged += kk - k;
                r.buf[r.i++] = t - (start + kk * r.period);
                k = kk + 1;
            } else {
                r.buf[r.i++] = t - dl;
            }
        }
    });
    th.join();
}

struct Contender {
    const char *name;
    void (*run)(Rec &);
};
const Contender contenders[] = {
    {"clock_nanosleep", run_limit}, {"chronels", run_lib}, {"posix_signal", run_raw},
    {"timerfd_epoll", run_tfd},     {"sigev_thread", run_sigev},
};
const int NCONT = 5;

Obj bench_lateness() {
    Obj out;
    const char *modes[2] = {"oneshot_0.5ms", "periodic_1ms"};
    std::vector<int64_t> samples[2][NCONT];
    int64_t merged[2][NCONT] = {};
    int per = std::max(1, opt.expiries / opt.rounds);
    std::vector<int64_t> buf(static_cast<size_t>(per));
    std::vector<std::unique_ptr<Rec>> recs;
    for (int round = 0; round < opt.rounds; round++) {
        for (int m = 0; m < 2; m++) {
            for (int j = 0; j < NCONT; j++) {
                int c = (j + round) % NCONT; // rotate who goes first
                // Kept to the end: a SIGEV_THREAD notification already on its
                // way when its timer is deleted still runs, and must find a
                // finished record rather than the next contender's.
                recs.emplace_back(new Rec);
                Rec &r = *recs.back();
                r.buf = buf.data();
                r.n = per;
                r.periodic = m == 1;
                r.period = m == 1 ? 1000000 : 500000;
                sem_init(&r.done, 0, 0);
                contenders[c].run(r);
                samples[m][c].insert(samples[m][c].end(), buf.begin(), buf.begin() + r.i);
                merged[m][c] += r.merged;
                usleep(2000);
            }
        }
        say("\rlateness: round %d/%d", round + 1, opt.rounds);
    }
    say("\n");
    for (int m = 0; m < 2; m++) {
        Obj mo;
        Dist limit = dist_of(samples[m][0], true);
        for (int c = 0; c < NCONT; c++) {
            Dist d = c == 0 ? limit : dist_of(samples[m][c], true);
            Obj o = dist_obj(d, &limit);
            if (m == 1)
                o.num("merged_expiries", static_cast<double>(merged[m][c]));
            mo.obj(contenders[c].name, o);
            say("  %-14s %-16s median %7.2f us  p99 %7.2f  p99.9 %7.2f  max %8.2f  (x%.3f / x%.3f)\n", modes[m],
                contenders[c].name, d.median, d.p99, d.p999, d.max, d.median / limit.median, d.p99 / limit.p99);
        }
        out.obj(modes[m], mo);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Control round trip
// ---------------------------------------------------------------------------
void noop_cb(void *) {}

Obj bench_roundtrip() {
    chronel h{};
    chronel_create(&h, noop_cb, nullptr);
    RawTimer rt{};
    RawReq req;
    req.t = &rt;
    req.op = RAW_CREATE;
    raw_request(req);
    int tfd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    timer_t inplace;
    RawTimer ip{};
    raw_create(&ip);
    inplace = ip.id;
    const int64_t far = 10LL * 1000000000LL;
    timespec farv = cb::ts_of(far);
    itimerspec faris = its_of(far, 0);
    req.op = RAW_SETTIME;
    req.its = faris;

    using Fn = std::function<void()>;
    const std::pair<const char *, Fn> calls[] = {
        {"chronel_settime", [&] { chronel_settime(&h, &farv, nullptr); }},
        {"chronel_control", [&] { chronel_control(&h, true); }},
        {"raw_handshake", [&] { raw_request(req); }},
        {"timer_settime_inplace", [&] { timer_settime(inplace, 0, &faris, nullptr); }},
        {"timerfd_settime_inplace", [&] { timerfd_settime(tfd, 0, &faris, nullptr); }},
    };
    const int NC = 5;
    struct Placement { const char *name; int client, server; };
    const Placement places[] = {{"same_core", 0, 0}, {"cross_core", 0, 1}, {"unpinned", -1, -1}};
    pid_t me = cb::gettid_();
    Obj out;
    for (const Placement &p : places) {
        cb::pin(me, p.client);
        cb::pin(lib_tid, p.server);
        cb::pin(raw.tid, p.server);
        std::vector<int64_t> d[NC];
        // The three hand-overs take turns call by call: on one core the
        // scheduler's choice to let the woken thread run at once or not
        // sticks for a while, and depends on what the caller did just
        // before, so blocks of one kind would each catch a different state.
        for (int i = 0; i < opt.calls; i++)
            for (int j = 0; j < 3; j++) {
                int c = (j + i) % 3;
                int64_t t0 = now_ns();
                calls[c].second();
                d[c].push_back(now_ns() - t0);
            }
        // The calls in place, for reference, apart: they never sleep.
        for (int c = 3; c < NC; c++)
            for (int i = 0; i < opt.calls; i++) {
                int64_t t0 = now_ns();
                calls[c].second();
                d[c].push_back(now_ns() - t0);
            }
        Obj po;
        Dist ref = dist_of(d[2]);
        for (int c = 0; c < NC; c++) {
            Dist x = dist_of(d[c], false, true);
            po.obj(calls[c].first, dist_obj(x, &ref));
            say("  roundtrip %-10s %-24s median %6.2f us  p99 %7.2f  (x%.3f / x%.3f of handshake)\n", p.name,
                calls[c].first, x.median, x.p99, x.median / ref.median, x.p99 / ref.p99);
        }
        out.obj(p.name, po);
    }
    cb::pin(me, -1);
    cb::pin(lib_tid, -1);
    cb::pin(raw.tid, -1);
    chronel_delete(&h);
    req.op = RAW_DELETE;
    raw_request(req);
    timer_delete(inplace);
    close(tfd);
    return out;
}

// ---------------------------------------------------------------------------
// Create + delete throughput
// ---------------------------------------------------------------------------
void pair_lib() {
    chronel h{};
    if (chronel_create(&h, noop_cb, nullptr) == 0)
        chronel_delete(&h);
}
void pair_raw_handshake() {
    thread_local RawReq req;
    thread_local RawTimer t;
    req.t = &t;
    req.op = RAW_CREATE;
    if (raw_request(req) == 0) {
        req.op = RAW_DELETE;
        raw_request(req);
    }
}
void pair_raw_inplace() {
    RawTimer t{};
    if (raw_create(&t) == 0)
        timer_delete(t.id);
}

// Pairs per second of `fn` run by `threads` threads for `ms` milliseconds.
double pairs_rate(void (*fn)(), int threads, int ms, int client_cpu) {
    std::atomic<bool> stop{false};
    std::atomic<long> total{0};
    auto body = [&] {
        if (client_cpu >= 0)
            cb::pin(cb::gettid_(), client_cpu);
        long n = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            fn();
            n++;
        }
        total += n;
    };
    int64_t t0 = now_ns();
    std::vector<std::thread> th;
    for (int i = 0; i < threads; i++)
        th.emplace_back(body);
    usleep(static_cast<useconds_t>(ms) * 1000);
    stop = true;
    for (auto &t : th)
        t.join();
    return static_cast<double>(total.load()) / (static_cast<double>(now_ns() - t0) / 1e9);
}

// One client: the three kinds take turns pair by pair, each timed.
void pairs_interleaved(void (*const fns[3])(), int ms, int client_cpu, double rate[3]) {
    if (client_cpu >= 0)
        cb::pin(cb::gettid_(), client_cpu);
    int64_t spent[3] = {0, 0, 0};
    long n[3] = {0, 0, 0};
    int64_t until = now_ns() + static_cast<int64_t>(ms) * 3000000LL;
    for (long i = 0; now_ns() < until; i++)
        for (int j = 0; j < 3; j++) {
            int f = static_cast<int>((i + j) % 3);
            int64_t t0 = now_ns();
            fns[f]();
            spent[f] += now_ns() - t0;
            n[f]++;
        }
    for (int f = 0; f < 3; f++)
        rate[f] = static_cast<double>(n[f]) / (static_cast<double>(spent[f]) / 1e9);
    cb::pin(cb::gettid_(), -1);
}

Obj bench_create_delete() {
    struct Cfg { const char *name; int threads, client, server; };
    const Cfg cfgs[] = {{"1_thread_same_core", 1, 0, 0}, {"1_thread_cross_core", 1, 0, 1},
                        {"1_thread_unpinned", 1, -1, -1}, {"2_threads_unpinned", 2, -1, -1}};
    const char *names[3] = {"chronels", "raw_handshake", "raw_inplace"};
    void (*const fns[3])() = {pair_lib, pair_raw_handshake, pair_raw_inplace};
    Obj out;
    for (const Cfg &c : cfgs) {
        cb::pin(lib_tid, c.server);
        cb::pin(raw.tid, c.server);
        double med[3];
        if (c.threads == 1) {
            pairs_interleaved(fns, opt.cd_ms * opt.cd_rounds, c.client, med);
        } else {
            // Two clients at once must run the same kind: short blocks in turn.
            std::vector<double> rates[3];
            for (int round = 0; round < opt.cd_rounds * 6; round++)
                for (int j = 0; j < 3; j++) {
                    int f = (j + round) % 3;
                    rates[f].push_back(pairs_rate(fns[f], c.threads, std::max(10, opt.cd_ms / 6), c.client));
                }
            for (int f = 0; f < 3; f++) {
                std::sort(rates[f].begin(), rates[f].end());
                med[f] = rates[f][rates[f].size() / 2];
            }
        }
        Obj co;
        for (int f = 0; f < 3; f++) {
            Obj o;
            o.num("pairs_per_s", med[f]).num("ratio_to_raw_handshake", med[f] / med[1]);
            co.obj(names[f], o);
            say("  create+delete %-20s %-14s %9.0f pairs/s (x%.3f of raw handshake)\n", c.name, names[f], med[f],
                med[f] / med[1]);
        }
        out.obj(c.name, co);
    }
    cb::pin(lib_tid, -1);
    cb::pin(raw.tid, -1);
    return out;
}

// ---------------------------------------------------------------------------
// System calls per dispatched expiry: strace counts those of one thread
// while a 1 ms periodic timer is dispatched on it.
// ---------------------------------------------------------------------------
std::atomic<long> dispatches{0};
void count_cb(void *) { dispatches.fetch_add(1, std::memory_order_relaxed); }

bool traced(pid_t tid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/status", static_cast<int>(tid));
    std::ifstream f(path);
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("TracerPid:", 0) == 0)
            return atoi(line.c_str() + 10) != 0;
    return false;
}

Obj strace_thread(pid_t tid, double secs) {
    Obj o;
    char tmpl[] = "/tmp/chronels-strace-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0)
        return o.str("error", "mkstemp");
    close(fd);
    std::string tids = std::to_string(tid);
    pid_t child = fork();
    if (child == 0) {
        execlp("strace", "strace", "-q", "-c", "-o", tmpl, "-p", tids.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int64_t until = now_ns() + 5000000000LL;
    while (!traced(tid) && now_ns() < until)
        usleep(1000);
    if (!traced(tid)) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        unlink(tmpl);
        return o.str("error", "strace did not attach");
    }
    long d0 = dispatches.load();
    usleep(static_cast<useconds_t>(secs * 1e6));
    long d1 = dispatches.load();
    kill(child, SIGINT);
    waitpid(child, nullptr, 0);
    std::ifstream f(tmpl);
    std::string line;
    long total = 0;
    Obj calls;
    while (std::getline(f, line)) {
        std::istringstream ss(line);
        std::vector<std::string> w;
        std::string x;
        while (ss >> x)
            w.push_back(x);
        if (w.size() < 5 || w[0][0] == '%' || w[0][0] == '-' || w.back() == "total")
            continue;
        long n = atol(w[3].c_str());
        calls.num(w.back(), static_cast<double>(n));
        if (w.size() == 6) // the errors column
            calls.num(w.back() + "_failed", atof(w[4].c_str()));
        total += n;
    }
    unlink(tmpl);
    o.num("dispatches", static_cast<double>(d1 - d0)).num("syscalls", static_cast<double>(total))
        .num("per_dispatch", static_cast<double>(total) / static_cast<double>(d1 - d0)).obj("by_name", calls);
    return o;
}

// Attaching interrupts the wait once; the stretch is long enough for that
// to show as what it is.
Obj syscalls_of(pid_t tid, double secs) {
    Obj o = strace_thread(tid, secs);
    double d = NAN, waits = NAN;
    for (auto &kv : o.kv)
        if (kv.first == "dispatches")
            d = atof(kv.second.c_str());
    std::string by = o.kv.back().second;
    size_t at = by.find("\"rt_sigtimedwait\": ");
    if (at != std::string::npos)
        waits = atof(by.c_str() + at + 19);
    o.num("waits_per_dispatch", waits / d);
    return o;
}

Obj bench_syscalls() {
    Obj out;
    double secs = opt.expiries >= 2000 ? 3.0 : 0.5;
    timespec ms1 = cb::ts_of(1000000);
    chronel h{};
    chronel_create(&h, count_cb, nullptr);
    chronel_settime(&h, &ms1, &ms1);
    Obj lo = syscalls_of(lib_tid, secs);
    chronel_delete(&h);
    out.obj("chronels", lo);

    RawTimer t{};
    t.cb = count_cb;
    raw_create(&t);
    itimerspec its = its_of(1000000, 1000000);
    timer_settime(t.id, 0, &its, nullptr);
    Obj ro = syscalls_of(raw.tid, secs);
    t.cb = nullptr;
    timer_delete(t.id);
    out.obj("posix_signal", ro);
    say("  syscalls per dispatch: chronels %s\n", lo.render().c_str());
    say("  syscalls per dispatch: bare     %s\n", ro.render().c_str());
    return out;
}

// ---------------------------------------------------------------------------
// User-space instructions per dispatch: callgrind, collecting only inside
// each timer thread's loop, run twice with different counts so that
// start-up and shut-down cancel.
// ---------------------------------------------------------------------------
std::string self_exe() {
    char b[4096];
    ssize_t n = readlink("/proc/self/exe", b, sizeof b - 1);
    b[n > 0 ? n : 0] = 0;
    return b;
}

int run_child(const std::vector<std::string> &args, const char *quiet_to = "/dev/null") {
    pid_t child = fork();
    if (child == 0) {
        int fd = open(quiet_to, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        std::vector<char *> av;
        for (const std::string &a : args)
            av.push_back(const_cast<char *>(a.c_str()));
        av.push_back(nullptr);
        execvp(av[0], av.data());
        _exit(127);
    }
    int st = 0;
    waitpid(child, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// The dispatch child: n dispatches of a 0.5 ms periodic timer, then the
// count written to `file`.
std::atomic<long> child_target{0};
chronel child_h{};
RawTimer child_raw{};
bool child_allocates = false; // proves that the allocator count sees calls
// The same work for both loops; true on the last dispatch wanted.
bool child_count() {
    if (child_allocates) {
        void *volatile p = malloc(static_cast<size_t>(dispatches.load() % 64 + 16));
        free(p);
    }
    return dispatches.fetch_add(1) + 1 == child_target.load();
}
void child_lib_cb(void *) {
    if (child_count())
        chronel_control(&child_h, false);
}
void child_raw_cb(void *) {
    if (child_count()) {
        itimerspec z{};
        timer_settime(child_raw.id, 0, &z, nullptr);
    }
}
int dispatch_child(const std::string &impl, long n, const std::string &file) {
    block_signals();
    child_target = n;
    child_allocates = getenv("CHRONELS_BENCH_ALLOCATE") != nullptr;
    if (impl == "lib") {
        chronel_init(0, SIGRTMIN);
        chronel_create(&child_h, child_lib_cb, nullptr);
        timespec p = cb::ts_of(500000);
        chronel_settime(&child_h, &p, &p);
    } else {
        raw_start();
        child_raw.cb = child_raw_cb;
        raw_create(&child_raw);
        itimerspec its = its_of(500000, 500000);
        timer_settime(child_raw.id, 0, &its, nullptr);
    }
    while (dispatches.load() < n)
        usleep(5000);
    usleep(50000);
    FILE *f = fopen(file.c_str(), "w");
    if (f != nullptr) {
        fprintf(f, "%ld\n", dispatches.load());
        fclose(f);
    }
    fflush(nullptr);
    _exit(0);
}

struct CgCount { double ir = NAN, alloc_calls = NAN, dispatches = NAN; };

CgCount callgrind_once(const std::string &impl, long n) {
    CgCount c;
    std::string out = "/tmp/chronels-cg-" + std::to_string(getpid()) + "-" + impl + "-" + std::to_string(n);
    std::string cnt = out + ".count";
    std::string fn = impl == "lib" ? "*chronel_thread_loop*" : "*raw_loop*";
    int rc = run_child({"valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, "--toggle-collect=" + fn,
                        self_exe(), "--dispatch-child", impl, std::to_string(n), cnt});
    if (rc != 0)
        return c;
    std::ifstream cf(cnt);
    cf >> c.dispatches;
    // Sum of the calls into the allocator made from collected code.
    std::ifstream f(out);
    std::string line, cfn;
    std::map<std::string, std::string> names;
    double alloc = 0;
    while (std::getline(f, line)) {
        if (line.rfind("totals:", 0) == 0 || line.rfind("summary:", 0) == 0)
            c.ir = atof(line.c_str() + line.find(':') + 1);
        bool callee = line.rfind("cfn=", 0) == 0;
        if (callee || line.rfind("fn=", 0) == 0) {
            std::string s = line.substr(callee ? 4 : 3);
            if (s[0] == '(') {
                size_t e = s.find(')');
                std::string id = s.substr(0, e + 1);
                if (e + 1 < s.size())
                    names[id] = s.substr(e + 2);
                s = names[id];
            }
            if (callee)
                cfn = s;
        } else if (line.rfind("calls=", 0) == 0) {
            if (cfn == "malloc" || cfn == "calloc" || cfn == "realloc" || cfn == "free")
                alloc += atof(line.c_str() + 6);
        }
    }
    c.alloc_calls = alloc;
    unlink(out.c_str());
    unlink(cnt.c_str());
    return c;
}

Obj bench_callgrind() {
    Obj out;
    if (run_child({"valgrind", "--version"}) != 0)
        return out.str("error", "valgrind not found");
    long n1 = std::max(100, opt.callgrind_dispatches / 4), n2 = opt.callgrind_dispatches + n1;
    double per[2] = {NAN, NAN};
    const char *impls[2] = {"lib", "raw"};
    for (int k = 0; k < 2; k++) {
        CgCount a = callgrind_once(impls[k], n1), b = callgrind_once(impls[k], n2);
        double dd = b.dispatches - a.dispatches;
        per[k] = (b.ir - a.ir) / dd;
        Obj o;
        o.num("instructions_per_dispatch", per[k]).num("allocator_calls_per_dispatch", (b.alloc_calls - a.alloc_calls) / dd)
            .num("dispatches_short", a.dispatches).num("dispatches_long", b.dispatches)
            .num("ir_short", a.ir).num("ir_long", b.ir);
        out.obj(k == 0 ? "chronels" : "posix_signal", o);
    }
    out.num("ratio", per[0] / per[1]);
    say("  instructions per dispatch: chronels %.1f, bare %.1f (x%.3f)\n", per[0], per[1], per[0] / per[1]);
    return out;
}

// ---------------------------------------------------------------------------
// Scale: many live armed timers. Runs in a child process with a user id of
// its own when started as root, because the pending-signal limit is counted
// per user: filling it here must not starve other programs of the machine.
// ---------------------------------------------------------------------------
struct Stagger { int64_t t0, phase, period; };

struct ScaleCtx {
    bool lib = true;
    size_t n = 0;                 // live timers
    std::vector<chronel> h;
    std::vector<RawTimer> rt;
    std::vector<Stagger> st;
    std::vector<int64_t> lat;     // lateness samples inside the window
    std::atomic<size_t> nlat{0};
    std::atomic<long> fired{0};   // dispatches inside the window
    std::atomic<int64_t> w0{0}, w1{0}; // the measured window
    int64_t base_period = 0;
    bool same_period = false;
    std::atomic<int> cmd{0};      // 1 arm all, 3 delete all (on the timer thread)
    std::atomic<int> state{0};    // 2 armed, 4 deleted
    chronel kick{};
    RawTimer kick_raw{};
};
ScaleCtx *sc;

void scale_cb(void *a) {
    int64_t t = now_ns();
    const Stagger *s = static_cast<const Stagger *>(a);
    if (t < sc->w0.load(std::memory_order_relaxed) || t > sc->w1.load(std::memory_order_relaxed))
        return;
    int64_t k = (t - s->t0 - s->phase) / s->period;
    if (k < 0)
        k = 0;
    sc->fired.fetch_add(1, std::memory_order_relaxed);
    size_t i = sc->nlat.fetch_add(1, std::memory_order_relaxed);
    if (i < sc->lat.size())
        sc->lat[i] = t - (s->t0 + s->phase + k * s->period);
}

// On the timer thread: arms every timer with its own period and phase, or
// deletes them all; polled every 10 ms so that it works even when the
// process has no pending signal left for a control request.
void kick_cb(void *) {
    int c = sc->cmd.load();
    if (c == 1) {
        int64_t first = now_ns() + 200000000LL + static_cast<int64_t>(sc->n) * 10000;
        for (size_t i = 0; i < sc->n; i++) {
            Stagger &s = sc->st[i];
            s.period = sc->same_period ? sc->base_period
                                       : sc->base_period + static_cast<int64_t>(i % 997) * sc->base_period / 997;
            s.t0 = now_ns();
            s.phase = std::max<int64_t>(1000, first - s.t0 + static_cast<int64_t>(i) * sc->base_period /
                                                                static_cast<int64_t>(sc->n));
            if (sc->lib) {
                timespec v = cb::ts_of(s.phase), p = cb::ts_of(s.period);
                chronel_settime(&sc->h[i], &v, &p);
            } else {
                itimerspec its = its_of(s.phase, s.period);
                timer_settime(sc->rt[i].id, 0, &its, nullptr);
            }
        }
        sc->w0 = first;
        sc->cmd = 0;
        sc->state = 2;
    } else if (c == 3) {
        for (size_t i = 0; i < sc->n; i++) {
            if (sc->lib) {
                chronel_delete(&sc->h[i]);
            } else {
                sc->rt[i].cb = nullptr;
                timer_delete(sc->rt[i].id);
            }
        }
        sc->n = 0;
        sc->cmd = 0;
        sc->state = 4;
    }
}

long statm_rss() {
    std::ifstream f("/proc/self/statm");
    long size = 0, rss = 0;
    f >> size >> rss;
    return rss * sysconf(_SC_PAGESIZE);
}
long meminfo_kb(const char *key) {
    std::ifstream f("/proc/meminfo");
    std::string k;
    long v;
    std::string unit;
    while (f >> k >> v >> unit)
        if (k == key)
            return v;
    return 0;
}
// User and system CPU seconds of one thread of this process.
std::pair<double, double> thread_cpu(pid_t tid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
    std::ifstream f(path);
    std::string all;
    std::getline(f, all);
    std::istringstream ss(all.substr(all.rfind(')') + 2));
    std::string x;
    double ut = 0, st = 0;
    for (int field = 3; ss >> x; field++) {
        if (field == 14)
            ut = atof(x.c_str());
        if (field == 15) {
            st = atof(x.c_str());
            break;
        }
    }
    double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
    return {ut / hz, st / hz};
}

int system_timers() {
    std::ifstream f("/proc/self/timers");
    std::string line;
    int n = 0;
    while (std::getline(f, line))
        n += line.rfind("ID:", 0) == 0;
    return n;
}

// One scale run. want == 0: as many as the limits allow. `sat`: every
// timer at the same short period, to saturate dispatch, and deletes timed
// while they fire.
Obj scale_run(bool lib, size_t want, bool sat) {
    Obj o;
    const size_t cap = want ? want : 400000;
    ScaleCtx ctx;
    sc = &ctx;
    ctx.lib = lib;
    ctx.h.assign(cap, chronel{});
    ctx.rt.assign(cap, RawTimer{});
    ctx.st.assign(cap, Stagger{});
    ctx.lat.assign(2000000, 0);
    ctx.w0 = INT64_MAX;
    ctx.w1 = INT64_MAX;
    RawReq req;
    // The kicker exists first and polls, so arming and deleting need no
    // control request once the limit is reached.
    timespec tenms = cb::ts_of(10000000);
    itimerspec tenits = its_of(10000000, 10000000);
    if (lib) {
        chronel_create(&ctx.kick, kick_cb, nullptr);
        chronel_settime(&ctx.kick, &tenms, &tenms);
    } else {
        ctx.kick_raw.cb = kick_cb;
        raw_create(&ctx.kick_raw);
        timer_settime(ctx.kick_raw.id, 0, &tenits, nullptr);
    }
    malloc_trim(0);
    size_t heap0 = mallinfo2().uordblks;
    long rss0 = statm_rss(), slab0 = meminfo_kb("Slab:");
    int64_t t0 = now_ns();
    std::string stop_reason = "reached the requested count";
    for (size_t i = 0; i < cap; i++) {
        int rc;
        errno = 0;
        if (lib) {
            rc = chronel_create(&ctx.h[i], scale_cb, &ctx.st[i]);
        } else {
            ctx.rt[i].cb = scale_cb;
            ctx.rt[i].arg = &ctx.st[i];
            req.t = &ctx.rt[i];
            req.op = RAW_CREATE;
            rc = raw_request(req);
        }
        if (rc != 0) {
            stop_reason = std::string("create failed: ") + (errno ? strerror(errno) : "error");
            break;
        }
        ctx.n = i + 1;
    }
    double create_s = static_cast<double>(now_ns() - t0) / 1e9;
    size_t heap1 = mallinfo2().uordblks;
    long rss1 = statm_rss(), slab1 = meminfo_kb("Slab:");
    double n = static_cast<double>(ctx.n);
    rlimit rl{};
    getrlimit(RLIMIT_SIGPENDING, &rl);
    o.num("timers", n).str("stopped_by", stop_reason).num("rlimit_sigpending", static_cast<double>(rl.rlim_cur))
        .num("create_per_s", n / create_s)
        .num("heap_per_timer_bytes", (static_cast<double>(heap1) - static_cast<double>(heap0)) / n)
        .num("rss_per_timer_bytes", static_cast<double>(rss1 - rss0) / n)
        .num("kernel_slab_per_timer_bytes_approx", static_cast<double>(slab1 - slab0) * 1024.0 / n);
    if (!want) {
        // What still works at the limit from a thread other than the timer thread.
        int before = system_timers();
        timespec v = cb::ts_of(1000000000LL);
        int set_rc = lib ? chronel_settime(&ctx.h[0], &v, nullptr) : -2;
        int del_rc = -2;
        if (lib) {
            chronel victim = ctx.h[ctx.n - 1];
            del_rc = chronel_delete(&victim);
            ctx.h[ctx.n - 1] = chronel{};
        } else {
            req.t = &ctx.rt[ctx.n - 1];
            req.op = RAW_DELETE;
            del_rc = raw_request(req);
            if (del_rc != 0)
                timer_delete(ctx.rt[ctx.n - 1].id);
        }
        int after = system_timers();
        ctx.n -= 1;
        o.num("at_limit_settime_rc", set_rc).num("at_limit_delete_rc", del_rc)
            .boolean("at_limit_delete_released_system_timer", after < before);
    }

    // Dispatch while they fire at staggered periods (or all at one short
    // period, to saturate).
    ctx.same_period = sat;
    ctx.base_period = sat ? 100000000LL
                          : std::max<int64_t>(20000000LL, static_cast<int64_t>(n / 15000.0 * 1e9));
    ctx.cmd = 1;
    while (ctx.state.load() != 2)
        usleep(1000);
    ctx.w1 = ctx.w0.load() + static_cast<int64_t>(opt.scale_secs * 1e9);
    pid_t server = lib ? lib_tid.load() : raw.tid.load();
    while (now_ns() < ctx.w0)
        usleep(1000);
    std::pair<double, double> c0 = thread_cpu(server);
    while (now_ns() < ctx.w1)
        usleep(1000);
    std::pair<double, double> c1 = thread_cpu(server);
    while (now_ns() < ctx.w1 + 20000000)
        usleep(10000);
    o.num("timer_thread_user_cpu", (c1.first - c0.first) / opt.scale_secs)
        .num("timer_thread_system_cpu", (c1.second - c0.second) / opt.scale_secs);
    double rate = static_cast<double>(ctx.fired.load()) / opt.scale_secs;
    std::vector<int64_t> lat(ctx.lat.begin(), ctx.lat.begin() + static_cast<long>(std::min(ctx.nlat.load(), ctx.lat.size())));
    Dist d = dist_of(lat);
    o.num("base_period_ms", static_cast<double>(ctx.base_period) / 1e6)
        .num("demanded_per_s", sat ? n / 0.1 : NAN).num("dispatched_per_s", rate).obj("lateness", dist_obj(d));

    // Deletes from another thread while the rest still fire.
    if (want) {
        size_t k = 0, limit = std::min<size_t>(ctx.n, sat ? 2000 : ctx.n);
        int64_t d0 = now_ns();
        for (; k < limit; k++) {
            if (lib) {
                chronel_delete(&ctx.h[ctx.n - 1 - k]);
            } else {
                RawTimer &t = ctx.rt[ctx.n - 1 - k];
                t.cb = nullptr;
                req.t = &t;
                req.op = RAW_DELETE;
                raw_request(req);
            }
        }
        double del_s = static_cast<double>(now_ns() - d0) / 1e9;
        o.num("deletes_timed", static_cast<double>(k)).num("delete_per_s", static_cast<double>(k) / del_s);
        ctx.n -= k;
    }
    ctx.cmd = 3;
    while (ctx.state.load() != 4)
        usleep(1000);
    if (lib) {
        chronel_delete(&ctx.kick);
    } else {
        ctx.kick_raw.cb = nullptr;
        timer_delete(ctx.kick_raw.id);
    }
    usleep(200000); // let parked records go
    say("  scale %-12s %-8s %s\n", lib ? "chronels" : "posix", want ? std::to_string(want).c_str() : "max",
        o.render().substr(0, 400).c_str());
    sc = nullptr;
    return o;
}

int scale_child(const std::string &file) {
    std::ofstream f(file); // opened before giving up root
    if (getuid() == 0) {
        // A user of its own, so that the pending-signal count is ours alone.
        if (setgid(64321) != 0 || setuid(64321) != 0)
            fprintf(stderr, "could not take a user id of its own\n");
        prctl(PR_SET_DUMPABLE, 1UL, 0, 0, 0); // keeps /proc/self readable
    }
    block_signals();
    chronel_init(0, SIGRTMIN);
    raw_start();
    find_lib_tid();
    Obj out;
    for (int n : opt.scale) {
        Obj so;
        for (int rep = 0; rep < 2; rep++) {
            // Alternate who goes first; the second pair is reported.
            Obj a = scale_run(rep == 0, static_cast<size_t>(n), false);
            Obj b = scale_run(rep != 0, static_cast<size_t>(n), false);
            if (rep == 1) {
                so.obj("posix_signal", a).obj("chronels", b);
            }
        }
        out.obj(std::to_string(n), so);
    }
    if (opt.sat_timers > 0) {
        Obj so;
        so.obj("chronels", scale_run(true, static_cast<size_t>(opt.sat_timers), true));
        so.obj("posix_signal", scale_run(false, static_cast<size_t>(opt.sat_timers), true));
        out.obj("saturate_" + std::to_string(opt.sat_timers), so);
    }
    if (opt.scale_max) {
        Obj so;
        so.obj("chronels", scale_run(true, 0, false));
        so.obj("posix_signal", scale_run(false, 0, false));
        out.obj("max", so);
    }
    out.num("uid", getuid());
    f << out.render();
    f.close();
    fflush(nullptr);
    _exit(0);
}

// ---------------------------------------------------------------------------
// The machine
// ---------------------------------------------------------------------------
std::string read_first(const char *path) {
    std::ifstream f(path);
    std::string s;
    std::getline(f, s);
    return s;
}
Obj machine() {
    Obj m;
    utsname u;
    uname(&u);
    std::string model;
    std::ifstream f("/proc/cpuinfo");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    char date[64];
    time_t now = time(nullptr);
    strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
    rlimit rl{};
    getrlimit(RLIMIT_SIGPENDING, &rl);
    m.str("uname", std::string(u.sysname) + " " + u.nodename + " " + u.release + " " + u.version + " " + u.machine)
        .str("cpu_model", model).num("nproc", static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN)))
        .str("date", date).str("glibc", gnu_get_libc_version()).str("compiler", __VERSION__)
        .str("clocksource", read_first("/sys/devices/system/clocksource/clocksource0/current_clocksource"))
        .num("rlimit_sigpending", static_cast<double>(rl.rlim_cur))
        .num("mem_total_kb", static_cast<double>(meminfo_kb("MemTotal:")))
        .str("loadavg_at_start", read_first("/proc/loadavg"));
    return m;
}

void usage() {
    printf("usage: chronels_bench [options]\n"
           "  --out FILE        JSON output (default chronels_bench.json)\n"
           "  --expiries N      lateness samples per contender and mode (6000)\n"
           "  --rounds N        interleaved rounds (60)\n"
           "  --calls N         round trips per contender and placement (24000)\n"
           "  --cd-ms N         create+delete block length in ms (300)\n"
           "  --cd-rounds N     create+delete rounds (4)\n"
           "  --scale LIST      live timer counts, comma separated (1000,10000); 'none' skips\n"
           "  --no-max          skip the run to the process's limits\n"
           "  --saturate N      timers for the saturation run (50000, 0 skips)\n"
           "  --scale-secs S    dispatch window of each scale run (2)\n"
           "  --no-strace       skip counting system calls\n"
           "  --no-callgrind    skip counting instructions\n"
           "  --smoke           seconds-long run with tiny counts\n"
           "  --note TEXT       stored in the JSON (e.g. the commit)\n"
           "  --only LIST       sections: lateness,roundtrip,create_delete,syscalls,instructions,scale\n"
           "  --quiet\n");
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> a(argv + 1, argv + argc);
    if (a.size() == 4 && a[0] == "--dispatch-child")
        return dispatch_child(a[1], atol(a[2].c_str()), a[3]);
    std::string scale_out;
    for (size_t i = 0; i < a.size(); i++) {
        auto next = [&] { return i + 1 < a.size() ? a[++i] : std::string(); };
        if (a[i] == "--out") opt.out = next();
        else if (a[i] == "--expiries") opt.expiries = atoi(next().c_str());
        else if (a[i] == "--rounds") opt.rounds = atoi(next().c_str());
        else if (a[i] == "--calls") opt.calls = atoi(next().c_str());
        else if (a[i] == "--cd-ms") opt.cd_ms = atoi(next().c_str());
        else if (a[i] == "--cd-rounds") opt.cd_rounds = atoi(next().c_str());
        else if (a[i] == "--scale") {
            opt.scale.clear();
            std::stringstream ss(next());
            std::string x;
            while (std::getline(ss, x, ','))
                if (x != "none")
                    opt.scale.push_back(atoi(x.c_str()));
        } else if (a[i] == "--no-max") opt.scale_max = false;
        else if (a[i] == "--saturate") opt.sat_timers = atoi(next().c_str());
        else if (a[i] == "--scale-secs") opt.scale_secs = atof(next().c_str());
        else if (a[i] == "--no-strace") opt.strace = false;
        else if (a[i] == "--no-callgrind") opt.callgrind = false;
        else if (a[i] == "--note") opt.note = next();
        else if (a[i] == "--quiet") opt.verbose = false;
        else if (a[i] == "--only") opt.only = next();
        else if (a[i] == "--scale-child") scale_out = next();
        else if (a[i] == "--smoke") {
            opt.expiries = 200; opt.rounds = 2; opt.calls = 400; opt.cd_ms = 50; opt.cd_rounds = 1;
            opt.scale = {200}; opt.scale_max = false; opt.sat_timers = 2000; opt.scale_secs = 0.3;
            opt.callgrind = false;
        } else if (a[i] == "--help" || a[i] == "-h") {
            usage();
            return 0;
        } else {
            usage();
            return 2;
        }
    }
    if (!scale_out.empty())
        return scale_child(scale_out);

    block_signals();
    if (chronel_init(0, SIGRTMIN) != 0) {
        fprintf(stderr, "chronel_init failed\n");
        return 1;
    }
    raw_start();
    find_lib_tid();

    Obj root;
    root.obj("machine", machine());
    Obj cfg;
    cfg.num("expiries", opt.expiries).num("rounds", opt.rounds).num("calls", opt.calls).num("cd_ms", opt.cd_ms)
        .num("scale_secs", opt.scale_secs).str("note", opt.note);
    root.obj("config", cfg);

    if (opt.want("lateness")) {
        say("expiry lateness, %d expiries per contender and mode, %d rounds\n", opt.expiries, opt.rounds);
        root.obj("lateness", bench_lateness());
    }
    if (opt.want("roundtrip")) {
        say("control round trip\n");
        root.obj("roundtrip", bench_roundtrip());
    }
    if (opt.want("create_delete")) {
        say("create + delete\n");
        root.obj("create_delete", bench_create_delete());
    }
    if (opt.want("syscalls") && opt.strace && run_child({"strace", "-V"}) == 0) {
        say("system calls per dispatch\n");
        root.obj("syscalls", bench_syscalls());
    }
    if (opt.want("instructions") && opt.callgrind) {
        say("instructions per dispatch (callgrind)\n");
        root.obj("instructions", bench_callgrind());
    }
    if (opt.want("scale") && (!opt.scale.empty() || opt.scale_max || opt.sat_timers > 0)) {
        say("scale (child process)\n");
        std::string file = opt.out + ".scale.tmp";
        std::vector<std::string> args = {self_exe(), "--scale-child", file, "--scale-secs", std::to_string(opt.scale_secs),
                                         "--saturate", std::to_string(opt.sat_timers)};
        std::string list;
        for (int n : opt.scale)
            list += (list.empty() ? "" : ",") + std::to_string(n);
        args.push_back("--scale");
        args.push_back(list.empty() ? "none" : list);
        if (!opt.scale_max)
            args.push_back("--no-max");
        if (!opt.verbose)
            args.push_back("--quiet");
        pid_t child = fork();
        if (child == 0) {
            std::vector<char *> av;
            for (const std::string &s : args)
                av.push_back(const_cast<char *>(s.c_str()));
            av.push_back(nullptr);
            execv(av[0], av.data());
            _exit(127);
        }
        int st = 0;
        waitpid(child, &st, 0);
        std::ifstream f(file);
        std::stringstream ss;
        ss << f.rdbuf();
        root.raw("scale", ss.str().empty() ? "null" : ss.str());
        unlink(file.c_str());
    }
    root.str("loadavg_at_end", read_first("/proc/loadavg"));
    std::ofstream f(opt.out);
    f << root.render() << "\n";
    f.close();
    say("wrote %s\n", opt.out.c_str());
    raw_stop();
    chronel_shutdown();
    return 0;
}
