// SPDX-License-Identifier: MIT
// What the test programs share, and their main: log capture, fault
// injection, record counting, polling waits, probes, fixtures, the
// watchdog. Each includes it once.
#pragma once
#include <chronels.h>
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdarg.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace t {
template <typename F> F real(const char *name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }
inline pid_t tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }
inline timespec ms(long v) { return timespec{v / 1000, (v % 1000) * 1000000L}; }
inline void *idx(intptr_t i) { return reinterpret_cast<void *>(i); }
timespec one = ms(1); // what most settings take; the library only reads it
inline int64_t ns(const timespec &v) { return int64_t{v.tv_sec} * 1000000000 + v.tv_nsec; }
inline int64_t ns(clockid_t c) {
    timespec now;
    clock_gettime(c, &now);
    return ns(now);
}
inline timespec at(int64_t v) { return timespec{static_cast<time_t>(v / 1000000000), static_cast<long>(v % 1000000000)}; }
void sleep_ms(int v) {
    for (timespec ts = ms(v); nanosleep(&ts, &ts) != 0;) {
    }
}
bool wait_until(const std::function<bool()> &cond, double seconds = 10) { // polled every ms
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (; !cond(); sleep_ms(1))
        if (std::chrono::steady_clock::now() > end)
            return false;
    return true;
}
std::string err(int e) { return std::string(strerror(e)) + "\n"; }
// As every call of the library fails: -1, with errno `e` set by the call.
testing::AssertionResult fails(int e, const std::function<int()> &call) {
    errno = 0;
    const int rc = call(), got = errno;
    if (rc == -1 && got == e)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "returned " << rc << ", errno " << got << " (" << strerror(got) << "), not -1 and " << strerror(e);
}
bool sanitized() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}
bool valgrind() { return getenv("LD_PRELOAD") != nullptr && strstr(getenv("LD_PRELOAD"), "vgpreload") != nullptr; }
bool emulated() { return getenv("CHRONELS_EMULATED") != nullptr; } // qemu-user, set by its test preset

// A timer and what its callbacks saw: how many ran, the thread and the
// scheduling of the last, when on `clock`, and the expiries merged.
struct Probe {
    chronel h = {};
    clockid_t clock = CLOCK_MONOTONIC;
    std::atomic<int> n{0}, merged{0}, max_merged{0}, policy{-1}, priority{-1};
    std::atomic<pid_t> tid{0};
    std::atomic<int64_t> last_ns{0};
};
std::atomic<int> overlaps{0}, wrong_thread{0}, inside{0};
std::atomic<pid_t> cb_tid{0}; // the first thread to run it in this test
// The callback most tests use: fills the Probe it is given (none for null)
// and checks that callbacks run on one thread, one at a time.
void tally(void *arg) {
    pid_t self = tid(), first = 0;
    wrong_thread += !cb_tid.compare_exchange_strong(first, self) && first != self;
    overlaps += inside++ != 0;
    if (auto *p = static_cast<Probe *>(arg)) {
        sched_param sp;
        int policy;
        pthread_getschedparam(pthread_self(), &policy, &sp);
        p->policy = policy;
        p->priority = sp.sched_priority;
        p->last_ns = ns(p->clock);
        int m = chronel_overrun();
        p->merged += m;
        p->max_merged = std::max(p->max_merged.load(), m);
        p->tid = self;
        p->n++; // last: a test that sees it sees the rest
    }
    inside--;
}
int arm(chronel *h, void (*fn)(void *), void *arg, long first, long period = 0) { // create and set
    timespec f = ms(first), p = ms(period);
    return chronel_create(h, fn, arg) != 0 ? -1 : chronel_settime(h, &f, &p);
}
int arm(Probe &p, long first, long period = 0) { return arm(&p.h, tally, &p, first, period); }
bool fires(Probe &p) { // once more, within seconds
    int from = p.n;
    return wait_until([&] { return p.n > from; });
}
int settle(const std::atomic<int> &n) { // the count once it stops moving, or after 5 s of moving
    int before = -1;
    for (int i = 0; i < 100 && before != n; i++, sleep_ms(50))
        before = n;
    return before;
}
std::atomic<bool> hold{false}; // park holds the timer thread while it is set
void park(void *) {
    while (hold)
        sleep_ms(1);
}

