// The interface, one behaviour a test: the timer thread's start and end,
// arming, pausing and deleting, work done in place by callbacks, expiries
// that outlive their setting, and what happens when the system says no.
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <sys/utsname.h>

#include <fstream>
#include <thread>

#include "support.h"

namespace {

std::atomic<pid_t> cb_tid{0}, last_tid{0};
std::atomic<int> hits[8], overlaps{0}, wrong_thread{0}, inside{0};
std::atomic<bool> hold{false};

// Counts per argument and checks where and how callbacks run.
void tally(void *arg) {
    if (inside.fetch_add(1) != 0)
        overlaps++;
    pid_t self = t::tid(), first = 0;
    if (!cb_tid.compare_exchange_strong(first, self) && first != self)
        wrong_thread++;
    last_tid = self;
    hits[reinterpret_cast<intptr_t>(arg)]++;
    inside--;
}
// Holds the timer thread until the test lets it go.
void park(void *arg) {
    tally(arg);
    while (hold)
        t::sleep_ms(1);
}
int settle(int i) { // the count of `i` once it stops moving
    for (int before = -1;; t::sleep_ms(50))
        if (before == hits[i])
            return before;
        else
            before = hits[i];
}
bool blocked(int sig) {
    sigset_t set;
    pthread_sigmask(SIG_BLOCK, nullptr, &set);
    return sigismember(&set, sig) == 1;
}
// A field of /proc/self/timers ("signal:", "ClockID:"), for every timer.
std::vector<int> timers(const std::string &key) {
    std::ifstream f("/proc/self/timers");
    std::vector<int> out;
    for (std::string w; f >> w;)
        if (w == key && f >> w)
            out.push_back(atoi(w.c_str()));
    return out;
}
bool thread_gone(pid_t tid) { return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) != 0; }

struct Timers : ::testing::Test {
    void SetUp() override { ASSERT_EQ(0, chronel_init_default()); }
};

} // namespace

TEST(Engine, InitPicksSignalsSchedulingAndHoldsItsGateWhileStarting) {
    const struct { int asked, base; } cases[] = {
        {SIGRTMIN - 1, SIGRTMIN}, {SIGRTMAX - 1, SIGRTMIN}, {SIGRTMIN + 3, SIGRTMIN + 3}, {0, SIGRTMIN}};
    for (auto c : cases) {
        std::thread([&] {
            ASSERT_EQ(0, chronel_init(0, c.asked));
            for (int s = c.base; s < c.base + 4; s++)
                EXPECT_EQ(s < c.base + 3, blocked(s)) << c.asked << " " << s;
            chronel h = {};
            ASSERT_EQ(0, chronel_create(&h, tally, nullptr));
            if (!t::emulated()) { // the emulator lists the host's number
                EXPECT_EQ(std::vector<int>{c.base + 2}, timers("signal:")) << c.asked;
            }
            EXPECT_EQ(0, chronel_delete(&h));
            chronel_shutdown();
        }).join();
    }
    if (!t::valgrind() && !t::emulated()) { // they keep the last real-time signal
        ASSERT_EQ(0, chronel_init(0, SIGRTMAX - 2));
        EXPECT_TRUE(blocked(SIGRTMAX));
        chronel h = {};
        ASSERT_EQ(0, t::arm(&h, tally, t::idx(0), 1));
        EXPECT_TRUE(t::wait_until([] { return hits[0] == 1; }));
        EXPECT_EQ(std::vector<int>{SIGRTMAX}, timers("signal:"));
        EXPECT_EQ(0, chronel_delete(&h));
    }
    if (t::sanitized())
        return; // pthread_create is the sanitizer's
    // The priority asked, if the caller may have it.
    int lo = sched_get_priority_min(SCHED_FIFO), hi = sched_get_priority_max(SCHED_FIFO);
    const struct { int prio, policy, param; } sched[] = {
        {0, SCHED_OTHER, 0}, {lo, SCHED_FIFO, lo}, {hi - 1, SCHED_FIFO, hi - 1}, {hi, SCHED_OTHER, 0}, {lo - 1, SCHED_OTHER, 0}};
    const bool root = getuid() == 0;
    for (auto c : sched) {
        chronel_init(c.prio, SIGRTMIN); // may be refused without the right to real-time scheduling
        EXPECT_EQ(root ? c.policy : SCHED_OTHER, t::last_policy.load()) << c.prio;
        EXPECT_EQ(root ? c.param : 0, t::last_priority.load()) << c.prio;
        chronel_shutdown();
    }
    t::pthread_create_err = EPERM;
    EXPECT_EQ(-1, chronel_init(0, SIGRTMIN));
    EXPECT_TRUE(t::logged("Could not start timer thread : %s\n", "Could not start timer thread : " + t::err(EPERM)));
    chronel h = {};
    EXPECT_EQ(-1, chronel_create(&h, tally, nullptr));
    // A slow start holds the gate: init and shutdown meanwhile fail at once.
    std::thread starter([] {
        t::pthread_create_delay_ms = 300;
        EXPECT_EQ(0, chronel_init_default());
    });
    t::sleep_ms(100);
    t::clear_logs();
    EXPECT_EQ(-1, chronel_init_default());
    chronel_shutdown();
    EXPECT_EQ(2u, t::logs().size());
    EXPECT_TRUE(t::logged("Could not get timer creation mutex : %s\n", "Could not get timer creation mutex : " + t::err(EBUSY)));
    starter.join();
    EXPECT_EQ(0, t::arm(&h, tally, t::idx(1), 1));
    EXPECT_TRUE(t::wait_until([] { return hits[1] == 1; }));
    EXPECT_EQ(0, chronel_delete(&h));
}

