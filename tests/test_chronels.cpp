// SPDX-License-Identifier: MIT
// The library's behaviours, a test each, each from a quiet library (so they
// pass alone, in any order, repeated): the timer thread's start and end,
// arming, pausing and deleting, work done in place by callbacks, expiries
// that outlive their setting, what happens when the system says no, the
// timer thread ending under load, signal slots running out, the watchdog.
#include <random>

#include "support.h"

namespace {
using t::Probe, t::hold, t::overlaps, t::tally;
bool blocked(int sig) {
    sigset_t set;
    pthread_sigmask(SIG_BLOCK, nullptr, &set);
    return sigismember(&set, sig) == 1;
}
std::atomic<bool> all_blocked{false};
void park(void *arg) { // holds the timer thread until the test lets it go
    bool all = true; // every signal a later init may pick (the tools keep the last ones)
    for (int s = SIGRTMIN; s <= (t::valgrind() || t::emulated() ? SIGRTMIN + 8 : SIGRTMAX); s++)
        all = all && blocked(s);
    all_blocked = all; // before the count the test waits for
    tally(arg);
    t::inside++; // any other callback meanwhile counts as an overlap
    t::park(nullptr);
    t::inside--;
}
bool gone(pid_t tid) { return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) != 0; }
bool requests_queued(int from, int n) { return t::wait_until([=] { return t::requests == from + n; }); }
using Engine = t::Quiet; using Watchdog = t::Quiet;
using Timers = t::Serving; using Faults = t::Serving; using Lifecycle = t::Serving; using Exhaustion = t::Serving;
} // namespace

TEST_F(Engine, InitPicksSignalsSchedulingAndHoldsItsGateWhileStarting) {
    std::vector<std::pair<int, int>> cases = {{SIGRTMIN - 1, SIGRTMIN}, {SIGRTMAX - 1, SIGRTMIN}, {SIGRTMIN + 3, SIGRTMIN + 3}, {0, SIGRTMIN}};
    if (!t::valgrind() && !t::emulated()) // they keep the last real-time signal
        cases.push_back({SIGRTMAX - 2, SIGRTMAX - 2});
    for (auto [asked, base] : cases)
        std::thread([asked = asked, base = base] {
            ASSERT_EQ(0, chronel_init(0, asked));
            for (int s = base; s < base + 4; s++)
                EXPECT_EQ(s < base + 3, blocked(s)) << asked << " " << s;
            chronel h = {};
            ASSERT_EQ(0, chronel_create(&h, tally, nullptr));
            EXPECT_TRUE(t::emulated() || t::timers("signal:") == std::vector<int>{base + 2}) << asked; // qemu lists the host's
            EXPECT_EQ(0, chronel_delete(&h));
            chronel_shutdown(); // and let it end: the next one's signals are others
            EXPECT_TRUE(t::wait_until([] { return t::timer_threads() == 0; })) << asked << ": the thread outlived its shutdown";
        }).join();
    chronel h = {};
    if (t::sanitized())
        return; // pthread_create is the sanitizer's
    // The priority asked, if the caller may have it.
    const int lo = sched_get_priority_min(SCHED_FIFO), hi = sched_get_priority_max(SCHED_FIFO), root = getuid() == 0;
    const int sched[][3] = {{0, SCHED_OTHER, 0}, {lo, SCHED_FIFO, lo}, {hi - 1, SCHED_FIFO, hi - 1}, {hi, SCHED_OTHER, 0}, {lo - 1, SCHED_OTHER, 0}};
    for (auto [prio, policy, param] : sched) {
        chronel_init(prio, SIGRTMIN); // may be refused without the right to real-time scheduling
        EXPECT_EQ(root ? policy : SCHED_OTHER, t::last_policy.load()) << prio;
        EXPECT_EQ(root ? param : 0, t::last_priority.load()) << prio;
        chronel_shutdown();
    }
    t::pthread_create_err = EPERM;
    EXPECT_EQ(-1, chronel_init(0, SIGRTMIN));
    EXPECT_EQ(-1, chronel_create(&h, tally, nullptr));
    EXPECT_TRUE(t::logged("Could not start timer thread : %s\n", "Could not start timer thread : " + t::err(EPERM)));
    // A slow start holds the gate: init and shutdown meanwhile fail at once.
    std::atomic<bool> delayed{false};
    std::thread starter([&] {
        t::pthread_create_delay_ms = 500;
        delayed = true;
        EXPECT_EQ(0, chronel_init_default());
    });
    EXPECT_TRUE(t::wait_until([&] { return delayed && t::pthread_create_delay_ms == 0; })) << "the start was never under way";
    t::clear_logs();
    EXPECT_EQ(-1, chronel_init_default());
    chronel_shutdown();
    EXPECT_EQ(2u, t::logs().size());
    EXPECT_EQ(2, t::logged("Could not get timer creation mutex : %s\n", "Could not get timer creation mutex : " + t::err(EBUSY)));
    starter.join();
}

