// SPDX-License-Identifier: MIT
// A tour of libchronels: periodic timers made by two worker threads, one
// re-armed from its own callback, one made inside a callback, one paused
// and resumed, one deleted half-way; then a table of how many callbacks
// each got and how late they came.
//
//   demo [-s seconds]
#include <chronels.h>

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Timer {
    const char *name;
    const char *made_by;
    long period_us;
    bool oneshot_rearm; // re-armed from its own callback each time
    clockid_t clock;
    chronel handle;
    std::atomic<long long> armed_ns; // when it was set; expiries fall on armed + k * period
    std::vector<long> late_us;
    const char *note;
};

long long now_ns(clockid_t c) {
    timespec ts;
    clock_gettime(c, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

timespec us(long v) { return timespec{v / 1000000, (v % 1000000) * 1000}; }

Timer timers[] = {
    {"fast", "worker 1", 2000, false, CLOCK_MONOTONIC, {}, 0, {}, ""},
    {"paused", "worker 1", 5000, false, CLOCK_MONOTONIC, {}, 0, {}, "paused 1/3 to 2/3"},
    {"deleted", "worker 1", 1000, false, CLOCK_MONOTONIC, {}, 0, {}, "deleted at 1/2"},
    {"slow", "worker 2", 10000, false, CLOCK_MONOTONIC, {}, 0, {}, ""},
    {"rearmed", "worker 2", 3000, true, CLOCK_MONOTONIC, {}, 0, {}, "one-shot, re-armed in callback"},
    {"inner", "callback", 7000, false, CLOCK_REALTIME, {}, 0, {}, "made in slow's callback"},
};
Timer &inner = timers[5];

// Lateness against the latest expiry that was due: expiries of a periodic
// timer that fall while its signal is pending are merged into one callback.
void on_expiry(void *arg) {
    Timer *t = static_cast<Timer *>(arg);
    long long now = now_ns(t->clock), period = t->period_us * 1000LL, armed = t->armed_ns;
    long long due = armed + period + (now - armed - period) / period * period;
    if (now >= armed + period)
        t->late_us.push_back(static_cast<long>((now - due) / 1000));
    if (t->oneshot_rearm) {
        timespec next = us(t->period_us);
        t->armed_ns = now_ns(t->clock);
        chronel_settime(&t->handle, &next, nullptr); // in place: no waiting
    }
    if (t == &timers[3] && inner.handle.magic != CHRONEL_MAGIC) {
        // chronel_create would wait for this very thread; this one does not.
        chronel_create_cs(&inner.handle, on_expiry, &inner);
        timespec p = us(inner.period_us);
        inner.armed_ns = now_ns(inner.clock);
        chronel_settime(&inner.handle, &p, &p);
    }
}

void arm(Timer &t) {
    if (chronel_create(&t.handle, on_expiry, &t) != 0) {
        fprintf(stderr, "cannot create timer %s\n", t.name);
        exit(1);
    }
    t.late_us.reserve(100000);
    timespec p = us(t.period_us);
    // The timer thread arms it a little later, inside this call: counting
    // from the call's start errs on the late side, never on the early one.
    t.armed_ns = now_ns(t.clock);
    chronel_settime(&t.handle, &p, t.oneshot_rearm ? nullptr : &p);
}

long pct(std::vector<long> v, double q) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

} // namespace

int main(int argc, char **argv) {
    double seconds = 3;
    for (int opt; (opt = getopt(argc, argv, "s:h")) != -1;) {
        if (opt != 's') {
            fprintf(stderr, "usage: %s [-s seconds]\n", argv[0]);
            return opt == 'h' ? 0 : 2;
        }
        seconds = atof(optarg);
    }
    inner.late_us.reserve(100000);
    // Before any other thread: threads started later inherit the blocked signals.
    if (chronel_init_default() != 0)
        return 1;
    std::thread w1([] { arm(timers[0]); arm(timers[1]); arm(timers[2]); });
    std::thread w2([] { arm(timers[3]); arm(timers[4]); });
    w1.join();
    w2.join();

    auto sleep_for = [](double s) { timespec ts = us(static_cast<long>(s * 1e6)); nanosleep(&ts, nullptr); };
    sleep_for(seconds / 3);
    chronel_control(&timers[1].handle, false);
    sleep_for(seconds / 6);
    chronel_delete(&timers[2].handle);
    sleep_for(seconds / 6);
    timers[1].armed_ns = now_ns(timers[1].clock); // a resume counts from its own moment
    chronel_control(&timers[1].handle, true);
    sleep_for(seconds / 3);

    for (Timer &t : timers)
        if (t.handle.magic == CHRONEL_MAGIC)
            chronel_delete(&t.handle);
    chronel_shutdown();

    printf("%-8s %-9s %9s %9s %10s %8s %8s  %s\n", "timer", "made by", "period", "callbacks", "median us", "p99 us",
           "max us", "");
    for (Timer &t : timers)
        printf("%-8s %-9s %6.1f ms %9zu %10ld %8ld %8ld  %s\n", t.name, t.made_by, static_cast<double>(t.period_us) / 1000.0,
               t.late_us.size(), pct(t.late_us, 0.5), pct(t.late_us, 0.99), pct(t.late_us, 1.0), t.note);
    printf("(lateness: callback time minus the latest expiry due, on the timer's own clock,\n"
           " counted from the start of the call that armed it)\n");
    return 0;
}