TEST(Engine, TheThreadEndsByShutdownOrOverflowAndANewOneTakesOver) {
    chronel_shutdown();
    EXPECT_TRUE(t::logged("Timer thread does not exist\n"));
    ASSERT_EQ(0, chronel_init_default());
    chronel h = {}, self = {};
    ASSERT_EQ(0, t::arm(&self, [](void *) { chronel_shutdown(); hits[2]++; }, nullptr, 1, 1));
    ASSERT_TRUE(t::wait_until([] { return hits[2] >= 3; }));
    EXPECT_TRUE(t::logged("You can't do that!!\n"));
    EXPECT_EQ(0, chronel_delete(&self));
    // Null values, on the expiry and the control signal, are passed over; a
    // control signal sent to this thread, which blocks it, stays here.
    ASSERT_EQ(0, t::arm(&h, tally, t::idx(0), 1));
    ASSERT_TRUE(t::wait_until([] { return hits[0] == 1; }));
    const pid_t old = cb_tid;
    union sigval none = {};
    ASSERT_EQ(0, sigqueue(getpid(), SIGRTMIN + 2, none));
    ASSERT_EQ(0, pthread_sigqueue(pthread_self(), SIGRTMIN + 1, none));
    ASSERT_EQ(0, sigqueue(getpid(), SIGRTMIN + 1, none));
    for (int s : {SIGRTMIN + 1, SIGRTMIN + 2})
        EXPECT_TRUE(t::wait_until([&] {
            return t::logged("Got signal %d without any sival_ptr\n", "Got signal " + std::to_string(s) + " without any sival_ptr\n");
        }));
    sigset_t ctrl;
    sigemptyset(&ctrl);
    sigaddset(&ctrl, SIGRTMIN + 1);
    siginfo_t si;
    EXPECT_EQ(SIGRTMIN + 1, sigwaitinfo(&ctrl, &si));
    // SIGIO from outside ends the thread; requests then fail without waiting.
    kill(getpid(), SIGIO);
    ASSERT_TRUE(t::wait_until([&] { return t::logged("Timer queue overflow for pid %d\n", "Timer queue overflow for pid " + std::to_string(old) + "\n"); }));
    ASSERT_TRUE(t::wait_until([&] { return thread_gone(old); }));
    timespec one = t::ms(1);
    EXPECT_EQ(-1, chronel_settime(&h, &one, nullptr));
    EXPECT_EQ(-1, chronel_control(&h, true));
    chronel n = {};
    EXPECT_EQ(-1, chronel_create(&n, tally, nullptr));
    EXPECT_TRUE(t::logged("Sigqueue error %s\n", "Sigqueue error " + t::err(ESRCH)));
    t::clear_logs();
    chronel_shutdown();
    EXPECT_TRUE(t::logged("Timer thread does not exist\n"));
    // A new thread serves the surviving timer; then one more starts while
    // the second is held in a callback, and serves meanwhile.
    ASSERT_EQ(0, chronel_init_default());
    ASSERT_EQ(0, chronel_settime(&h, &one, nullptr));
    ASSERT_TRUE(t::wait_until([] { return hits[0] == 2; }));
    EXPECT_NE(old, last_tid.load());
    chronel held = {};
    hold = true;
    ASSERT_EQ(0, t::arm(&held, park, t::idx(1), 1));
    ASSERT_TRUE(t::wait_until([] { return hits[1] == 1; }));
    const pid_t second = last_tid;
    chronel_shutdown();
    ASSERT_EQ(0, chronel_init_default());
    const t::Held base = t::held();
    ASSERT_EQ(0, chronel_settime(&h, &one, nullptr));
    ASSERT_TRUE(t::wait_until([] { return hits[0] == 3; }));
    EXPECT_NE(second, last_tid.load());
    // The held thread may hold an expiry nobody else can see: records
    // deleted meanwhile wait for its end, then go.
    for (int i = 0; i < 10; i++) {
        ASSERT_EQ(0, chronel_create(&n, tally, nullptr));
        ASSERT_EQ(0, chronel_delete(&n));
    }
    t::sleep_ms(50);
    if (base.first >= 0) {
        EXPECT_EQ(base.first + 10, t::live_callocs()) << "released while another thread could hold their expiries";
    }
    hold = false;
    ASSERT_TRUE(t::wait_until([&] { return thread_gone(second); }));
    EXPECT_TRUE(t::back_to(base)) << t::str(t::held());
    EXPECT_EQ(0, chronel_delete(&h));
    EXPECT_EQ(0, chronel_delete(&held));
    EXPECT_EQ(0, overlaps.load());
}