TEST_F(Engine, TheThreadEndsByShutdownOrOverflowAndANewOneTakesOver) {
    chronel_shutdown();
    EXPECT_EQ(1, t::logged("Timer thread does not exist\n")) << "shutdown before any init";
    chronel h = {}, self = {}, n = {};
    Probe stops, fired;
    ASSERT_EQ(0, chronel_init_default());
    ASSERT_EQ(0, t::arm(&self, [](void *c) { chronel_shutdown(); static_cast<Probe *>(c)->n++; }, &stops, 1, 1));
    ASSERT_TRUE(t::wait_until([&] { return stops.n >= 3; })) << "the callback that shuts down";
    EXPECT_TRUE(t::logged("You can't do that!!\n")) << "shutdown from a callback";
    EXPECT_EQ(0, chronel_delete(&self));
    // Null values, of the expiry and the control signal, are passed over.
    ASSERT_EQ(0, t::arm(&h, tally, &fired, 1));
    ASSERT_TRUE(t::wait_until([&] { return fired.n == 1; })) << "the first expiry";
    const pid_t first = fired.tid;
    std::string name;
    std::ifstream("/proc/self/task/" + std::to_string(first) + "/comm") >> name;
    EXPECT_EQ("chronels", name) << "the timer thread's name, for top -H and ps -L";
    union sigval none = {};
    ASSERT_EQ(0, sigqueue(getpid(), SIGRTMIN + 2, none)) << "null expiry";
    ASSERT_EQ(0, sigqueue(getpid(), SIGRTMIN + 1, none)) << "null control request";
    for (int s : {SIGRTMIN + 1, SIGRTMIN + 2})
        EXPECT_TRUE(t::wait_until([&] {
            return t::logged("Got signal %d without any sival_ptr\n", "Got signal " + std::to_string(s) + " without any sival_ptr\n");
        })) << s;
    // SIGIO from outside ends the thread; requests then fail without waiting.
    kill(getpid(), SIGIO);
    ASSERT_TRUE(t::wait_until([&] { return gone(first) && t::logged("Timer queue overflow for pid %d\n", "Timer queue overflow for pid " + std::to_string(first) + "\n"); }));
    EXPECT_TRUE(t::fails(ESRCH, [&] { return chronel_settime(&h, &t::one, nullptr); })) << "set after the overflow";
    EXPECT_TRUE(t::fails(ESRCH, [&] { return chronel_control(&h, true); })) << "resume after the overflow";
    EXPECT_TRUE(t::fails(ESRCH, [&] { return chronel_create(&n, tally, nullptr); })) << "create after the overflow";
    EXPECT_EQ(3, t::logged("Sigqueue error %s\n", "Sigqueue error " + t::err(ESRCH)));
    t::clear_logs();
    chronel_shutdown();
    EXPECT_EQ(1, t::logged("Timer thread does not exist\n")) << "shutdown after the overflow";
    // A stop that finds no signal slot still ends the thread, from shutdown
    // and from init alike, and the thread after it serves.
    ASSERT_EQ(0, chronel_init_default());
    ASSERT_EQ(0, chronel_settime(&h, &t::one, nullptr));
    ASSERT_TRUE(t::wait_until([&] { return fired.n == 2; })) << "the expiry after a new init";
    const pid_t second = fired.tid;
    {
        t::SigLimit no_slot(0);
        chronel_shutdown();
        EXPECT_EQ(1, t::logged("sigqueue : %s\n", "sigqueue : " + t::err(EAGAIN)));
        EXPECT_TRUE(t::wait_until([&] { return gone(second); })) << "a stop without a slot was lost";
        ASSERT_EQ(0, chronel_init_default());
        ASSERT_EQ(0, chronel_init_default()) << "retiring the one just started, without a slot";
    }
    EXPECT_EQ(0, chronel_settime(&h, &t::one, nullptr)) << "set after two stops without a slot";
    EXPECT_TRUE(t::wait_until([&] { return fired.n == 3; })) << "the expiry after two stops without a slot";
    for (const t::Entry &e : t::logs())
        EXPECT_EQ(std::string::npos, e.text.find("overflow")) << "a stop taken for an overflow";
    EXPECT_EQ(0, chronel_delete(&h));
}

