// Scale: many live armed timers, the library against the bare mechanism:
// memory per timer, creates, dispatch at staggered periods (or all at one
// short period, to saturate), deletes while they fire, and what stops the
// growth. Runs in a child process with a user id of its own when started as
// root, since the pending-signal limit is counted per user: filling it here
// must not starve the machine's other programs.
#include "common.h"

#include <errno.h>
#include <malloc.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>

using namespace cb;
namespace {

struct Stagger { int64_t t0, phase, period; };
struct Ctx {
    bool lib = true, same_period = false;
    size_t n = 0; // live timers
    std::vector<chronel> h;
    std::vector<RawTimer> rt;
    std::vector<Stagger> st;
    std::vector<int64_t> lat = std::vector<int64_t>(2000000); // lateness inside the window
    std::atomic<size_t> nlat{0};
    std::atomic<long> fired{0};
    std::atomic<int64_t> w0{INT64_MAX}, w1{INT64_MAX}; // the measured window
    int64_t base_period = 0;
    std::atomic<int> cmd{0}, state{0}; // cmd 1 arm all, 3 delete all; state 2 armed, 4 deleted
} *sc;

void fire(void *a) {
    int64_t t = now_ns();
    const Stagger *s = static_cast<const Stagger *>(a);
    if (t < sc->w0.load(std::memory_order_relaxed) || t > sc->w1.load(std::memory_order_relaxed))
        return;
    int64_t k = std::max<int64_t>(0, (t - s->t0 - s->phase) / s->period);
    sc->fired.fetch_add(1, std::memory_order_relaxed);
    size_t i = sc->nlat.fetch_add(1, std::memory_order_relaxed);
    if (i < sc->lat.size())
        sc->lat[i] = t - (s->t0 + s->phase + k * s->period);
}

// On the timer thread, polled every 10 ms, so that arming and deleting need
// no control request once the process has no pending signal left.
void kick(void *) {
    int c = sc->cmd.load();
    for (size_t i = 0; c != 0 && i < sc->n; i++) {
        if (c == 1) {
            Stagger &s = sc->st[i];
            int64_t first = sc->w0.load();
            s.period = sc->base_period + (sc->same_period ? 0 : static_cast<int64_t>(i % 997) * sc->base_period / 997);
            s.t0 = now_ns();
            s.phase = std::max<int64_t>(1000, first - s.t0 + static_cast<int64_t>(i) * sc->base_period /
                                                                static_cast<int64_t>(sc->n));
            if (sc->lib) {
                timespec v = ts_of(s.phase), p = ts_of(s.period);
                chronel_settime(&sc->h[i], &v, &p);
            } else {
                itimerspec its = its_of(s.phase, s.period);
                timer_settime(sc->rt[i].id, 0, &its, nullptr);
            }
        } else if (sc->lib) {
            chronel_delete(&sc->h[i]);
        } else {
            sc->rt[i].cb = nullptr;
            timer_delete(sc->rt[i].id);
        }
    }
    if (c == 3)
        sc->n = 0;
    if (c != 0)
        sc->state = c + 1, sc->cmd = 0;
}

long proc_value(const char *path, const char *key, int field) { // field after `key`, or the field-th number
    std::ifstream f(path);
    std::string k;
    long v = 0;
    for (int i = 0; f >> k; i++)
        if (key ? k == key : i == field)
            return key ? (f >> v, v) : atol(k.c_str());
    return 0;
}
int system_timers() {
    std::ifstream f("/proc/self/timers");
    int n = 0;
    for (std::string line; std::getline(f, line);)
        n += line.rfind("ID:", 0) == 0;
    return n;
}
void remove_one(size_t i, RawReq &req) { // from this thread, through the timer thread
    if (sc->lib) {
        chronel_delete(&sc->h[i]);
        return;
    }
    sc->rt[i].cb = nullptr;
    req.t = &sc->rt[i];
    req.op = RAW_DELETE;
    if (raw_request(req) != 0)
        timer_delete(sc->rt[i].id);
}

// want == 0: as many as the limits allow. sat: all at 100 ms, and deletes
// timed while they fire.
Obj scale_run(bool lib, size_t want, bool sat) {
    Ctx ctx;
    sc = &ctx;
    ctx.lib = lib;
    const size_t cap = want ? want : 400000;
    ctx.h.assign(cap, chronel{});
    ctx.rt.assign(cap, RawTimer{});
    ctx.st.assign(cap, Stagger{});
    chronel kick_h{};
    RawTimer kick_raw{};
    kick_raw.cb = kick;
    timespec tenms = ts_of(10000000);
    itimerspec tenits = its_of(10000000, 10000000);
    if (lib) {
        chronel_create(&kick_h, kick, nullptr);
        chronel_settime(&kick_h, &tenms, &tenms);
    } else {
        raw_create(&kick_raw);
        timer_settime(kick_raw.id, 0, &tenits, nullptr);
    }
    malloc_trim(0);
    size_t heap0 = mallinfo2().uordblks;
    long rss0 = proc_value("/proc/self/statm", nullptr, 1), slab0 = proc_value("/proc/meminfo", "Slab:", 0);
    int64_t t0 = now_ns();
    std::string stop_reason = "reached the requested count";
    RawReq req;
    for (size_t i = 0; i < cap; i++, ctx.n = i) {
        errno = 0;
        ctx.rt[i] = {nullptr, fire, &ctx.st[i]};
        req.t = &ctx.rt[i];
        req.op = RAW_CREATE;
        if ((lib ? chronel_create(&ctx.h[i], fire, &ctx.st[i]) : raw_request(req)) != 0) {
            stop_reason = std::string("create failed: ") + (errno ? strerror(errno) : "error");
            break;
        }
    }
    double create_s = static_cast<double>(now_ns() - t0) / 1e9, n = static_cast<double>(ctx.n);
    double heap = static_cast<double>(mallinfo2().uordblks) - static_cast<double>(heap0);
    long rss1 = proc_value("/proc/self/statm", nullptr, 1), slab1 = proc_value("/proc/meminfo", "Slab:", 0);
    rlimit rl{};
    getrlimit(RLIMIT_SIGPENDING, &rl);
    Obj o;
    o.num("timers", n).str("stopped_by", stop_reason).num("rlimit_sigpending", static_cast<double>(rl.rlim_cur))
        .num("create_per_s", n / create_s).num("heap_per_timer_bytes", heap / n)
        .num("rss_per_timer_bytes", static_cast<double>((rss1 - rss0) * sysconf(_SC_PAGESIZE)) / n)
        .num("kernel_slab_per_timer_bytes_approx", static_cast<double>(slab1 - slab0) * 1024.0 / n);
    if (!want) { // what still works at the limit from a thread other than the timer thread
        int before = system_timers();
        timespec v = ts_of(1000000000LL);
        int set_rc = lib ? chronel_settime(&ctx.h[0], &v, nullptr) : -2;
        chronel victim = lib ? ctx.h[ctx.n - 1] : chronel{};
        int del_rc = lib ? chronel_delete(&victim) : (req.t = &ctx.rt[ctx.n - 1], req.op = RAW_DELETE, raw_request(req));
        if (!lib && del_rc != 0)
            timer_delete(ctx.rt[ctx.n - 1].id);
        o.num("at_limit_settime_rc", set_rc).num("at_limit_delete_rc", del_rc)
            .boolean("at_limit_delete_released_system_timer", system_timers() < before);
        ctx.h[--ctx.n] = chronel{};
    }

    ctx.same_period = sat;
    ctx.base_period = sat ? 100000000LL : std::max<int64_t>(20000000LL, static_cast<int64_t>(n / 15000.0 * 1e9));
    ctx.w0 = now_ns() + 200000000LL + static_cast<int64_t>(ctx.n) * 10000;
    ctx.cmd = 1;
    while (ctx.state.load() != 2)
        usleep(1000);
    ctx.w1 = ctx.w0.load() + static_cast<int64_t>(opt.scale_secs * 1e9);
    while (now_ns() < ctx.w1 + 20000000)
        usleep(10000);
    ctx.lat.resize(std::min(ctx.nlat.load(), ctx.lat.size()));
    o.num("base_period_ms", static_cast<double>(ctx.base_period) / 1e6).num("demanded_per_s", sat ? n / 0.1 : NAN)
        .num("dispatched_per_s", static_cast<double>(ctx.fired.load()) / opt.scale_secs).obj("lateness", dist_obj(ctx.lat));
    if (want) { // deletes from this thread while the rest still fire
        size_t k = 0, limit = std::min<size_t>(ctx.n, sat ? 2000 : ctx.n);
        int64_t d0 = now_ns();
        for (; k < limit; k++)
            remove_one(ctx.n - 1 - k, req);
        o.num("deletes_timed", static_cast<double>(k)).num("delete_per_s", static_cast<double>(k) * 1e9 / static_cast<double>(now_ns() - d0));
        ctx.n -= k;
    }
    ctx.cmd = 3;
    while (ctx.state.load() != 4)
        usleep(1000);
    if (lib) {
        chronel_delete(&kick_h);
    } else {
        kick_raw.cb = nullptr;
        timer_delete(kick_raw.id);
    }
    usleep(200000); // let parked records go
    say("  scale %-12s %-8s %s\n", lib ? "chronels" : "posix", want ? std::to_string(want).c_str() : "max",
        o.render().substr(0, 400).c_str());
    sc = nullptr;
    return o;
}

// args: output file, then the parent's options
int child(const std::vector<std::string> &a) {
    std::ofstream f(a.at(0)); // opened before giving up root
    parse_options(std::vector<std::string>(a.begin() + 1, a.end()));
    if (getuid() == 0 && (setgid(64321) != 0 || setuid(64321) != 0))
        fprintf(stderr, "could not take a user id of its own\n");
    prctl(PR_SET_DUMPABLE, 1UL, 0, 0, 0); // keeps /proc/self readable
    block_signals();
    start_both();
    Obj out;
    for (int n : opt.scale) {
        // Alternating who goes first; the second pair is reported.
        scale_run(true, static_cast<size_t>(n), false);
        scale_run(false, static_cast<size_t>(n), false);
        Obj a1 = scale_run(false, static_cast<size_t>(n), false), b1 = scale_run(true, static_cast<size_t>(n), false);
        out.obj(std::to_string(n), Obj().obj("posix_signal", a1).obj("chronels", b1));
    }
    if (opt.sat_timers > 0)
        out.obj("saturate_" + std::to_string(opt.sat_timers),
                Obj().obj("chronels", scale_run(true, static_cast<size_t>(opt.sat_timers), true))
                    .obj("posix_signal", scale_run(false, static_cast<size_t>(opt.sat_timers), true)));
    if (opt.scale_max)
        out.obj("max", Obj().obj("chronels", scale_run(true, 0, false)).obj("posix_signal", scale_run(false, 0, false)));
    f << out.num("uid", getuid()).render();
    f.close();
    fflush(nullptr);
    _exit(0);
}
Add<Child> reg_child{{"--scale-child", child}};

std::string scale() {
    if (opt.scale.empty() && !opt.scale_max && opt.sat_timers <= 0)
        return "";
    std::string file = "/tmp/chronels-scale-" + std::to_string(getpid());
    pid_t child = fork();
    if (child == 0) { // not run_child: its output is the progress report
        std::vector<std::string> args = {self_exe(), "--scale-child", file};
        args.insert(args.end(), options_given.begin(), options_given.end());
        std::vector<char *> av;
        for (std::string &s : args)
            av.push_back(&s[0]);
        av.push_back(nullptr);
        execv(av[0], av.data());
        _exit(127);
    }
    waitpid(child, nullptr, 0);
    std::ifstream in(file);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    unlink(file.c_str());
    return text.empty() ? "null" : text;
}
Add<Section> reg{{"scale", 6, scale}};

} // namespace