TEST_F(Timers, ArmPauseResumeAndDeleteFromAnyThread) {
    chronel h[6] = {}, once = {};
    auto worker = [&](int first) { // periodic at 1..6 ms, from two threads
        for (int i = first; i < first + 3; i++)
            ASSERT_EQ(0, t::arm(&h[i], tally, t::idx(i), i + 1, i + 1));
    };
    std::thread a(worker, 0), b(worker, 3);
    a.join();
    b.join();
    EXPECT_EQ(std::vector<int>(6, CLOCK_MONOTONIC), timers("ClockID:"));
    ASSERT_EQ(0, t::arm(&once, tally, t::idx(6), 1));
    EXPECT_TRUE(t::wait_until([] {
        for (int i = 0; i < 6; i++)
            if (hits[i] < 20)
                return false;
        return hits[6] == 1;
    }));
    for (auto &x : h)
        EXPECT_EQ(0, chronel_delete(&x));
    EXPECT_EQ(1, settle(6)) << "a one-shot timer fired again";
    EXPECT_EQ(0, chronel_delete(&once));
    EXPECT_EQ(-1, chronel_delete(&once));
    EXPECT_EQ(0, t::system_timers());
    // One timer through the settings: disarm, period alone, pause and
    // resume (counted from the resume), a one-shot of 1 ns.
    chronel x = {};
    ASSERT_EQ(0, chronel_create_cs(&x, tally, t::idx(7)));
    EXPECT_EQ(std::vector<int>{CLOCK_REALTIME}, timers("ClockID:"));
    std::thread([&] {
        timespec one = t::ms(1), two = t::ms(2), none = {0, 0}, ns = {0, 1};
        ASSERT_EQ(0, chronel_control(&x, true)); // never set: a zero setting
        t::sleep_ms(30);
        EXPECT_EQ(0, hits[7].load());
        ASSERT_EQ(0, chronel_settime(&x, &one, &one));
        ASSERT_TRUE(t::wait_until([] { return hits[7] > 5; }));
        ASSERT_EQ(0, chronel_settime(&x, nullptr, nullptr));
        int stopped = settle(7);
        ASSERT_EQ(0, chronel_settime(&x, nullptr, &one)); // the period only
        for (bool on : {true, false, true})
            ASSERT_EQ(0, chronel_control(&x, on));
        t::sleep_ms(50);
        EXPECT_EQ(stopped, hits[7].load());
        ASSERT_EQ(0, chronel_settime(&x, &ns, &none));
        EXPECT_TRUE(t::wait_until([&] { return hits[7] == stopped + 1; }));
        EXPECT_EQ(stopped + 1, settle(7));
        ASSERT_EQ(0, chronel_settime(&x, &two, &two));
        ASSERT_TRUE(t::wait_until([&] { return hits[7] > stopped + 3; }));
        ASSERT_EQ(0, chronel_control(&x, false));
        stopped = settle(7);
        ASSERT_EQ(0, chronel_control(&x, true));
        EXPECT_TRUE(t::wait_until([&] { return hits[7] > stopped + 5; }));
        EXPECT_EQ(0, chronel_delete(&x));
    }).join();
    int after = settle(7);
    t::sleep_ms(30);
    EXPECT_EQ(after, hits[7].load());
    EXPECT_EQ(0, overlaps.load());
    EXPECT_EQ(0, wrong_thread.load());
    EXPECT_NE(t::tid(), cb_tid.load());
}