// One timer thread serves at a time. init returns at once, from another
// thread or from a callback, while the old thread is still in a callback;
// the new one serves once the old one has ended. What was queued to a
// retired thread fails (deletes are carried out), what was queued to the
// new one is served, also for callers cancelled while they wait: the call
// completes, the cancellation acts at their next cancellation point.
struct CancelledCall {
    std::function<int()> call;
    std::atomic<int> rc{9};
    pthread_t th;
    static void *run(void *p) { // no cancellation point before the call
        auto *c = static_cast<CancelledCall *>(p);
        c->rc = c->call();
        pthread_testcancel();
        return nullptr;
    }
};
TEST_F(Engine, ANewThreadServesOnceTheOldOneHasEndedAndCallersMayBeCancelled) {
    t::pauses = true;
    ASSERT_EQ(0, chronel_init_default());
    const t::Held base = t::held();
    Probe h, late, held, a, d, e, doomed;
    chronel c = {}, self = {}, made = {};
    for (Probe *x : {&h, &late, &a, &d, &doomed})
        ASSERT_EQ(0, chronel_create(&x->h, tally, x));
    ASSERT_EQ(0, chronel_create_cs(&e.h, tally, &e));
    hold = true;
    ASSERT_EQ(0, t::arm(&held.h, park, &held, 1));
    ASSERT_TRUE(t::wait_until([&] { return held.n == 1; })) << "the callback that holds the thread";
    EXPECT_TRUE(all_blocked) << "a thread that outlives its turn could take a newer one's signal";
    const pid_t old = held.tid;
    std::atomic<int> set_a{9}, create_c{9}, delete_d{9}, delete_e{9}, set_h{9};
    const int sent = t::requests;
    std::vector<std::thread> q;
    q.emplace_back([&] { set_a = chronel_settime(&a.h, &t::one, nullptr); });
    q.emplace_back([&] { create_c = chronel_create(&c, tally, nullptr); });
    q.emplace_back([&] { delete_d = chronel_delete(&d.h); });
    q.emplace_back([&] { delete_e = chronel_delete(&e.h); });
    EXPECT_TRUE(requests_queued(sent, 4)) << "requests to the held thread";
    std::thread([] { EXPECT_EQ(0, chronel_init_default()) << "init beside a held callback"; }).join();
    q.emplace_back([&] { set_h = chronel_settime(&h.h, &t::one, nullptr); }); // to the second, which never serves
    EXPECT_TRUE(requests_queued(sent, 5)) << "the request to the second thread";
    chronel_shutdown();
    ASSERT_EQ(0, chronel_init_default()) << "a third while the first is still held";
    CancelledCall calls[3]; // to the third
    calls[0].call = [&] { return chronel_settime(&late.h, &t::one, nullptr); };
    calls[1].call = [&] { return chronel_create(&made, tally, nullptr); };
    calls[2].call = [&] { return chronel_delete(&doomed.h); };
    const char *name[3] = {"chronel_settime", "chronel_create", "chronel_delete"};
    for (CancelledCall &call : calls)
        ASSERT_EQ(0, pthread_create(&call.th, nullptr, CancelledCall::run, &call));
    EXPECT_TRUE(requests_queued(sent, 8)) << "the requests to the third thread";
    t::sleep_ms(200);
    for (auto *rc : {&set_a, &create_c, &delete_d, &delete_e, &set_h, &calls[0].rc, &calls[1].rc, &calls[2].rc})
        EXPECT_EQ(9, rc->load()) << "a request returned while the only serving thread was held";
    for (CancelledCall &call : calls)
        EXPECT_EQ(0, pthread_cancel(call.th));
    hold = false;
    for (auto &th : q)
        th.join();
    // What was queued to the retired threads is passed on to the third.
    EXPECT_EQ(0, set_a.load()) << "set queued to the held thread";
    EXPECT_EQ(0, create_c.load()) << "create queued to the held thread";
    EXPECT_EQ(0, delete_d.load()) << "delete queued to the held thread";
    EXPECT_EQ(0, delete_e.load()) << "delete of a record made in place, queued to the held thread";
    EXPECT_EQ(0, set_h.load()) << "set queued to a thread retired before it served";
    for (int i = 0; i < 3; i++) {
        void *ret = nullptr;
        EXPECT_EQ(0, pthread_join(calls[i].th, &ret)) << name[i];
        EXPECT_EQ(PTHREAD_CANCELED, ret) << name[i] << " was not cancelled after the call";
        EXPECT_EQ(0, calls[i].rc.load()) << name[i] << ", cancelled while queued to the thread that serves";
    }
    EXPECT_EQ(0, t::logged("Timer thread ended before the request ran\n"));
    EXPECT_TRUE(t::wait_until([&] { return late.n == 1; })) << "the cancelled caller's set never fired";
    EXPECT_NE(old, late.tid.load()) << "the held thread ran a callback after its turn";
    EXPECT_TRUE(t::wait_until([&] { return gone(old); })) << "it hands over, then returns";
    // From a callback: init returns in it, and the thread after it serves.
    const pid_t third = late.tid;
    ASSERT_TRUE(t::wait_until([&] { return h.n == 1; })) << "the set passed on twice";
    std::atomic<int> init_rc{9};
    ASSERT_EQ(0, t::arm(&self, [](void *rc) { *static_cast<std::atomic<int> *>(rc) = chronel_init_default(); }, &init_rc, 1));
    ASSERT_TRUE(t::wait_until([&] { return init_rc != 9; })) << "the callback that inits";
    EXPECT_EQ(0, init_rc.load()) << "init from a callback";
    EXPECT_EQ(0, chronel_settime(&h.h, &t::one, nullptr)) << "set served by the thread started in a callback";
    EXPECT_TRUE(t::wait_until([&] { return h.n == 2; })) << "the set served after init from a callback";
    EXPECT_NE(third, h.tid.load()) << "the thread that ran the init in a callback ran a later one";
    EXPECT_EQ(0, overlaps.load()) << "callbacks of two timer threads overlapped";
    // With no thread after it, what a stopped thread still holds fails.
    hold = true;
    ASSERT_EQ(0, chronel_settime(&held.h, &t::one, nullptr));
    ASSERT_TRUE(t::wait_until([&] { return held.n == 2; })) << "the callback that holds the thread";
    const int before_orphan = t::requests;
    std::thread orphan([&] { set_a = chronel_settime(&a.h, &t::one, nullptr); });
    EXPECT_TRUE(requests_queued(before_orphan, 1)) << "the request to the held thread";
    chronel_shutdown();
    hold = false;
    orphan.join();
    EXPECT_EQ(-1, set_a.load()) << "set queued to a thread stopped with none after it";
    EXPECT_EQ(1, t::logged("Timer thread ended before the request ran\n"));
    ASSERT_EQ(0, chronel_init_default());
    for (chronel *x : {&h.h, &late.h, &held.h, &a.h, &c, &self, &made})
        EXPECT_EQ(0, chronel_delete(x));
    EXPECT_TRUE(t::back_to(base)) << t::str(t::held());
    t::pauses = false;
}

