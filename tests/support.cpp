#include "support.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <string.h>
#include <time.h>

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <unordered_set>

namespace {
std::mutex log_lock;
std::vector<t::Entry> captured;
template <typename F> F real(const char *name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }

void capture(int prio, const char *fmt, va_list ap) {
    if (t::real_syslog) {
        static auto fn = real<void (*)(int, const char *, va_list)>("vsyslog");
        return fn(prio, fmt, ap);
    }
    char buf[1024];
    vsnprintf(buf, sizeof buf, fmt, ap);
    std::lock_guard<std::mutex> g(log_lock);
    captured.push_back({prio, buf});
}
} // namespace

extern "C" {
void vsyslog(int prio, const char *fmt, va_list ap) { capture(prio, fmt, ap); }
void __vsyslog_chk(int prio, int, const char *fmt, va_list ap) { capture(prio, fmt, ap); }
void syslog(int prio, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    capture(prio, fmt, ap);
    va_end(ap);
}
void __syslog_chk(int prio, int, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    capture(prio, fmt, ap);
    va_end(ap);
}
int sigwaitinfo(const sigset_t *set, siginfo_t *si) {
    static auto fn = real<int (*)(const sigset_t *, siginfo_t *)>("sigwaitinfo");
    int sig = fn(set, si);
    if (sig > 0 && si->si_code == SI_TIMER)
        for (auto &w : t::watched)
            t::watched_expiries += w.load() == si->si_value.sival_ptr;
    return sig;
}
}

namespace t {
std::atomic<bool> real_syslog{false};
std::atomic<void *> watched[6];
std::atomic<int> watched_expiries{0};
std::atomic<int> calloc_err{0}, pthread_create_err{0}, timer_create_err{0}, timer_settime_err{0}, timer_delete_err{0},
    pthread_create_delay_ms{0}, last_policy{-1}, last_priority{-1};

std::vector<Entry> logs() {
    std::lock_guard<std::mutex> g(log_lock);
    return captured;
}
void clear_logs() {
    std::lock_guard<std::mutex> g(log_lock);
    captured.clear();
}
std::vector<std::string> where(const std::string &body, const std::string &anchor) {
    static std::mutex lock;
    static std::map<std::pair<std::string, std::string>, std::vector<std::string>> known;
    std::lock_guard<std::mutex> g(lock);
    std::vector<std::string> &out = known[{body, anchor}];
    if (!out.empty())
        return out;
    std::string esc;
    for (char c : body)
        esc += c == '\n' ? std::string("\\n") : std::string(1, c);
    std::ifstream src(CHRONELS_SOURCE);
    std::string line;
    bool seen = anchor.empty();
    for (int n = 1; std::getline(src, line); n++) {
        seen = seen || line.find(anchor) != std::string::npos;
        if (seen && line.find("LOG(\"" + esc + "\"") != std::string::npos) {
            out.push_back("[src/chronels_ru.cpp:" + std::to_string(n) + "] ");
            if (!anchor.empty())
                break;
        }
    }
    return out;
}
bool is(const Entry &e, const std::string &body, const std::string &text) {
    for (const std::string &prefix : where(body))
        if (e.prio == LOG_CRIT && e.text == prefix + text)
            return true;
    return false;
}
bool logged(const std::string &body, const std::string &text) {
    for (const Entry &e : logs())
        if (is(e, body, text))
            return true;
    return false;
}
std::string err(int e) { return std::string(strerror(e)) + "\n"; }

bool wait_until(const std::function<bool()> &cond, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        sleep_ms(1);
    }
    return true;
}
void sleep_ms(int v) {
    timespec ts = ms(v);
    while (nanosleep(&ts, &ts) != 0) {
    }
}
int arm(chronel *h, void (*fn)(void *), void *arg, long first, long period) {
    timespec f = ms(first), p = ms(period);
    return chronel_create(h, fn, arg) != 0 ? -1 : chronel_settime(h, &f, &p);
}
int system_timers() {
    std::ifstream f("/proc/self/timers");
    std::string line;
    int n = 0;
    while (std::getline(f, line))
        n += line.rfind("ID:", 0) == 0;
    return n;
}
long sigq_used() { // the "SigQ: used/limit" line
    std::ifstream f("/proc/self/status");
    std::string key;
    long used = -1;
    while (f >> key)
        if (key == "SigQ:" && f >> used)
            break;
    return used;
}
bool sanitized() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}
bool valgrind() {
    const char *p = getenv("LD_PRELOAD");
    return p != nullptr && strstr(p, "vgpreload") != nullptr;
}
bool emulated() {
    std::ifstream f("/proc/self/maps");
    std::stringstream s;
    s << f.rdbuf();
    return s.str().find("qemu") != std::string::npos || getenv("CHRONELS_EMULATED") != nullptr;
}
bool slow() { return sanitized() || valgrind() || emulated() || getenv("CHRONELS_SLOW") != nullptr; }

SigLimit::SigLimit(rlim_t cur) {
    getrlimit(RLIMIT_SIGPENDING, &old);
    rlimit l = old;
    l.rlim_cur = cur < old.rlim_max ? cur : old.rlim_max;
    setrlimit(RLIMIT_SIGPENDING, &l);
}
SigLimit::~SigLimit() { setrlimit(RLIMIT_SIGPENDING, &old); }

