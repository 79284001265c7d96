// Creating, arming, pausing, resuming and deleting timers.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/utsname.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <thread>

#include "support.h"

namespace {

std::atomic<pid_t> timer_tid{0};
std::atomic<int> wrong_thread{0}, overlaps{0}, inside{0};
std::atomic<int> hits[8];
std::atomic<bool> hold{false};

// Counts per argument and checks where and how callbacks run.
void tally(void *arg) {
    if (inside.fetch_add(1) != 0)
        overlaps++;
    pid_t self = t::gettid_(), expect = 0;
    if (!timer_tid.compare_exchange_strong(expect, self) && expect != self)
        wrong_thread++;
    hits[reinterpret_cast<intptr_t>(arg)]++;
    inside--;
}

void park(void *arg) {
    tally(arg);
    while (hold)
        t::sleep_ms(1);
}

struct Timers : ::testing::Test {
    void SetUp() override { ASSERT_EQ(0, chronel_init_default()); }
    static void *idx(intptr_t i) { return reinterpret_cast<void *>(i); }
    static int settle(int i) { // count of `i` once it stops moving
        int before;
        do {
            before = hits[i];
            t::sleep_ms(50);
        } while (hits[i] != before);
        return before;
    }
};

std::vector<std::string> clocks() {
    std::ifstream f("/proc/self/timers");
    std::vector<std::string> out;
    std::string word;
    while (f >> word)
        if (word == "ClockID:" && f >> word)
            out.push_back(word);
    return out;
}

} // namespace

TEST_F(Timers, CallbacksRunOnTheTimerThreadOneAtATimeWithTheirOwnArgument) {
    chronel h[6] = {};
    auto worker = [&](int first) {
        for (int i = first; i < first + 3; i++) {
            timespec period = t::ms(i + 1);
            ASSERT_EQ(0, chronel_create(&h[i], tally, idx(i)));
            ASSERT_EQ(0, chronel_settime(&h[i], &period, &period));
        }
    };
    std::thread a(worker, 0), b(worker, 3);
    a.join();
    b.join();
    chronel once = {};
    timespec one = t::ms(1);
    ASSERT_EQ(0, chronel_create(&once, tally, idx(6)));
    ASSERT_EQ(0, chronel_settime(&once, &one, nullptr));
    EXPECT_TRUE(t::wait_until([] {
        for (int i = 0; i < 7; i++)
            if (hits[i] < 20 && i < 6)
                return false;
        return hits[6] == 1;
    }));
    for (auto &x : h)
        EXPECT_EQ(0, chronel_delete(&x));
    EXPECT_EQ(1, settle(6)) << "a one-shot timer fired again";
    EXPECT_EQ(0, overlaps.load());
    EXPECT_EQ(0, wrong_thread.load());
    EXPECT_NE(t::gettid_(), timer_tid.load());
    EXPECT_EQ(0, chronel_delete(&once));
}

TEST_F(Timers, SettingFollowsTimerSettimeAndStoresThePeriod) {
    chronel h = {};
    ASSERT_EQ(0, chronel_create(&h, tally, idx(0)));
    EXPECT_EQ(std::vector<std::string>{"1"}, clocks()); // CLOCK_MONOTONIC
    timespec one = t::ms(1), none = {0, 0};
    ASSERT_EQ(0, chronel_settime(&h, &one, &one));
    ASSERT_TRUE(t::wait_until([] { return hits[0] > 5; }));
    ASSERT_EQ(0, chronel_settime(&h, nullptr, nullptr)); // disarms
    int stopped = settle(0);
    ASSERT_EQ(0, chronel_settime(&h, nullptr, &one)); // stores the period only
    ASSERT_EQ(0, chronel_control(&h, true));
    ASSERT_EQ(0, chronel_control(&h, false));
    ASSERT_EQ(0, chronel_control(&h, true));
    t::sleep_ms(50);
    EXPECT_EQ(stopped, hits[0].load());
    timespec ns = {0, 1};
    ASSERT_EQ(0, chronel_settime(&h, &ns, &none));
    EXPECT_TRUE(t::wait_until([&] { return hits[0] == stopped + 1; }));
    EXPECT_EQ(stopped + 1, settle(0));
    // Paused and resumed with the stored setting, counted from the resume.
    timespec period = t::ms(2);
    ASSERT_EQ(0, chronel_settime(&h, &period, &period));
    ASSERT_EQ(0, chronel_control(&h, false));
    stopped = settle(0);
    ASSERT_EQ(0, chronel_control(&h, true));
    EXPECT_TRUE(t::wait_until([&] { return hits[0] > stopped + 5; }));
    EXPECT_EQ(0, chronel_delete(&h));
    // Never set: resuming applies a zero setting.
    ASSERT_EQ(0, chronel_create(&h, tally, idx(1)));
    ASSERT_EQ(0, chronel_control(&h, true));
    t::sleep_ms(30);
    EXPECT_EQ(0, hits[1].load());
    EXPECT_EQ(0, chronel_delete(&h));
}