TEST_F(Timers, ArmPauseResumeAndDeleteFromAnyThread) {
    Probe p[2], once, x;
    ASSERT_EQ(0, t::arm(p[0], 1, 1));
    ASSERT_EQ(0, t::arm(p[1], 2, 2));
    ASSERT_EQ(0, t::arm(once, 1));
    EXPECT_EQ(std::vector<int>(3, CLOCK_MONOTONIC), t::timers("ClockID:"));
    EXPECT_TRUE(t::wait_until([&] { return once.n == 1 && p[0].n >= 20 && p[1].n >= 10; }))
        << once.n << " " << p[0].n << " " << p[1].n;
    EXPECT_EQ(0, chronel_delete(&p[0].h));
    EXPECT_EQ(0, chronel_delete(&p[1].h));
    EXPECT_EQ(1, t::settle(once.n)) << "a one-shot timer fired again";
    EXPECT_EQ(0, chronel_delete(&once.h));
    EXPECT_EQ(-1, chronel_delete(&once.h)) << "deleted twice";
    EXPECT_EQ(0, t::system_timers());
    // One timer through the settings, from another thread: disarm, the
    // period alone, pause and resume (counted from the resume), 1 ns, and
    // invalid times, refused before anything is stored.
    ASSERT_EQ(0, chronel_create_cs(&x.h, tally, &x));
    EXPECT_EQ(std::vector<int>{CLOCK_REALTIME}, t::timers("ClockID:"));
    std::thread([&] {
        timespec two = t::ms(2), none = {0, 0}, ns = {0, 1}, bad_ns = {0, 1000000000}, negative = {-1, 0};
        ASSERT_EQ(0, chronel_control(&x.h, true)); // never set: a zero setting
        t::sleep_ms(30);
        ASSERT_EQ(0, x.n.load()) << "resumed before any setting, it fired";
        ASSERT_EQ(0, chronel_settime(&x.h, &t::one, &t::one));
        ASSERT_TRUE(t::wait_until([&] { return x.n > 5; })) << "set from another thread";
        ASSERT_EQ(0, chronel_settime(&x.h, nullptr, nullptr));
        int stopped = t::settle(x.n);
        ASSERT_EQ(0, chronel_settime(&x.h, nullptr, &t::one));
        ASSERT_EQ(0, chronel_control(&x.h, true)) << "first resume";
        ASSERT_EQ(0, chronel_control(&x.h, false));
        ASSERT_EQ(0, chronel_control(&x.h, true)) << "second resume";
        t::sleep_ms(50);
        ASSERT_EQ(stopped, x.n.load()) << "a period alone arms nothing";
        ASSERT_EQ(0, chronel_settime(&x.h, &ns, &none));
        EXPECT_TRUE(t::wait_until([&] { return x.n == stopped + 1; })) << "set to 1 ns";
        EXPECT_EQ(stopped + 1, t::settle(x.n)) << "a 1 ns one-shot fired again";
        ASSERT_EQ(0, chronel_settime(&x.h, &two, &two));
        ASSERT_TRUE(t::wait_until([&] { return x.n > stopped + 3; })) << "set to 2 ms";
        EXPECT_TRUE(t::fails(EINVAL, [&] { return chronel_settime(&x.h, &bad_ns, nullptr); })) << "tv_nsec of a second";
        EXPECT_TRUE(t::fails(EINVAL, [&] { return chronel_settime_abs(&x.h, &t::one, &negative); })) << "a negative period";
        ASSERT_EQ(0, chronel_control(&x.h, false));
        stopped = t::settle(x.n);
        ASSERT_EQ(0, chronel_control(&x.h, true));
        EXPECT_TRUE(t::wait_until([&] { return x.n > stopped + 5; })) << "resumed after a pause: the setting before the refused ones";
        EXPECT_EQ(0, chronel_delete(&x.h));
    }).join();
    EXPECT_EQ(2, t::logged("timer_settime error %s\n", "timer_settime error " + t::err(EINVAL))) << "the refused times";
    EXPECT_EQ(0, overlaps.load());
    EXPECT_EQ(0, t::wrong_thread.load());
    EXPECT_NE(t::tid(), t::cb_tid.load());
}

