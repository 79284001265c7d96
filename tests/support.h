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

// Every syslog call of the library lands here, formatted, unless
// real_syslog sends it on to syslog(3).
struct Entry { int prio; std::string text; };
std::vector<Entry> logs();
void clear_logs();
extern std::atomic<bool> real_syslog;
// "[src/chronels_ru.cpp:L] " of each logging statement with format `body`
// (the first after the line holding `anchor`, if given).
std::vector<std::string> where(const std::string &body, const std::string &anchor = "");
// Whether `e` (or any captured message) is `text` from a statement with format `body`.
bool is(const Entry &e, const std::string &body, const std::string &text);
bool logged(const std::string &body, const std::string &text);
inline bool logged(const std::string &body) { return logged(body, body); }
std::string err(int e); // strerror(e) + "\n"

// Polls `cond` every millisecond until it holds or `seconds` pass.
bool wait_until(const std::function<bool()> &cond, double seconds = 10);
void sleep_ms(int ms);
inline pid_t tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }
inline timespec ms(long v) { return timespec{v / 1000, (v % 1000) * 1000000L}; }
inline void *idx(intptr_t i) { return reinterpret_cast<void *>(i); }
// Creates `h` and arms it: first expiry and period in ms (0: none).
int arm(chronel *h, void (*fn)(void *), void *arg, long first, long period = 0);
int system_timers(); // POSIX timers of this process, from /proc/self/timers
long sigq_used();    // signal slots this user holds against RLIMIT_SIGPENDING
bool sanitized(), valgrind(), emulated();
bool slow(); // any of them, or CHRONELS_SLOW: rate floors are loose

// The soft RLIMIT_SIGPENDING for a scope (0: no signal can be queued).
struct SigLimit {
    rlimit old;
    explicit SigLimit(rlim_t cur);
    ~SigLimit();
};

// Records (calloc'd blocks, -1: not counted under a sanitizer) and system
// timers the process holds; parked records go when their tombstones come
// through, so back_to waits.
struct Held {
    long records;
    int timers;
    bool operator==(const Held &o) const { return (records < 0 || records == o.records) && timers == o.timers; }
};
Held held(int warm_threads = 0); // threads started first: their set-up allocations are counted
bool back_to(Held h);
std::string str(Held h);

// Faults on demand: an errno value makes the next call fail with it.
// Not under a sanitizer, whose runtime owns the same functions.
extern std::atomic<int> calloc_err, pthread_create_err, timer_create_err, timer_settime_err, timer_delete_err,
    pthread_create_delay_ms, last_policy, last_priority;
long live_callocs();
// Expiries (si_code SI_TIMER) of these records that reach sigwaitinfo.
extern std::atomic<void *> watched[6];
extern std::atomic<int> watched_expiries;

} // namespace t