// The library's syslog calls, formatted.
struct Entry { int prio; std::string text; };
std::mutex lock;
std::vector<Entry> captured;
std::vector<Entry> logs() {
    std::lock_guard<std::mutex> g(lock);
    return captured;
}
void clear_logs() {
    std::lock_guard<std::mutex> g(lock);
    captured.clear();
}
// "[src/chronels_ru.cpp:L] " of each logging statement with format `body`.
std::vector<std::string> where(const std::string &body) {
    static std::map<std::string, std::vector<std::string>> known;
    std::lock_guard<std::mutex> g(lock);
    auto [it, fresh] = known.try_emplace(body);
    std::string esc = body, line;
    for (size_t p; fresh && (p = esc.find('\n')) != std::string::npos;)
        esc.replace(p, 1, "\\n");
    std::ifstream src(fresh ? CHRONELS_SOURCE : "");
    for (int n = 1; fresh && std::getline(src, line); n++)
        if (line.find("LOG(\"" + esc + "\"") != std::string::npos)
            it->second.push_back("[src/chronels_ru.cpp:" + std::to_string(n) + "] ");
    return it->second;
}
bool is(const Entry &e, const std::string &body, const std::string &text) { // `text`, from such a statement
    for (const std::string &prefix : where(body))
        if (e.prio == LOG_CRIT && e.text == prefix + text)
            return true;
    return false;
}
int logged(const std::string &body, const std::string &text) { // how many times
    int n = 0;
    for (const Entry &e : logs())
        n += is(e, body, text);
    return n;
}
int logged(const std::string &body) { return logged(body, body); }

std::vector<int> timers(const std::string &key) { // "ID:", "signal:" or "ClockID:" of each system timer
    std::ifstream f("/proc/self/timers");
    std::vector<int> out;
    for (std::string w; f >> w;)
        if (w == key && f >> w)
            out.push_back(atoi(w.c_str()));
    return out;
}
int system_timers() { return static_cast<int>(timers("ID:").size()); }
long status(const std::string &key) { // of /proc/self/status: "Threads:", "SigQ:" (slots used of RLIMIT_SIGPENDING)
    std::ifstream f("/proc/self/status");
    long v = -1;
    for (std::string w; f >> w;)
        if (w == key && f >> v)
            break;
    return v;
}
struct SigLimit { // the soft RLIMIT_SIGPENDING for a scope
    rlimit old;
    explicit SigLimit(rlim_t cur) {
        getrlimit(RLIMIT_SIGPENDING, &old);
        rlimit l = {std::min(cur, old.rlim_max), old.rlim_max};
        setrlimit(RLIMIT_SIGPENDING, &l);
    }
    ~SigLimit() { setrlimit(RLIMIT_SIGPENDING, &old); }
};

// An errno value makes the next call fail with it; not under a sanitizer,
// whose runtime owns these functions.
std::atomic<int> calloc_err{0}, pthread_create_err{0}, timer_create_err{0}, timer_settime_err{0}, timer_delete_err{0},
    pthread_create_delay_ms{0}, last_policy{-1}, last_priority{-1};
std::mutex blocks_lock; // its own: the other is held while allocating
std::mutex kept_lock; // not blocks_lock: free() takes that
std::vector<timer_t> kept; // made to outlive their records by a failed timer_delete: quiet() deletes them
std::unordered_set<void *> *blocks; // reserved up front: growing it would allocate inside free()
long live_callocs() { // -1 under a sanitizer (matches any)
    std::lock_guard<std::mutex> g(blocks_lock);
    return sanitized() ? -1 : blocks == nullptr ? 0 : static_cast<long>(blocks->size());
}
// Records and system timers held. Parked records go when their tombstones
// come through.
using Held = std::pair<long, int>;
Held held() { return {live_callocs(), system_timers()}; }
bool back_to(Held h) { return wait_until([&] { return held() == h; }); }
std::string str(Held h) { return std::to_string(h.first) + " records, " + std::to_string(h.second) + " timers"; }
bool take(std::atomic<int> &err) {
    int e = err.exchange(0);
    return e != 0 && (errno = e);
}
} // namespace t