// Bad handles and parameters are refused with their errno and message and
// hold nothing; a corrupted copy leaves the record alone. A callback makes, sets
// and deletes timers in place, itself included, but cannot create through
// the timer thread it runs on.
struct InPlace {
    chronel own = {}, made = {};
    Probe on_made;
    std::atomic<int> create{1}, create_errno{0}, create_cs{1}, settime{1}, pause_own{1}, delete_own{1}; // 1: not called yet
};
void in_place(void *arg) {
    InPlace &p = *static_cast<InPlace *>(arg);
    p.create = chronel_create(&p.made, tally, nullptr);
    p.create_errno = errno;
    p.create_cs = chronel_create_cs(&p.made, tally, &p.on_made);
    p.settime = chronel_settime(&p.made, &t::one, nullptr);
    p.pause_own = chronel_control(&p.own, false);
    p.delete_own = chronel_delete(&p.own);
}
TEST_F(Timers, BadHandlesAreRefusedAndCallbacksWorkInPlace) {
    const t::Held base = t::held();
    chronel live = {}, empty = {}, bent, dead = {t::idx(0x5a5a), CHRONEL_MAGIC ^ 0x40, 0}, no_ptr = {nullptr, CHRONEL_MAGIC, 0};
    Probe on_live;
    InPlace in_cb;
    ASSERT_EQ(0, chronel_create(&live, tally, &on_live));
    (bent = live).magic ^= 0x40;
    const std::pair<const char *, chronel *> refused[] = {{"empty", &empty}, {"dead", &dead}, {"bent", &bent}, {"no_ptr", &no_ptr}, {"null", nullptr}};
    for (const auto &[name, handle] : refused) {
        chronel *h = handle; // a lambda may not capture a structured binding before C++20
        EXPECT_TRUE(t::fails(EINVAL, [&] { return chronel_settime(h, &t::one, nullptr); })) << "settime, " << name;
        EXPECT_TRUE(t::fails(EINVAL, [&] { return chronel_settime_abs(h, &t::one, nullptr); })) << "settime_abs, " << name;
        EXPECT_TRUE(t::fails(EINVAL, [&] { return chronel_control(h, true); })) << "control, " << name;
        EXPECT_TRUE(t::fails(EINVAL, [&] { return chronel_gettime(h, nullptr, nullptr); })) << "gettime, " << name;
        EXPECT_TRUE(t::fails(EINVAL, [&] { return chronel_delete(h); })) << "delete, " << name;
    }
    for (chronel *h : {&live, &no_ptr}) {
        EXPECT_TRUE(t::fails(EEXIST, [&] { return chronel_create(h, tally, nullptr); })) << "create into a live handle";
        EXPECT_TRUE(t::fails(EEXIST, [&] { return chronel_create_cs(h, tally, nullptr); })) << "create_cs into a live handle";
    }
    EXPECT_TRUE(t::fails(EINVAL, [] { return chronel_create(nullptr, tally, nullptr); })) << "create, no handle";
    EXPECT_TRUE(t::fails(EINVAL, [] { return chronel_create_cs(nullptr, tally, nullptr); })) << "create_cs, no handle";
    EXPECT_TRUE(t::fails(EINVAL, [&] { return chronel_create_cs(&empty, nullptr, nullptr); })) << "create_cs, no callback";
    EXPECT_TRUE(t::fails(EINVAL, [&] { return chronel_create(&empty, nullptr, nullptr); })) << "create, no callback";
    char bad[2][64];
    snprintf(bad[0], 64, "Invalid parameters : %p-%p\n", nullptr, reinterpret_cast<void *>(tally));
    snprintf(bad[1], 64, "Invalid parameters : %p-%p\n", static_cast<void *>(&empty), nullptr);
    EXPECT_EQ(0, chronel_create(&dead, tally, nullptr)); // a bad magic: not a timer yet
    EXPECT_EQ(0, chronel_delete(&dead));
    EXPECT_EQ(0, chronel_settime(&live, &t::one, nullptr));
    EXPECT_TRUE(t::wait_until([&] { return on_live.n == 1; })) << "a refusal harmed the record";
    ASSERT_EQ(0, t::arm(&in_cb.own, in_place, &in_cb, 1));
    ASSERT_TRUE(t::wait_until([&] { return in_cb.delete_own != 1; })) << "the callback did not run to its end";
    ASSERT_EQ(-1, in_cb.create.load()) << "chronel_create in a callback";
    EXPECT_EQ(EPERM, in_cb.create_errno.load()) << "chronel_create in a callback";
    ASSERT_EQ(0, in_cb.create_cs.load()) << "chronel_create_cs in a callback";
    ASSERT_EQ(0, in_cb.settime.load()) << "chronel_settime in a callback, of the timer it made";
    ASSERT_EQ(0, in_cb.pause_own.load()) << "chronel_control in a callback, of its own timer";
    ASSERT_EQ(0, in_cb.delete_own.load()) << "chronel_delete in a callback, of its own timer";
    ASSERT_TRUE(t::wait_until([&] { return in_cb.on_made.n == 1; })) << "the timer made in a callback";
    EXPECT_EQ(nullptr, in_cb.own.ptr);
    EXPECT_EQ(0, in_cb.own.magic);
    EXPECT_EQ(1, in_cb.made.isabstime);
    EXPECT_EQ(0, chronel_delete(&in_cb.made));
    EXPECT_EQ(0, chronel_delete(&live));
    EXPECT_TRUE(t::back_to(base)) << t::str(t::held());
    EXPECT_EQ(25, t::logged("Invalid chronel\n"));
    EXPECT_EQ(4, t::logged("Timer is already created\n"));
    EXPECT_EQ(2, t::logged("Invalid parameters : %p-%p\n", bad[0]));
    EXPECT_EQ(2, t::logged("Invalid parameters : %p-%p\n", bad[1]));
    EXPECT_EQ(1, t::logged("Can't create new timer within timer callback!!\n"));
    EXPECT_EQ(34u, t::logs().size()) << "the last " << t::logs().back().text;
}