TEST_F(Timers, AHandleThatHoldsATimerIsRefusedAndADeletedOneCanBeReused) {
    chronel no_ptr = {nullptr, CHRONEL_MAGIC, 0}; // zeroed and corrupted ones: the model test
    timespec one = t::ms(1);
    EXPECT_EQ(-1, chronel_settime(&no_ptr, &one, nullptr));
    EXPECT_EQ(-1, chronel_delete(&no_ptr));
    EXPECT_EQ(-1, chronel_create(&no_ptr, tally, nullptr));
    EXPECT_EQ(nullptr, no_ptr.ptr);
    chronel h = {};
    ASSERT_EQ(0, chronel_create(&h, tally, idx(0)));
    chronel copy = h;
    EXPECT_EQ(-1, chronel_create(&h, tally, idx(1)));
    EXPECT_EQ(-1, chronel_create_cs(&h, tally, idx(1)));
    EXPECT_EQ(1, h.isabstime);
    EXPECT_EQ(copy.ptr, h.ptr);
    EXPECT_TRUE(t::logged("Timer is already created\n"));
    ASSERT_EQ(0, chronel_settime(&h, &one, nullptr)); // the first timer still works
    EXPECT_TRUE(t::wait_until([] { return hits[0] == 1; }));
    EXPECT_EQ(0, hits[1].load());
    EXPECT_EQ(0, chronel_delete(&h));
    EXPECT_EQ(-1, chronel_delete(&h));
    ASSERT_EQ(0, chronel_create(&h, tally, idx(1)));
    ASSERT_EQ(0, chronel_settime(&h, &one, nullptr));
    EXPECT_TRUE(t::wait_until([] { return hits[1] == 1; }));
    EXPECT_EQ(0, chronel_delete(&h));
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
        rc_sum += chronel_create(&made, tally, nullptr) == -1;          // refused
        rc_sum += chronel_create_cs(&made, tally, reinterpret_cast<void *>(3)); // made here
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
    ASSERT_EQ(0, chronel_create(&other, tally, idx(2)));
    timespec one = t::ms(1);
    ASSERT_EQ(0, chronel_settime(&other, &one, &one));
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

TEST_F(Timers, TimersMadeInPlaceAreSetAndDeletedFromAnyThread) {
    chronel h = {};
    std::thread([&] { ASSERT_EQ(0, chronel_create_cs(&h, tally, idx(4))); }).join();
    EXPECT_EQ(std::vector<std::string>{"0"}, clocks()); // CLOCK_REALTIME
    std::thread([&] {
        timespec one = t::ms(1);
        ASSERT_EQ(0, chronel_settime(&h, &one, &one));
        ASSERT_TRUE(t::wait_until([] { return hits[4] > 3; }));
        ASSERT_EQ(0, chronel_control(&h, false));
        int paused = settle(4);
        ASSERT_EQ(0, chronel_control(&h, true));
        ASSERT_TRUE(t::wait_until([&] { return hits[4] > paused + 3; }));
        ASSERT_EQ(0, chronel_delete(&h));
        EXPECT_EQ(0, t::system_timers());
    }).join();
    int after = hits[4];
    t::sleep_ms(30);
    EXPECT_EQ(after, hits[4].load());
    // Refusals leave the handle as it was, and record nothing.
    EXPECT_EQ(-1, chronel_create_cs(nullptr, tally, nullptr));
    chronel z = {};
    EXPECT_EQ(-1, chronel_create_cs(&z, nullptr, nullptr));
    EXPECT_EQ(1, z.isabstime);
    EXPECT_EQ(nullptr, z.ptr);
    EXPECT_EQ(0, z.magic);
}

// An expiry queued before its timer was deleted, as older kernels deliver
// it, must find nothing: neither the released record nor a new one that
// took its address.
chronel stale, fresh;
std::atomic<bool> reused{false};
void delete_and_reuse(void *) {
    chronel_delete(&stale);
    chronel_create_cs(&fresh, tally, reinterpret_cast<void *>(6)); // same size: likely the same address
    reused = true;
}

TEST_F(Timers, StaleExpiriesNeverReachAReleasedRecord) {
    union sigval v;
    // Deleted from another thread while the expiry waits behind a callback.
    chronel parked = {};
    ASSERT_EQ(0, chronel_create(&parked, park, idx(7)));
    ASSERT_EQ(0, chronel_create(&stale, tally, idx(5)));
    hold = true;
    timespec one = t::ms(1);
    ASSERT_EQ(0, chronel_settime(&parked, &one, nullptr));
    ASSERT_TRUE(t::wait_until([] { return hits[7] == 1; }));
    v.sival_ptr = stale.ptr;
    ASSERT_EQ(0, sigqueue(getpid(), SIGRTMIN + 2, v));
    std::thread deleter([&] { chronel_delete(&stale); });
    t::sleep_ms(50);
    hold = false;
    deleter.join();
    EXPECT_EQ(0, hits[5].load());
    for (int i = 0; i < 50; i++) { // new records over the old address
        chronel n = {};
        ASSERT_EQ(0, chronel_create(&n, tally, idx(6)));
        ASSERT_EQ(0, chronel_delete(&n));
    }
    // Deleted from a callback, and a new record made at once in its place.
    ASSERT_EQ(0, chronel_create(&stale, tally, idx(5)));
    chronel deleter_timer = {};
    ASSERT_EQ(0, chronel_create(&deleter_timer, delete_and_reuse, nullptr));
    timespec later = t::ms(30);
    hold = true;
    ASSERT_EQ(0, chronel_settime(&deleter_timer, &later, nullptr));
    ASSERT_EQ(0, chronel_settime(&parked, &one, nullptr));
    ASSERT_TRUE(t::wait_until([] { return hits[7] == 2; }));
    t::sleep_ms(60); // the deleting timer's expiry is queued behind the callback
    v.sival_ptr = stale.ptr;
    ASSERT_EQ(0, sigqueue(getpid(), SIGRTMIN + 2, v));
    hold = false;
    ASSERT_TRUE(t::wait_until([] { return reused.load(); }));
    t::sleep_ms(50);
    EXPECT_EQ(0, hits[5].load());
    EXPECT_EQ(0, hits[6].load()) << "a stale expiry ran the timer that reused its record";
    EXPECT_EQ(0, chronel_delete(&fresh));
    EXPECT_EQ(0, chronel_delete(&deleter_timer));
    EXPECT_EQ(0, chronel_delete(&parked));
    EXPECT_EQ(0, t::system_timers());
}

// Older kernels (Linux 6.1) still deliver an expiry that was pending when
// its timer was deleted, paused or re-armed; recent ones drop it. Either way
// it must run nothing, must not read a released record, and must not cost a
// new setting its own expiry. Queued by hand too, so every kernel sees the
// case; the wrapper counts those the kernel itself delivers.
std::atomic<void *> watched[5];
std::atomic<int> delivered_stale{0};
std::atomic<bool> watching{false}, armed{false};
chronel victim[7];

extern "C" int sigwaitinfo(const sigset_t *set, siginfo_t *si) {
    static auto real = reinterpret_cast<int (*)(const sigset_t *, siginfo_t *)>(dlsym(RTLD_NEXT, "sigwaitinfo"));
    int sig = real(set, si);
    if (sig > 0 && si->si_code == SI_TIMER && watching)
        for (auto &w : watched)
            delivered_stale += w.load() == si->si_value.sival_ptr;
    return sig;
}

// On the timer thread: arm the victims, hold until their expiries are
// pending, then delete, pause and re-arm them in place.
void arm_hold_act(void *) {
    timespec one = t::ms(1), far = {60, 0}, soon = t::ms(5);
    chronel_settime(&victim[1], &one, nullptr);
    for (int i = 2; i <= 6; i++)
        chronel_settime(&victim[i], &one, &one);
    armed = true;
    while (hold)
        t::sleep_ms(1);
    union sigval v; // what older kernels hold, on every kernel
    for (int i = 1; i <= 6; i++) {
        v.sival_ptr = victim[i].ptr;
        sigqueue(getpid(), SIGRTMIN + 2, v);
    }
    chronel_delete(&victim[1]);        // one-shot
    chronel_delete(&victim[2]);        // periodic
    chronel_control(&victim[3], false);
    chronel_settime(&victim[4], &far, &far);
    chronel_settime(&victim[6], &soon, nullptr); // due after the call: runs once
    watching = true;
}

TEST_F(Timers, ExpiriesPendingAtDeletePauseOrRearmRunNothing) {
    chronel parker = {};
    ASSERT_EQ(0, chronel_create(&parker, arm_hold_act, nullptr));
    for (int i = 1; i <= 6; i++) {
        ASSERT_EQ(0, chronel_create(&victim[i], tally, idx(i)));
        if (i <= 5)
            watched[i - 1] = victim[i].ptr;
    }
    hold = true;
    timespec one = t::ms(1);
    ASSERT_EQ(0, chronel_settime(&parker, &one, nullptr));
    ASSERT_TRUE(t::wait_until([] { return armed.load(); }));
    t::sleep_ms(100); // every victim has fired into its pending signal
    int after_pause = -1;
    std::thread pauser([&] { // queued behind the held callback, taken before the expiries
        EXPECT_EQ(0, chronel_control(&victim[5], false));
        after_pause = hits[5];
    });
    t::sleep_ms(200);
    hold = false;
    pauser.join();
    EXPECT_TRUE(t::wait_until([] { return hits[6] == 1; }));
    for (int i = 1; i <= 4; i++)
        EXPECT_EQ(0, settle(i)) << "victim " << i;
    EXPECT_EQ(after_pause, settle(5));
    EXPECT_EQ(1, settle(6)) << "a re-armed timer lost or doubled its expiry";
    watching = false;
    ASSERT_EQ(0, chronel_control(&victim[3], true)); // the guard lets a resumed timer run
    EXPECT_TRUE(t::wait_until([] { return hits[3] > 3; }));

    struct utsname u;
    uname(&u);
    std::cout << "[ stale    ] " << delivered_stale << " expiries of deleted, paused or re-armed timers "
              << (delivered_stale ? "delivered by " : "seen: none, this kernel drops them; ") << u.release << "\n";
    RecordProperty("delivered_stale", delivered_stale.load());
    if (strncmp(u.release, "6.1.", 4) == 0 && !t::under_qemu()) {
        EXPECT_GT(delivered_stale.load(), 0) << "Linux 6.1 delivers them: the case was not made";
    }
    for (int i = 3; i <= 6; i++)
        EXPECT_EQ(0, chronel_delete(&victim[i]));
    EXPECT_EQ(0, chronel_delete(&parker));
    EXPECT_EQ(0, t::system_timers());
}
