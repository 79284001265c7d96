// Shared by the reliability programs: signal-slot limits and leak checks.
#pragma once
#include <sys/resource.h>
#include <syslog.h>

#include <fstream>
#include <string>

#include "../interpose.h"
#include "../support.h"

namespace r {

// Signals queued by this user (timers' preallocated ones included), as the
// kernel counts them against RLIMIT_SIGPENDING: the "SigQ: used/limit" line.
inline long sigq_used() {
    std::ifstream f("/proc/self/status");
    std::string key;
    long used = -1;
    while (f >> key)
        if (key == "SigQ:" && f >> used)
            break;
    return used;
}

// Lowers (or raises) the soft limit for its scope.
struct SigLimit {
    rlimit old;
    explicit SigLimit(rlim_t cur) {
        getrlimit(RLIMIT_SIGPENDING, &old);
        rlimit l = old;
        l.rlim_cur = cur < old.rlim_max ? cur : old.rlim_max;
        setrlimit(RLIMIT_SIGPENDING, &l);
    }
    ~SigLimit() { setrlimit(RLIMIT_SIGPENDING, &old); }
};

// Records (calloc'd blocks, counted unless a sanitizer owns calloc) and
// system timers held by the process.
struct Held {
    long records;
    int timers;
    bool operator==(const Held &o) const { return (records < 0 || records == o.records) && timers == o.timers; }
};
inline Held held() { return {fault::live_callocs(), t::system_timers()}; }
inline Held plus(Held h, int n) { return {h.records < 0 ? -1 : h.records + n, h.timers + n}; }
// Parked records go when their tombstones come through: wait for them.
inline bool back_to(Held h, double s = 10) { return t::wait_until([&] { return held() == h; }, s); }
// Whether `e` is the library's message `text` from a statement with format `body`.
inline bool is(const t::Entry &e, const std::string &body, const std::string &text) {
    for (const std::string &prefix : t::expected(body))
        if (e.prio == LOG_CRIT && e.text == prefix + text)
            return true;
    return false;
}
inline std::string str(Held h) { return std::to_string(h.records) + " records, " + std::to_string(h.timers) + " timers"; }

} // namespace r
