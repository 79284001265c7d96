// SPDX-License-Identifier: MIT
// Scale: many live armed timers, the library against the bare mechanism:
// memory per timer, creates, dispatch at staggered periods (or all at one
// short period, to saturate), deletes while they fire, and what stops the
// growth. Runs in a child process with a user id of its own when started as
// root, since the pending-signal limit is counted per user: filling it here
// must not starve the machine's other programs.
#include "common.h"

namespace cb {
namespace {

struct Stagger { int64_t t0, phase, period; };
struct Ctx {
    bool same_period = false;
    size_t n = 0; // live timers
    std::vector<Either> t;
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
        if (c == 3) {
            sc->t[i].drop();
            continue;
        }
        Stagger &s = sc->st[i];
        s.period = sc->base_period + (sc->same_period ? 0 : static_cast<int64_t>(i % 997) * sc->base_period / 997);
        s.t0 = now_ns();
        s.phase = std::max<int64_t>(1000, sc->w0 - s.t0 + static_cast<int64_t>(i) * sc->base_period /
                                                           static_cast<int64_t>(sc->n));
        sc->t[i].arm(s.phase, s.period);
    }
    if (c == 3)
        sc->n = 0;
    if (c != 0)
        sc->state = c + 1, sc->cmd = 0;
}

int system_timers() {
    std::ifstream f("/proc/self/timers");
    int n = 0;
    for (std::string line; std::getline(f, line);)
        n += line.rfind("ID:", 0) == 0;
    return n;
}
void wait_state(const Ctx &ctx, int s) {
    while (ctx.state.load() != s)
        usleep(1000);
}

// want == 0: as many as the limits allow. sat: all at 100 ms, and deletes
// timed while they fire.
Obj scale_run(bool lib, size_t want, bool sat) {
    Ctx ctx;
    sc = &ctx;
    const size_t cap = want ? want : 400000;
    ctx.t.assign(cap, Either{lib});
    ctx.st.assign(cap, Stagger{});
    Either kicker{lib};
    kicker.make(kick, nullptr);
    kicker.arm(10000000, 10000000);
    malloc_trim(0);
    double heap0 = static_cast<double>(mallinfo2().uordblks);
    long rss0 = proc_value("/proc/self/statm", nullptr, 1), slab0 = proc_value("/proc/meminfo", "Slab:", 0);
    int64_t t0 = now_ns();
    std::string stop_reason = "reached the requested count";
    for (errno = 0; ctx.n < cap && ctx.t[ctx.n].make(fire, &ctx.st[ctx.n]) == 0; errno = 0)
        ctx.n++;
    if (ctx.n < cap)
        stop_reason = std::string("create failed: ") + (errno ? strerror(errno) : "error");
    double create_s = static_cast<double>(now_ns() - t0) / 1e9, n = static_cast<double>(ctx.n);
    double heap = static_cast<double>(mallinfo2().uordblks) - heap0;
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
        int set_rc = lib ? ctx.t[0].arm(1000000000LL, 0) : -2, del_rc = ctx.t[--ctx.n].remove();
        o.num("at_limit_settime_rc", set_rc).num("at_limit_delete_rc", del_rc)
            .raw("at_limit_delete_released_system_timer", system_timers() < before ? "true" : "false");
    }

    ctx.same_period = sat;
    ctx.base_period = sat ? 100000000LL : std::max<int64_t>(20000000LL, static_cast<int64_t>(n / 15000.0 * 1e9));
    ctx.w0 = now_ns() + 200000000LL + static_cast<int64_t>(ctx.n) * 10000;
    ctx.cmd = 1;
    wait_state(ctx, 2);
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
            ctx.t[ctx.n - 1 - k].remove();
        o.num("deletes_timed", static_cast<double>(k))
            .num("delete_per_s", static_cast<double>(k) * 1e9 / static_cast<double>(now_ns() - d0));
        ctx.n -= k;
    }
    ctx.cmd = 3;
    wait_state(ctx, 4);
    kicker.remove();
    usleep(200000); // let parked records go
    sc = nullptr;
    return o;
}

std::vector<size_t> scale_counts() { // --scale's list; "none" gives none
    std::vector<size_t> v;
    std::stringstream ss(opt.scale);
    for (std::string x; std::getline(ss, x, ',');)
        if (atoi(x.c_str()) > 0)
            v.push_back(static_cast<size_t>(atoi(x.c_str())));
    return v;
}

} // namespace

// args: output file, then the parent's options
int scale_child(const std::vector<std::string> &a) {
    std::ofstream f(a.at(0)); // opened before giving up root
    parse_options(std::vector<std::string>(a.begin() + 1, a.end()));
    if (getuid() == 0 && (setgid(64321) != 0 || setuid(64321) != 0))
        fprintf(stderr, "could not take a user id of its own\n");
    prctl(PR_SET_DUMPABLE, 1UL, 0, 0, 0); // keeps /proc/self readable
    block_signals();
    start_both();
    Obj out;
    for (size_t n : scale_counts()) { // who goes first alternates; the second pair is reported
        scale_run(true, n, false);
        scale_run(false, n, false);
        Obj bare = scale_run(false, n, false);
        out.obj(std::to_string(n), Obj().obj("posix_signal", bare).obj("chronels", scale_run(true, n, false)));
    }
    size_t sat = static_cast<size_t>(std::max(0, opt.sat_timers));
    if (sat > 0)
        out.obj("saturate_" + std::to_string(sat),
                Obj().obj("chronels", scale_run(true, sat, true)).obj("posix_signal", scale_run(false, sat, true)));
    if (opt.scale_max)
        out.obj("max", Obj().obj("chronels", scale_run(true, 0, false)).obj("posix_signal", scale_run(false, 0, false)));
    f << out.num("uid", getuid()).render();
    f.close();
    fflush(nullptr);
    _exit(0);
}

std::string scale() {
    if (scale_counts().empty() && !opt.scale_max && opt.sat_timers <= 0)
        return "";
    std::string file = "/tmp/chronels-scale-" + std::to_string(getpid());
    std::vector<std::string> args = {self_exe(), "--scale-child", file};
    args.insert(args.end(), options_given.begin(), options_given.end());
    run_child(args, false);
    std::ifstream in(file);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    unlink(file.c_str());
    return text.empty() ? "null" : text;
}

} // namespace cb
