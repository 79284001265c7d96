// Shared by the test programs: log capture, fault injection, polling waits.
#pragma once
#include <chronels.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace t {
// The library's syslog calls, formatted; real_syslog sends them on to syslog(3).
struct Entry { int prio; std::string text; };
std::vector<Entry> logs();
void clear_logs();
extern std::atomic<bool> real_syslog;
// "[src/chronels_ru.cpp:L] " of each logging statement with format `body`.
std::vector<std::string> where(const std::string &body);
bool is(const Entry &e, const std::string &body, const std::string &text); // `text`, from such a statement
bool logged(const std::string &body, const std::string &text);
inline bool logged(const std::string &body) { return logged(body, body); }
std::string err(int e); // strerror(e) and a newline

bool wait_until(const std::function<bool()> &cond, double seconds = 10); // polled every ms
void sleep_ms(int ms);
inline pid_t tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }
inline timespec ms(long v) { return timespec{v / 1000, (v % 1000) * 1000000L}; }
inline void *idx(intptr_t i) { return reinterpret_cast<void *>(i); }
int arm(chronel *h, void (*fn)(void *), void *arg, long first_ms, long period_ms = 0); // create and set
int system_timers();
long sigq_used(); // signal slots this user holds against RLIMIT_SIGPENDING
bool sanitized(), valgrind(), emulated();

struct SigLimit { // the soft RLIMIT_SIGPENDING for a scope
    rlimit old;
    explicit SigLimit(rlim_t cur);
    ~SigLimit() { setrlimit(RLIMIT_SIGPENDING, &old); }
};
// Records (calloc'd blocks; -1 under a sanitizer, which owns calloc) and
// system timers held. Parked records go when their tombstones come through.
using Held = std::pair<long, int>;
Held held(int warm_threads = 0); // threads started first: their set-up is not counted
bool back_to(Held h);
std::string str(Held h);

// An errno value makes the next call fail with it; not under a sanitizer.
extern std::atomic<int> calloc_err, pthread_create_err, timer_create_err, timer_settime_err, timer_delete_err,
    pthread_create_delay_ms, last_policy, last_priority;
long live_callocs();
// The callback most tests use: counts per argument (modulo 64) and checks
// that callbacks run on one thread, one at a time.
extern std::atomic<int> hits[64], overlaps, wrong_thread, total;
extern std::atomic<pid_t> cb_tid, last_tid; // the first and the latest thread to run it
void tally(void *arg);
extern std::atomic<void *> watched[6];    // expiries (SI_TIMER) of these records
extern std::atomic<int> watched_expiries; // that reach sigwaitinfo
} // namespace t