TEST_F(Timers, HandlesThatHoldATimerOrNoneAreRefusedAndLeftAsTheyWere) {
    timespec one = t::ms(1);
    chronel no_ptr = {nullptr, CHRONEL_MAGIC, 0}; // zeroed and corrupted ones: the model test
    EXPECT_EQ(-1, chronel_settime(&no_ptr, &one, nullptr));
    EXPECT_EQ(-1, chronel_delete(&no_ptr));
    EXPECT_EQ(-1, chronel_create(&no_ptr, tally, nullptr));
    EXPECT_EQ(nullptr, no_ptr.ptr);
    chronel h = {};
    ASSERT_EQ(0, chronel_create(&h, tally, t::idx(0)));
    chronel copy = h;
    EXPECT_EQ(-1, chronel_create(&h, tally, t::idx(1)));
    EXPECT_EQ(-1, chronel_create_cs(&h, tally, t::idx(1)));
    EXPECT_TRUE(copy.ptr == h.ptr && copy.magic == h.magic && h.isabstime == 1);
    EXPECT_TRUE(t::logged("Timer is already created\n"));
    ASSERT_EQ(0, chronel_settime(&h, &one, nullptr)); // the first timer still works
    EXPECT_TRUE(t::wait_until([] { return hits[0] == 1; }));
    EXPECT_EQ(0, hits[1].load());
    EXPECT_EQ(0, chronel_delete(&h));
    EXPECT_EQ(0, t::arm(&h, tally, t::idx(1), 1));
    EXPECT_TRUE(t::wait_until([] { return hits[1] == 1; }));
    EXPECT_EQ(0, chronel_delete(&h));
    EXPECT_EQ(-1, chronel_create_cs(nullptr, tally, nullptr));
    chronel z = {};
    EXPECT_EQ(-1, chronel_create_cs(&z, nullptr, nullptr));
    EXPECT_EQ(1, z.isabstime);
    EXPECT_EQ(nullptr, z.ptr);
    EXPECT_EQ(0, z.magic);
    EXPECT_EQ(0, t::system_timers());
}

// A callback works on timers in place; none of these calls may wait for
// the timer thread, which is the caller itself.
chronel own, other, made;
std::atomic<int> rc_sum{0}, step{0};
void in_place(void *) {
    timespec one = t::ms(1);
    switch (step.load()) {
    case 0:
        rc_sum += chronel_create(&made, tally, nullptr) == -1;  // refused
        rc_sum += chronel_create_cs(&made, tally, t::idx(3)); // made here
        rc_sum += chronel_settime(&made, &one, &one);
        rc_sum += chronel_settime(&own, &one, nullptr); // re-arm self
        break;
    case 1:
        rc_sum += chronel_control(&other, false);
        rc_sum += chronel_control(&other, true);
        rc_sum += chronel_settime(&own, &one, nullptr);
        break;
    case 2:
        rc_sum += chronel_delete(&made);
        rc_sum += chronel_delete(&other);
        rc_sum += chronel_delete(&own);
        break;
    }
    step++;
}

TEST_F(Timers, CallbacksCreateArmPauseAndDeleteTimersInPlace) {
    ASSERT_EQ(0, chronel_create(&own, in_place, nullptr));
    ASSERT_EQ(0, t::arm(&other, tally, t::idx(2), 1, 1));
    timespec one = t::ms(1);
    ASSERT_EQ(0, chronel_settime(&own, &one, nullptr));
    ASSERT_TRUE(t::wait_until([] { return step == 3; }));
    EXPECT_EQ(1, rc_sum.load());
    EXPECT_TRUE(t::logged("Can't create new timer within timer callback!!\n"));
    EXPECT_EQ(1, made.isabstime);
    EXPECT_EQ(nullptr, own.ptr);
    EXPECT_TRUE(t::wait_until([] { return t::system_timers() == 0; }));
    EXPECT_GT(hits[3].load(), 0) << "the timer made in the callback never fired";
    EXPECT_EQ(0, wrong_thread.load());
    int frozen = settle(3) + settle(2);
    t::sleep_ms(30);
    EXPECT_EQ(frozen, hits[3] + hits[2]);
}