// Older kernels (Linux 6.1) still deliver an expiry that was pending when
// its timer was deleted, paused or re-armed; recent ones drop it. Either way
// it must run nothing, must not read a released record (nor a new one made
// at its address), and must not cost a new setting its own expiry. Queued
// by hand as well, so that every kernel sees the case.
struct Victims {
    Probe p[9]; // 1 to 7, and 8 made at a deleted one's address
    std::atomic<void *> records[8] = {}; // read by the callback while other threads change the handles
    std::atomic<bool> armed{false};
};
void arm_hold_act(void *arg) {
    Victims &v = *static_cast<Victims *>(arg);
    timespec soon = t::ms(250); // soon, but after the stale ones are taken
    chronel_settime(&v.p[1].h, &t::one, nullptr);
    for (int i = 2; i <= 7; i++)
        chronel_settime(&v.p[i].h, &t::one, &t::one);
    for (v.armed = true; hold;)
        t::sleep_ms(1);
    for (int i = 1; i <= 7; i++) {
        union sigval sv;
        sv.sival_ptr = v.records[i];
        sigqueue(getpid(), SIGRTMIN + 2, sv);
    }
    chronel_delete(&v.p[1].h); // one-shot
    chronel_create_cs(&v.p[8].h, tally, &v.p[8]); // same size: likely the same address
    chronel_control(&v.p[3].h, false);
    timespec far = t::at(t::ns(CLOCK_MONOTONIC) + 60000000000), wall_soon = t::at(t::ns(CLOCK_REALTIME) + 250000000);
    chronel_settime_abs(&v.p[4].h, &far, &t::one); // a deadline far ahead
    chronel_settime_abs(&v.p[6].h, &wall_soon, nullptr); // due after the call, on the wall clock: runs once
    chronel_settime(&v.p[7].h, &soon, nullptr);          // the same, relative
}

TEST_F(Timers, ExpiriesPendingAtDeletePauseOrRearmRunNothing) {
    chronel parker = {};
    Victims v;
    for (int i = 1; i <= 7; i++) {
        ASSERT_EQ(0, (i == 6 ? chronel_create_cs : chronel_create)(&v.p[i].h, tally, &v.p[i]));
        v.records[i] = v.p[i].h.ptr;
    }
    hold = true;
    ASSERT_EQ(0, t::arm(&parker, arm_hold_act, &v, 1));
    ASSERT_TRUE(t::wait_until([&] { return v.armed.load(); })) << "the callback that arms the victims";
    t::sleep_ms(100); // every victim's 1 ms has run out: each has fired into its pending signal
    int after_pause = -1;
    // Queued behind the held callback, carried out before the expiries.
    const int sent = t::requests;
    std::thread pauser([&] { EXPECT_EQ(0, chronel_control(&v.p[5].h, false)); after_pause = v.p[5].n; });
    std::thread deleter([&] { EXPECT_EQ(0, chronel_delete(&v.p[2].h)); }); // periodic
    EXPECT_TRUE(requests_queued(sent, 2)) << "the pause and the delete, behind the held callback";
    hold = false;
    pauser.join();
    deleter.join();
    EXPECT_TRUE(t::wait_until([&] { return v.p[6].n == 1 && v.p[7].n == 1; })) << "the timers re-armed soon";
    EXPECT_EQ(0, t::settle(v.p[1].n)) << "a stale expiry ran the deleted one-shot timer";
    EXPECT_EQ(0, t::settle(v.p[2].n)) << "a stale expiry ran the deleted periodic timer";
    EXPECT_EQ(0, t::settle(v.p[3].n)) << "a stale expiry ran the paused timer";
    EXPECT_EQ(0, t::settle(v.p[4].n)) << "a stale expiry ran the timer given a deadline far ahead";
    EXPECT_EQ(after_pause, t::settle(v.p[5].n)) << "a stale expiry ran the timer paused from another thread";
    EXPECT_EQ(1, t::settle(v.p[6].n)) << "the timer given a wall-clock deadline soon lost or doubled its expiry";
    EXPECT_EQ(1, t::settle(v.p[7].n)) << "the timer re-armed soon lost or doubled its expiry";
    EXPECT_EQ(0, v.p[8].n.load()) << "a stale expiry ran the timer made at a deleted one's address";
    ASSERT_EQ(0, chronel_control(&v.p[3].h, true)); // the guard lets a resumed timer run
    EXPECT_TRUE(t::wait_until([&] { return v.p[3].n > 3; })) << "the resumed timer";
    for (chronel *h : {&v.p[3].h, &v.p[4].h, &v.p[5].h, &v.p[6].h, &v.p[7].h, &v.p[8].h, &parker})
        EXPECT_EQ(0, chronel_delete(h));
    EXPECT_EQ(0, t::system_timers());
}