Held held(int warm_threads) {
    std::vector<std::thread> ts(static_cast<size_t>(warm_threads));
    for (auto &th : ts)
        th = std::thread([] {});
    for (auto &th : ts)
        th.join();
    return {live_callocs(), system_timers()};
}
bool back_to(Held h) { return wait_until([&] { return held() == h; }); }
std::string str(Held h) { return std::to_string(h.records) + " records, " + std::to_string(h.timers) + " timers"; }
} // namespace t

// Counting records and failing calls on demand. Under a sanitizer its
// runtime replaces the same functions, and only counting is lost.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
long t::live_callocs() { return -1; }
#else
namespace {
std::mutex blocks_lock;
std::unordered_set<void *> *blocks; // reserved up front: growing it would allocate inside free()
thread_local bool busy = false;

bool take(std::atomic<int> &err) {
    int e = err.exchange(0);
    if (e != 0)
        errno = e;
    return e != 0;
}
void track(void *p, bool add) {
    if (p == nullptr || busy)
        return;
    busy = true;
    std::lock_guard<std::mutex> g(blocks_lock);
    if (blocks == nullptr) {
        blocks = new std::unordered_set<void *>;
        blocks->reserve(1 << 16);
    }
    add ? (void)blocks->insert(p) : (void)blocks->erase(p);
    busy = false;
}
// With 64-bit time on a 32-bit target, the header renames the call.
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
#define TIMER_SETTIME "__timer_settime64"
#else
#define TIMER_SETTIME "timer_settime"
#endif
} // namespace

extern "C" {
void *__libc_calloc(size_t, size_t);
void __libc_free(void *);
void *calloc(size_t n, size_t size) {
    void *p = take(t::calloc_err) ? nullptr : __libc_calloc(n, size);
    track(p, true);
    return p;
}
void free(void *p) {
    track(p, false);
    __libc_free(p);
}
int pthread_create(pthread_t *th, const pthread_attr_t *attr, void *(*fn)(void *), void *arg) {
    if (attr != nullptr) {
        int policy;
        sched_param sp;
        pthread_attr_getschedpolicy(attr, &policy);
        pthread_attr_getschedparam(attr, &sp);
        t::last_policy = policy;
        t::last_priority = sp.sched_priority;
    }
    if (int d = t::pthread_create_delay_ms.exchange(0))
        t::sleep_ms(d);
    if (int e = t::pthread_create_err.exchange(0))
        return e;
    static auto fn_real = real<int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *)>("pthread_create");
    return fn_real(th, attr, fn, arg);
}
int timer_create(clockid_t c, struct sigevent *ev, timer_t *id) {
    static auto fn = real<int (*)(clockid_t, struct sigevent *, timer_t *)>("timer_create");
    return take(t::timer_create_err) ? -1 : fn(c, ev, id);
}
int timer_settime(timer_t id, int flags, const struct itimerspec *v, struct itimerspec *old) {
    static auto fn = real<int (*)(timer_t, int, const struct itimerspec *, struct itimerspec *)>(TIMER_SETTIME);
    return take(t::timer_settime_err) ? -1 : fn(id, flags, v, old);
}
int timer_delete(timer_t id) {
    static auto fn = real<int (*)(timer_t)>("timer_delete");
    return take(t::timer_delete_err) ? -1 : fn(id);
}
}

long t::live_callocs() {
    std::lock_guard<std::mutex> g(blocks_lock);
    return blocks == nullptr ? 0 : static_cast<long>(blocks->size());
}
#endif

// The watchdog: a test still running after its deadline prints the stack
// of every thread and fails the process, so a hang in CI shows where.
namespace {
std::atomic<long> deadline{0};
long now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}
void *watchdog(void *) {
    for (;;) {
        t::sleep_ms(200);
        long d = deadline.load();
        if (d == 0 || now_s() < d)
            continue;
        fprintf(stderr, "\nwatchdog: test still running after its deadline; stacks follow\n");
        char cmd[128];
        snprintf(cmd, sizeof cmd, "timeout -k 5 30 gdb -nx -p %d -batch -ex 'thread apply all bt' 2>&1 | grep -v '^\\[' >&2",
                 static_cast<int>(getpid()));
        if (system(cmd) != 0)
            fprintf(stderr, "watchdog: gdb not available\n");
        _exit(3);
    }
    return nullptr;
}
struct Deadline : testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override {
        const char *s = getenv("CHRONELS_WATCHDOG_S");
        deadline = now_s() + (s != nullptr ? atol(s) : 30);
    }
    void OnTestEnd(const testing::TestInfo &) override { deadline = 0; }
};
} // namespace

int main(int argc, char **argv) {
    // The watchdog must never take a signal meant for the timer thread, and
    // SIGIO, which ends the timer thread, must reach no other thread.
    sigset_t all, old, io;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    pthread_t w;
    pthread_create(&w, nullptr, watchdog, nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    pthread_sigmask(SIG_BLOCK, &io, nullptr);
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new Deadline);
    return RUN_ALL_TESTS();
}