// Older kernels (Linux 6.1) still deliver an expiry that was pending when
// its timer was deleted, paused or re-armed; recent ones drop it. Either way
// it must run nothing, must not read a released record (nor a new one made
// at its address), and must not cost a new setting its own expiry. Queued
// by hand too, so every kernel sees the case; the sigwaitinfo wrapper
// counts those the kernel itself delivers.
chronel victim[7], fresh;
std::atomic<bool> armed{false}, watching{false};
void arm_hold_act(void *) {
    timespec one = t::ms(1), far = {60, 0}, soon = t::ms(5);
    chronel_settime(&victim[1], &one, nullptr);
    for (int i = 2; i <= 6; i++)
        chronel_settime(&victim[i], &one, &one);
    armed = true;
    while (hold)
        t::sleep_ms(1);
    for (int i = 1; i <= 6; i++) {
        union sigval v;
        v.sival_ptr = victim[i].ptr;
        sigqueue(getpid(), SIGRTMIN + 2, v);
    }
    chronel_delete(&victim[1]); // one-shot
    chronel_create_cs(&fresh, tally, t::idx(7)); // same size: likely the same address
    chronel_control(&victim[3], false);
    chronel_settime(&victim[4], &far, &far);
    chronel_settime(&victim[6], &soon, nullptr); // due after the call: runs once
    watching = true;
}

TEST_F(Timers, ExpiriesPendingAtDeletePauseOrRearmRunNothing) {
    chronel parker = {};
    ASSERT_EQ(0, chronel_create(&parker, arm_hold_act, nullptr));
    for (int i = 1; i <= 6; i++) {
        ASSERT_EQ(0, chronel_create(&victim[i], tally, t::idx(i)));
        t::watched[i - 1] = i == 6 ? nullptr : victim[i].ptr;
    }
    hold = true;
    timespec one = t::ms(1);
    ASSERT_EQ(0, chronel_settime(&parker, &one, nullptr));
    ASSERT_TRUE(t::wait_until([] { return armed.load(); }));
    t::sleep_ms(100); // every victim has fired into its pending signal
    int after_pause = -1;
    // Queued behind the held callback, carried out before the expiries.
    std::thread pauser([&] {
        EXPECT_EQ(0, chronel_control(&victim[5], false));
        after_pause = hits[5];
    });
    std::thread deleter([&] { EXPECT_EQ(0, chronel_delete(&victim[2])); }); // periodic
    t::sleep_ms(200);
    hold = false;
    pauser.join();
    deleter.join();
    EXPECT_TRUE(t::wait_until([] { return hits[6] == 1; }));
    for (int i = 1; i <= 4; i++)
        EXPECT_EQ(0, settle(i)) << "victim " << i;
    EXPECT_EQ(after_pause, settle(5));
    EXPECT_EQ(1, settle(6)) << "a re-armed timer lost or doubled its expiry";
    EXPECT_EQ(0, hits[7].load()) << "a stale expiry ran the timer that took its record's place";
    t::watched[2] = nullptr;
    ASSERT_EQ(0, chronel_control(&victim[3], true)); // the guard lets a resumed timer run
    EXPECT_TRUE(t::wait_until([] { return hits[3] > 3; }));
    struct utsname u;
    uname(&u);
    const int seen = t::watched_expiries;
    printf("[ stale    ] %d expiries of deleted, paused or re-armed timers %s%s\n", seen,
           seen ? "delivered by " : "seen: none, this kernel drops them; ", u.release);
    if (strncmp(u.release, "6.1.", 4) == 0 && !t::emulated()) {
        EXPECT_GT(seen, 0) << "Linux 6.1 delivers them: the case was not made";
    }
    for (chronel *h : {&victim[3], &victim[4], &victim[5], &victim[6], &fresh, &parker})
        EXPECT_EQ(0, chronel_delete(h));
    EXPECT_EQ(0, t::system_timers());
}