TEST_F(Faults, FailedCallsAreReportedAndNothingIsLostOrLeaked) {
    const t::Held base = t::held();
    chronel h = {};
    t::timer_create_err = EINVAL; // the caller's own errno, 0, must not be what is reported
    EXPECT_TRUE(t::fails(EINVAL, [&] { return chronel_create(&h, tally, nullptr); })) << "timer_create fails";
    EXPECT_TRUE(t::logged("timer_create fail: %s\n", "timer_create fail: " + t::err(EINVAL)));
    EXPECT_TRUE(t::logged("CHRONEL_CREATE_FAIL %s\n", "CHRONEL_CREATE_FAIL " + t::err(EINVAL)));
    t::timer_create_err = ENOMEM;
    EXPECT_TRUE(t::fails(ENOMEM, [&] { return chronel_create_cs(&h, tally, nullptr); })) << "timer_create fails, in place";
    EXPECT_TRUE(t::logged("timer_create fail: %m\n", "timer_create fail: " + t::err(ENOMEM)));
    if (!t::sanitized()) // the sanitizer's runtime owns calloc
        for (auto create : {chronel_create, chronel_create_cs}) {
            t::calloc_err = ENOMEM;
            EXPECT_TRUE(t::fails(ENOMEM, [&] { return create(&h, tally, nullptr); })) << "no memory";
        }
    EXPECT_TRUE(t::sanitized() || t::logged("Not enough memory\n"));
    {
        t::SigLimit none(0); // no signal slot: for the request, or for the timer
        EXPECT_TRUE(t::fails(EAGAIN, [&] { return chronel_create(&h, tally, nullptr); })) << "no slot for the request";
        EXPECT_TRUE(t::fails(EAGAIN, [&] { return chronel_create_cs(&h, tally, nullptr); })) << "no slot for the timer";
    }
    EXPECT_TRUE(t::logged("Sigqueue error %s\n", "Sigqueue error " + t::err(EAGAIN)));
    EXPECT_TRUE(t::logged("timer_create fail: %m\n", "timer_create fail: " + t::err(EAGAIN)));
    EXPECT_EQ(nullptr, h.ptr);
    EXPECT_EQ(0, h.magic);
    EXPECT_EQ(base, t::held()) << "records, timers";
    // A failed set still stores the setting; a request that cannot be sent
    // fails, and a delete that cannot be sent keeps the record.
    Probe fired;
    ASSERT_EQ(0, chronel_create(&h, tally, &fired));
    t::timer_settime_err = EINVAL;
    EXPECT_TRUE(t::fails(EINVAL, [&] { return chronel_settime(&h, &t::one, &t::one); })) << "timer_settime fails";
    EXPECT_TRUE(t::logged("timer_settime error %s\n", "timer_settime error " + t::err(EINVAL)));
    EXPECT_EQ(0, chronel_control(&h, true));
    ASSERT_TRUE(t::wait_until([&] { return fired.n > 3; })) << "resumed after a failed set";
    {
        t::SigLimit none(0);
        chronel kept = h;
        EXPECT_TRUE(t::fails(EAGAIN, [&] { return chronel_control(&h, false); })) << "no slot for the request";
        EXPECT_EQ(0, chronel_delete(&h));
        int now = t::settle(fired.n);
        t::sleep_ms(30);
        EXPECT_EQ(now, fired.n.load()) << "its callbacks go on";
        h = kept;
    }
    EXPECT_EQ(0, chronel_delete(&h));
    // timer_delete failing on the timer thread, then in place.
    ASSERT_EQ(0, chronel_create(&h, tally, nullptr));
    t::timer_delete_err = EINVAL;
    EXPECT_EQ(0, chronel_delete(&h));
    EXPECT_TRUE(t::logged("timer_delete fail: %s\n", "timer_delete fail: " + t::err(EINVAL)));
    chronel inner = {};
    ASSERT_EQ(0, chronel_create(&inner, tally, nullptr));
    ASSERT_EQ(0, t::arm(&h, [](void *in) {
        t::timer_delete_err = EINVAL;
        chronel_delete(static_cast<chronel *>(in));
    }, &inner, 1));
    EXPECT_TRUE(t::wait_until([] { return t::logged("timer_delete %m\n", "timer_delete " + t::err(EINVAL)); }));
    EXPECT_EQ(nullptr, inner.ptr);
    EXPECT_EQ(0, inner.magic);
    EXPECT_EQ(0, chronel_delete(&h));
    EXPECT_TRUE(t::wait_until([&] { return t::live_callocs() == base.first; })) << "records kept after failed deletes";
}

// The timer thread ends and restarts under load: every caller returns,
// nothing runs twice, nothing is lost or leaked.
namespace {
struct Item {
    chronel h = {};
    std::atomic<int> calls{0};
    std::atomic<bool> gone{false};
};
void arrive(void *arg) { static_cast<Item *>(arg)->calls++; }
void delete_self(void *arg) { // maybe while the call that armed it is still leaving the record, which must outlive it
    chronel_delete(&static_cast<Item *>(arg)->h);
    static_cast<Item *>(arg)->gone = true;
}
// The only messages an end of the thread may cause.
bool documented(const t::Entry &e) {
    const std::string esrch = t::err(ESRCH), ended = "Timer thread ended before the request ran\n", none = "Timer thread does not exist\n";
    return t::is(e, "CHRONEL_CREATE_FAIL %s\n", "CHRONEL_CREATE_FAIL " + esrch) || t::is(e, ended, ended) || t::is(e, none, none) ||
           e.text == t::where("Sigqueue error %s\n")[0] + "Sigqueue error " + esrch || // send_request's
           e.text.rfind(t::where("Timer queue overflow for pid %d\n")[0] + "Timer queue overflow for pid ", 0) == 0;
}
} // namespace