static void capture(int prio, const char *fmt, va_list ap) {
    char buf[1024];
    if (vsnprintf(buf, sizeof buf, fmt, ap) >= 0) {
        std::lock_guard<std::mutex> g(t::lock);
        t::captured.push_back({prio, buf});
    }
    errno = ENOENT; // as the C library's leaves it with no /dev/log: a caller must not report it
}
extern "C" void syslog(int prio, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    capture(prio, fmt, ap);
    va_end(ap);
}
// What a library built with _FORTIFY_SOURCE (distribution flags) calls instead.
extern "C" void __syslog_chk(int prio, int, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    capture(prio, fmt, ap);
    va_end(ap);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {
thread_local bool busy = false;
void track(void *p, bool add) {
    if (p == nullptr || busy)
        return;
    busy = true;
    std::lock_guard<std::mutex> g(t::blocks_lock);
    if (t::blocks == nullptr)
        (t::blocks = new std::unordered_set<void *>)->reserve(1 << 16);
    add ? (void)t::blocks->insert(p) : (void)t::blocks->erase(p);
    busy = false;
}
} // namespace

extern "C" {
void *__libc_calloc(size_t, size_t);
void __libc_free(void *);
void *calloc(size_t n, size_t size) { // the library's records are calloc(1, size); threads' blocks are not
    void *p = t::take(t::calloc_err) ? nullptr : __libc_calloc(n, size);
    track(n == 1 ? p : nullptr, true);
    return p;
}
void free(void *p) {
    track(p, false);
    __libc_free(p);
}
int pthread_create(pthread_t *th, const pthread_attr_t *attr, void *(*fn)(void *), void *arg) {
    int policy;
    sched_param sp;
    if (attr != nullptr && pthread_attr_getschedpolicy(attr, &policy) == 0 && pthread_attr_getschedparam(attr, &sp) == 0)
        t::last_policy = policy, t::last_priority = sp.sched_priority;
    t::sleep_ms(t::pthread_create_delay_ms.exchange(0));
    static auto fn_ = t::real<int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *)>("pthread_create");
    int e = t::pthread_create_err.exchange(0);
    return e != 0 ? e : fn_(th, attr, fn, arg);
}
}
#endif

// The timer calls are nobody else's, so they are interposed under the
// sanitizers too. While `pauses` is set, one call in four sleeps up to
// 300 us after the real call: the windows in which another thread acts
// before the caller goes on open far wider than on an idle machine.
namespace t {
std::atomic<int> requests{0}; // control requests queued to a timer thread, counted by syscall() below
std::atomic<bool> pauses{false};
void maybe_pause() {
    thread_local uint32_t x = static_cast<uint32_t>(tid()) * 2654435761u | 1;
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    if (pauses && x % 4 == 0)
        usleep(x / 4 % 300);
}
} // namespace t
extern "C" {
int timer_create(clockid_t c, struct sigevent *ev, timer_t *id) {
    static auto fn = t::real<int (*)(clockid_t, struct sigevent *, timer_t *)>("timer_create");
    if (t::take(t::timer_create_err))
        return -1;
    int rc = fn(c, ev, id);
    t::maybe_pause();
    return rc;
}
int timer_settime(timer_t id, int flags, const struct itimerspec *v, struct itimerspec *old) {
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32 // 64-bit time on a 32-bit target renames it
    static auto fn = t::real<decltype(&timer_settime)>("__timer_settime64");
#else
    static auto fn = t::real<decltype(&timer_settime)>("timer_settime");
#endif
    if (t::take(t::timer_settime_err))
        return -1;
    int rc = fn(id, flags, v, old);
    t::maybe_pause();
    return rc;
}
int timer_delete(timer_t id) {
    if (!t::take(t::timer_delete_err))
        return t::real<int (*)(timer_t)>("timer_delete")(id);
    std::lock_guard<std::mutex> g(t::kept_lock);
    t::kept.push_back(id);
    return -1;
}
// A test waits on `requests` until a caller's request is in a timer
// thread's queue; a stop carries no record and is not counted.
long syscall(long n, ...) {
    static auto fn = t::real<long (*)(long, ...)>("syscall");
    va_list ap;
    va_start(ap, n);
    long a[6];
    for (long &v : a)
        v = va_arg(ap, long);
    va_end(ap);
    long rc = fn(n, a[0], a[1], a[2], a[3], a[4], a[5]);
    if (n == SYS_rt_tgsigqueueinfo && rc == 0 && reinterpret_cast<siginfo_t *>(a[3])->si_value.sival_ptr != nullptr)
        t::requests++;
    return rc;
}
}