TEST(Faults, FailedCallsAreReportedAndNothingIsLostOrLeaked) {
    if (t::sanitized())
        GTEST_SKIP() << "the sanitizer's runtime owns the functions made to fail";
    ASSERT_EQ(0, chronel_init_default());
    const t::Held base = t::held();
    chronel h = {};
    t::timer_create_err = EINVAL;
    errno = ENOENT; // the caller's own errno must not be what is reported
    EXPECT_EQ(-1, chronel_create(&h, tally, nullptr));
    EXPECT_TRUE(t::logged("timer_create fail: %s\n", "timer_create fail: " + t::err(EINVAL)));
    EXPECT_TRUE(t::logged("CHRONEL_CREATE_FAIL %s\n", "CHRONEL_CREATE_FAIL " + t::err(EINVAL)));
    t::timer_create_err = ENOMEM;
    EXPECT_EQ(-1, chronel_create_cs(&h, tally, nullptr));
    EXPECT_TRUE(t::logged("timer_create fail: %m\n", "timer_create fail: " + t::err(ENOMEM)));
    for (auto create : {chronel_create, chronel_create_cs}) {
        t::calloc_err = ENOMEM;
        EXPECT_EQ(-1, create(&h, tally, nullptr));
    }
    EXPECT_TRUE(t::logged("Not enough memory\n"));
    {
        t::SigLimit none(0); // no signal slot: the request, or the timer, cannot be had
        EXPECT_EQ(-1, chronel_create(&h, tally, nullptr));
        EXPECT_EQ(-1, chronel_create_cs(&h, tally, nullptr));
    }
    EXPECT_TRUE(t::logged("Sigqueue error %s\n", "Sigqueue error " + t::err(EAGAIN)));
    EXPECT_TRUE(t::logged("timer_create fail: %m\n", "timer_create fail: " + t::err(EAGAIN)));
    EXPECT_EQ(nullptr, h.ptr);
    EXPECT_EQ(0, h.magic);
    EXPECT_TRUE(t::held() == base) << t::str(t::held());
    // A failed set still stores the setting; a request that cannot be sent
    // fails, and a delete that cannot be sent keeps the record.
    ASSERT_EQ(0, chronel_create(&h, tally, t::idx(0)));
    timespec one = t::ms(1);
    t::timer_settime_err = EINVAL;
    EXPECT_EQ(-1, chronel_settime(&h, &one, &one));
    EXPECT_TRUE(t::logged("timer_settime error %s\n", "timer_settime error " + t::err(EINVAL)));
    EXPECT_EQ(0, chronel_control(&h, true));
    ASSERT_TRUE(t::wait_until([] { return hits[0] > 3; }));
    {
        t::SigLimit none(0);
        EXPECT_EQ(-1, chronel_control(&h, false));
        chronel kept = h;
        EXPECT_EQ(0, chronel_delete(&h));
        int now = settle(0);
        t::sleep_ms(30);
        EXPECT_EQ(now, hits[0].load()) << "its callbacks go on";
        h = kept;
    }
    EXPECT_EQ(0, chronel_delete(&h));
    // timer_delete failing on the timer thread, then in place.
    ASSERT_EQ(0, chronel_create(&h, tally, nullptr));
    t::timer_delete_err = EINVAL;
    EXPECT_EQ(0, chronel_delete(&h));
    EXPECT_TRUE(t::logged("timer_delete fail: %s\n", "timer_delete fail: " + t::err(EINVAL)));
    static chronel inner = {};
    ASSERT_EQ(0, chronel_create(&inner, tally, nullptr));
    ASSERT_EQ(0, t::arm(&h, [](void *) {
        t::timer_delete_err = EINVAL;
        chronel_delete(&inner);
        t::timer_settime_err = EINVAL;
        timespec one = t::ms(1);
        chronel_settime(&inner, &one, nullptr);
    }, nullptr, 1));
    EXPECT_TRUE(t::wait_until([] { return t::logged("timer_delete %m\n", "timer_delete " + t::err(EINVAL)); }));
    EXPECT_TRUE(t::wait_until([] { return t::logged("Invalid chronel\n"); })); // logged just after
    t::timer_settime_err = 0; // never reached: the handle was already cleared
    EXPECT_EQ(0, chronel_delete(&h));
    EXPECT_TRUE(t::wait_until([&] { return t::live_callocs() == base.first; })) << "records kept after failed deletes";
}