TEST_F(Lifecycle, ShutdownSigioAndInitWhileRequestsAreInFlight) {
    // Valgrind can keep a process-directed signal in a queue of its own,
    // out of the kernel's reach: sigpending() reports the expiry while the
    // kernel shows none pending and the timer thread waits for it in vain.
    if (t::valgrind())
        GTEST_SKIP() << "valgrind may hold an expiry signal where sigwaitinfo cannot take it";
    const t::Held base = t::held();
    std::atomic<bool> stop{false};
    timespec ns = {0, 1};
    auto worker = [&] { // each arming that returns 0 fires exactly once; one refused, never
        Item kept, self;
        int expected = 0;
        for (int n = 0; !stop; n++) {
            if (kept.h.magic != CHRONEL_MAGIC) {
                chronel_create(&kept.h, arrive, &kept);
            } else if (n % 3 != 0) { // resuming a timer never set arms nothing: set it first
                int rc = n % 2 || expected == 0 ? chronel_settime(&kept.h, &t::one, nullptr) : chronel_control(&kept.h, true);
                expected += rc == 0;
                ASSERT_TRUE(t::wait_until([&] { return kept.calls >= expected; })) << "an armed timer never fired";
                ASSERT_EQ(expected, kept.calls.load()) << "a request ran twice";
            } else if (chronel_create(&self.h, delete_self, &self) == 0) {
                for (self.gone = false; chronel_settime(&self.h, &ns, nullptr) != 0;)
                    usleep(100); // refused while no thread serves: each refusal is logged
                ASSERT_TRUE(t::wait_until([&] { return self.gone.load(); }));
                EXPECT_EQ(nullptr, self.h.ptr);
            }
        }
        t::sleep_ms(20);
        EXPECT_EQ(expected, kept.calls.load()) << "a request ran twice";
        EXPECT_EQ(0, kept.h.magic == CHRONEL_MAGIC ? chronel_delete(&kept.h) : 0);
    };
    t::pauses = true;
    std::vector<std::thread> ts;
    for (int w = 0; w < 3; w++)
        ts.emplace_back(worker);
    std::mt19937 rng(1);
    for (int k = 0; k < 300; k++) {
        t::sleep_ms(static_cast<int>(rng() % 4));
        k % 3 == 2 ? (void)kill(getpid(), SIGIO) : chronel_shutdown(); // SIGIO ends whichever thread takes it
        t::sleep_ms(static_cast<int>(rng() % 3));
        ASSERT_EQ(0, chronel_init_default());
    }
    sigset_t pending;
    ASSERT_TRUE(t::wait_until([&] { return sigpending(&pending) == 0 && !sigismember(&pending, SIGIO); }));
    ASSERT_EQ(0, chronel_init_default()); // a thread that no SIGIO will end
    stop = true;
    for (auto &th : ts)
        th.join();
    t::pauses = false;
    EXPECT_TRUE(t::back_to(base)) << t::str(t::held()) << " instead of " << t::str(base);
    std::set<std::pair<int, std::string>> seen; // refused retries log by the thousand: each text once
    for (const t::Entry &e : t::logs())
        if (seen.insert({e.prio, e.text}).second) {
            EXPECT_TRUE(documented(e)) << e.text;
        }
}

// Signal slots run out: RLIMIT_SIGPENDING lowered until the system says no.
TEST_F(Exhaustion, CreatingUntilRefusedLeaksNothingKeepsTimersFiringAndRecovers) {
    const t::Held base = t::held();
    // qemu-ppc holds at most 32 timers per process: its own refusal then.
    const int cap = t::emulated() ? 40 : 4096;
    std::vector<chronel> h(cap + 2);
    Probe fired;
    ASSERT_EQ(0, t::arm(&h[0], tally, &fired, 5, 5));
    int made = 1, rc = 0;
    const rlim_t limit = static_cast<rlim_t>(t::status("SigQ:") + (t::emulated() ? 12 : 48));
    {
        t::SigLimit low(limit);
        while (made <= cap && (rc = (made % 2 ? chronel_create_cs : chronel_create)(&h[made], tally, nullptr)) == 0)
            made++;
        ASSERT_EQ(-1, rc) << "still no refusal after " << made << " timers";
        EXPECT_EQ(nullptr, h[made].ptr);
        EXPECT_EQ(0, h[made].magic);
        EXPECT_EQ(t::Held(base.first < 0 ? -1 : base.first + made, base.second + made), t::held()) << "a refused create left something";
        EXPECT_TRUE(t::wait_until([&, from = fired.n.load()] { return fired.n > from + 3; })) << "timers stopped firing at the limit";
        for (t::SigLimit raised(limit + 64); made > 2; made--) // each delete a request; then they free slots
            ASSERT_EQ(0, chronel_delete(&h[made - 1]));
        EXPECT_EQ(0, chronel_create(&h[made++], tally, nullptr));
    }
    for (int i = 0; i < made; i++)
        EXPECT_EQ(0, chronel_delete(&h[i]));
    EXPECT_TRUE(t::back_to(base)) << t::str(t::held()) << " instead of " << t::str(base);
}

// For the watchdog's own check (CHRONELS_PROBE_HANG): a call that never
// returns must end the run with every thread's stack.
void hang_forever(void *parked) {
    for (*static_cast<std::atomic<bool> *>(parked) = true;;)
        t::sleep_ms(100);
}
TEST_F(Watchdog, AHungCallEndsTheRun) {
    if (getenv("CHRONELS_PROBE_HANG") == nullptr)
        GTEST_SKIP() << "run by the watchdog check";
    chronel stuck = {}, waiting = {};
    std::atomic<bool> parked{false};
    ASSERT_EQ(0, chronel_init_default() + t::arm(&stuck, hang_forever, &parked, 1));
    ASSERT_TRUE(t::wait_until([&] { return parked.load(); }));
    t::arm(&waiting, hang_forever, &parked, 1); // waits for the timer thread for ever
    ADD_FAILURE() << "the call returned";
}