// A child of this process: where a child of a threaded process may not
// start threads (the thread sanitizer) or may abort (qemu-user), tests skip.
namespace t {
bool fork_unsafe() {
#if defined(__SANITIZE_THREAD__)
    return true;
#endif
    return t::emulated();
}
// The exit status of a child that runs `body` (1 if it failed). The
// watchdog thread stays behind: an alarm ends a hang in the child before
// the parent's watchdog could end the parent and orphan it.
int in_child(const std::function<void()> &body) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(15);
        body();
        fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    if (!t::wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 25))
        kill(pid, SIGKILL), waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

rlimit sigpending_limit; // as the program started
int timer_threads() { // of this process, by the name the library gives them
    int n = 0;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        n += std::ifstream(task.path() / "comm") >> name && name == "chronels";
    }
    return n;
}
// What each test starts from, and the program ends with: nothing injected,
// the default signals, no timer thread (at exit, one would log into a
// capture already destroyed), no system timer, nothing pending, no message.
// False if an earlier test left a thread that does not end.
bool quiet() {
    hold = false; // a held callback of a failed test lets go
    for (auto *e : {&calloc_err, &pthread_create_err, &timer_create_err, &timer_settime_err, &timer_delete_err, &pthread_create_delay_ms})
        *e = 0;
    pauses = false;
    setrlimit(RLIMIT_SIGPENDING, &sigpending_limit);
    for (std::lock_guard<std::mutex> g(kept_lock); !kept.empty(); kept.pop_back())
        real<int (*)(timer_t)>("timer_delete")(kept.back());
    // A failed test may leave timers whose callbacks' arguments are gone,
    // and a SIGIO that would end the thread below before it has taken the
    // expiries and tombstones still pending.
    for (int id : timers("ID:")) // the system's ids: not under qemu-user
        syscall(SYS_timer_delete, static_cast<long>(id));
    sigset_t io, pending;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    for (const timespec now = {0, 0}; sigtimedwait(&io, nullptr, &now) == SIGIO;) {
    }
    bool ok = chronel_init_default() == 0 &&
              wait_until([&] { return sigpending(&pending) == 0 && !sigismember(&pending, SIGRTMIN + 2); });
    chronel_shutdown();
    ok = wait_until([] { return timer_threads() == 0; }) && ok;
    clear_logs();
    overlaps = wrong_thread = inside = 0, cb_tid = 0, last_policy = last_priority = -1;
    return ok;
}
struct Quiet : ::testing::Test { // a quiet library
    void SetUp() override { ASSERT_TRUE(quiet()) << "an earlier test left a timer thread that does not end"; }
};
struct Serving : Quiet { // and one thread serving, on the default signals
    void SetUp() override {
        Quiet::SetUp();
        ASSERT_EQ(0, chronel_init_default()) << "init";
    }
};
} // namespace t

// The watchdog: a test still running after its deadline (30 s, or
// CHRONELS_WATCHDOG_S) prints every thread's stack and fails the process,
// so that a hang shows where.
namespace {
std::atomic<long> deadline{0};
long now_s() { return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count(); }
void *watchdog(void *) {
    for (long d; (d = deadline) == 0 || now_s() < d;) // one read: a test ending between two would fire it
        t::sleep_ms(200);
    fprintf(stderr, "\nwatchdog: test still running after its deadline; stacks follow\n");
    std::string gdb = "timeout -k 5 30 gdb -nx -p " + std::to_string(getpid()) +
                      " -batch -ex 'thread apply all bt' 2>&1 | grep -v '^\\[' >&2";
    if (system(gdb.c_str()) != 0)
        fprintf(stderr, "watchdog: gdb not available\n");
    _exit(3);
}
struct Deadline : testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override {
        deadline = now_s() + (getenv("CHRONELS_WATCHDOG_S") ? atol(getenv("CHRONELS_WATCHDOG_S")) : 30);
    }
    void OnTestEnd(const testing::TestInfo &) override { deadline = 0; }
};
} // namespace

int main(int argc, char **argv) {
    // The watchdog must take no signal meant for the timer thread; SIGIO,
    // which ends the timer thread, must reach no other thread either.
    getrlimit(RLIMIT_SIGPENDING, &t::sigpending_limit);
    sigset_t all, old, io;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    pthread_t w; // not std::thread: a forked child, without it, would leak its state
    pthread_create(&w, nullptr, watchdog, nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    pthread_sigmask(SIG_BLOCK, &io, nullptr);
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new Deadline);
    int rc = RUN_ALL_TESTS();
    t::quiet();
    return rc;
}
