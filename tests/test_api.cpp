// The interface, a behaviour a test: the timer thread's start and end,
// arming, pausing and deleting, work done in place by callbacks, expiries
// that outlive their setting, and what happens when the system says no.
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>

#include <fstream>
#include <memory>
#include <thread>
#include <utility>

#include "support.h"

namespace {
using t::hits, t::last_tid, t::overlaps, t::tally;
std::atomic<bool> hold{false};
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
    for (all_blocked = all, tally(arg); hold;)
        t::sleep_ms(1);
}
int settle(int i) { // the count of `i` once it stops moving
    for (int before = -1;; t::sleep_ms(50))
        if (before == std::exchange(before, hits[i]))
            return before;
}
std::vector<int> timers(const std::string &key) { // "signal:" or "ClockID:" of each timer
    std::ifstream f("/proc/self/timers");
    std::vector<int> out;
    for (std::string w; f >> w;)
        if (w == key && f >> w)
            out.push_back(atoi(w.c_str()));
    return out;
}
int tasks() {
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir("/proc/self/task"), closedir);
    int n = 0;
    while (readdir(d.get()) != nullptr)
        n++;
    return n;
}
bool gone(pid_t tid) { return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) != 0; }
struct Timers : ::testing::Test {
    void SetUp() override { ASSERT_EQ(0, chronel_init_default()); }
};
} // namespace

TEST(Engine, InitPicksSignalsSchedulingAndHoldsItsGateWhileStarting) {
    std::vector<std::pair<int, int>> cases = {{SIGRTMIN - 1, SIGRTMIN}, {SIGRTMAX - 1, SIGRTMIN}, {SIGRTMIN + 3, SIGRTMIN + 3}, {0, SIGRTMIN}};
    if (!t::valgrind() && !t::emulated()) // they keep the last real-time signal
        cases.push_back({SIGRTMAX - 2, SIGRTMAX - 2});
    for (auto [asked, base] : cases)
        std::thread([asked = asked, base = base] {
            const int threads = tasks();
            ASSERT_EQ(0, chronel_init(0, asked));
            for (int s = base; s < base + 4; s++)
                EXPECT_EQ(s < base + 3, blocked(s)) << asked << " " << s;
            chronel h = {};
            ASSERT_EQ(0, chronel_create(&h, tally, nullptr));
            if (!t::emulated()) { // the emulator lists the host's number
                EXPECT_EQ(std::vector<int>{base + 2}, timers("signal:")) << asked;
            }
            EXPECT_EQ(0, chronel_delete(&h));
            chronel_shutdown(); // and let it end: the next one's signals are others
            EXPECT_TRUE(t::wait_until([&] { return tasks() == threads; }));
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
    EXPECT_EQ(-2, chronel_init(0, SIGRTMIN) + chronel_create(&h, tally, nullptr));
    EXPECT_TRUE(t::logged("Could not start timer thread : %s\n", "Could not start timer thread : " + t::err(EPERM)));
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
    chronel h = {}, self = {}, n = {}, held = {};
    ASSERT_EQ(0, chronel_init_default() + t::arm(&self, [](void *) { chronel_shutdown(); hits[2]++; }, nullptr, 1, 1));
    ASSERT_TRUE(t::wait_until([] { return hits[2] >= 3; }));
    EXPECT_TRUE(t::logged("You can't do that!!\n"));
    EXPECT_EQ(0, chronel_delete(&self));
    // Null values, of the expiry and the control signal, are passed over; a
    // control signal sent to this thread, which blocks it, stays here.
    ASSERT_EQ(0, t::arm(&h, tally, t::idx(0), 1));
    ASSERT_TRUE(t::wait_until([] { return hits[0] == 1; }));
    const pid_t old = last_tid;
    union sigval none = {};
    ASSERT_EQ(0, sigqueue(getpid(), SIGRTMIN + 2, none) + pthread_sigqueue(pthread_self(), SIGRTMIN + 1, none) +
                     sigqueue(getpid(), SIGRTMIN + 1, none));
    for (int s : {SIGRTMIN + 1, SIGRTMIN + 2})
        EXPECT_TRUE(t::wait_until([&] {
            return t::logged("Got signal %d without any sival_ptr\n", "Got signal " + std::to_string(s) + " without any sival_ptr\n");
        }));
    sigset_t ctrl;
    siginfo_t si;
    sigemptyset(&ctrl);
    sigaddset(&ctrl, SIGRTMIN + 1);
    EXPECT_EQ(SIGRTMIN + 1, sigwaitinfo(&ctrl, &si));
    // SIGIO from outside ends the thread; requests then fail without waiting.
    kill(getpid(), SIGIO);
    ASSERT_TRUE(t::wait_until([&] { return gone(old) && t::logged("Timer queue overflow for pid %d\n", "Timer queue overflow for pid " + std::to_string(old) + "\n"); }));
    timespec one = t::ms(1);
    EXPECT_EQ(-3, chronel_settime(&h, &one, nullptr) + chronel_control(&h, true) + chronel_create(&n, tally, nullptr));
    EXPECT_TRUE(t::logged("Sigqueue error %s\n", "Sigqueue error " + t::err(ESRCH)));
    t::clear_logs();
    chronel_shutdown();
    EXPECT_TRUE(t::logged("Timer thread does not exist\n"));
    // A new thread serves the surviving timer; then one more starts while
    // the second is held in a callback, and serves meanwhile.
    ASSERT_EQ(0, chronel_init_default() + chronel_settime(&h, &one, nullptr));
    ASSERT_TRUE(t::wait_until([] { return hits[0] == 2; }));
    EXPECT_NE(old, last_tid.load());
    chronel a = {}, c = {}, d = {};
    ASSERT_EQ(0, chronel_create(&a, tally, t::idx(3)) + chronel_create(&d, tally, t::idx(3)));
    hold = true;
    ASSERT_EQ(0, t::arm(&held, park, t::idx(1), 1));
    ASSERT_TRUE(t::wait_until([] { return hits[1] == 1; }));
    EXPECT_TRUE(all_blocked) << "a thread that outlives its generation could take a newer one's signal";
    const pid_t second = last_tid;
    // Requests queued behind the callback wait; when its thread is retired
    // they fail, a delete excepted, and run nowhere.
    std::atomic<int> rc[3] = {9, 9, 9};
    std::thread q[] = {std::thread([&] { rc[0] = chronel_settime(&a, &one, nullptr); }),
                       std::thread([&] { rc[1] = chronel_create(&c, tally, nullptr); }),
                       std::thread([&] { rc[2] = chronel_delete(&d); })};
    t::sleep_ms(300);
    EXPECT_EQ(27, rc[0] + rc[1] + rc[2]) << "a request returned while the timer thread was in a callback";
    chronel_shutdown();
    ASSERT_EQ(0, chronel_init_default());
    const t::Held base = t::held();
    ASSERT_EQ(0, chronel_settime(&h, &one, nullptr));
    ASSERT_TRUE(t::wait_until([] { return hits[0] == 3; }));
    EXPECT_NE(second, last_tid.load());
    // The held thread may hold an expiry nobody else can see: records
    // deleted meanwhile wait for its end, then go.
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(0, chronel_create(&n, tally, nullptr) + chronel_delete(&n));
    t::sleep_ms(50);
    EXPECT_TRUE(base.first < 0 || base.first + 10 == t::live_callocs()) << "released while another thread could hold their expiries";
    hold = false;
    for (auto &th : q)
        th.join();
    EXPECT_EQ(-2, rc[0] + rc[1] + rc[2]);
    EXPECT_TRUE(t::logged("Timer thread ended before the request ran\n"));
    ASSERT_TRUE(t::wait_until([&] { return gone(second); }));
    EXPECT_TRUE(t::back_to({base.first < 0 ? -1 : base.first - 2, base.second - 1})) << t::str(t::held()); // c and d gone
    t::sleep_ms(20);
    EXPECT_EQ(0, chronel_delete(&h) + chronel_delete(&held) + chronel_delete(&a) + hits[3] + overlaps);
}

TEST_F(Timers, ArmPauseResumeAndDeleteFromAnyThread) {
    chronel h[6] = {}, once = {}, x = {};
    auto worker = [&](int first) { // periodic at 1..6 ms, from two threads
        for (int i = first; i < first + 3; i++)
            ASSERT_EQ(0, t::arm(&h[i], tally, t::idx(i), i + 1, i + 1));
    };
    std::thread a(worker, 0), b(worker, 3);
    a.join();
    b.join();
    EXPECT_EQ(std::vector<int>(6, CLOCK_MONOTONIC), timers("ClockID:"));
    ASSERT_EQ(0, t::arm(&once, tally, t::idx(6), 1));
    EXPECT_TRUE(t::wait_until([] { return hits[6] == 1 && std::min<int>({hits[0], hits[1], hits[2], hits[3], hits[4], hits[5]}) >= 20; }));
    for (auto &y : h)
        EXPECT_EQ(0, chronel_delete(&y));
    EXPECT_EQ(1, settle(6)) << "a one-shot timer fired again";
    EXPECT_EQ(-1, chronel_delete(&once) + chronel_delete(&once));
    EXPECT_EQ(0, t::system_timers());
    // One timer through the settings, from another thread: disarm, the
    // period alone, pause and resume (counted from the resume), 1 ns.
    ASSERT_EQ(0, chronel_create_cs(&x, tally, t::idx(7)));
    EXPECT_EQ(std::vector<int>{CLOCK_REALTIME}, timers("ClockID:"));
    std::thread([&] {
        timespec one = t::ms(1), two = t::ms(2), none = {0, 0}, ns = {0, 1};
        ASSERT_EQ(0, chronel_control(&x, true)); // never set: a zero setting
        t::sleep_ms(30);
        ASSERT_EQ(0, hits[7] + chronel_settime(&x, &one, &one));
        ASSERT_TRUE(t::wait_until([] { return hits[7] > 5; }));
        ASSERT_EQ(0, chronel_settime(&x, nullptr, nullptr));
        int stopped = settle(7);
        ASSERT_EQ(0, chronel_settime(&x, nullptr, &one) + chronel_control(&x, true) + chronel_control(&x, false) + chronel_control(&x, true));
        t::sleep_ms(50);
        ASSERT_EQ(stopped, hits[7].load()) << "a period alone arms nothing";
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
    EXPECT_EQ(0, overlaps + t::wrong_thread);
    EXPECT_NE(t::tid(), t::cb_tid.load());
}

// Bad handles and parameters are refused with their message and hold
// nothing; a corrupted copy leaves the record alone. A callback makes, sets
// and deletes timers in place, itself included, but cannot create through
// the timer thread it runs on.
chronel own, made;
std::atomic<int> in_cb{1};
void in_place(void *) {
    timespec one = t::ms(1);
    in_cb = chronel_create(&made, tally, nullptr) * 10 + chronel_create_cs(&made, tally, t::idx(9)) +
            chronel_settime(&made, &one, nullptr) + chronel_control(&own, false) + chronel_delete(&own);
}
TEST_F(Timers, BadHandlesAreRefusedAndCallbacksWorkInPlace) {
    const t::Held base = t::held();
    chronel live = {}, empty = {}, bent, dead = {t::idx(0x5a5a), CHRONEL_MAGIC ^ 0x40, 0}, no_ptr = {nullptr, CHRONEL_MAGIC, 0};
    ASSERT_EQ(0, chronel_create(&live, tally, t::idx(8)));
    (bent = live).magic ^= 0x40;
    timespec one = t::ms(1);
    for (chronel *h : {&empty, &dead, &bent, &no_ptr, static_cast<chronel *>(nullptr)})
        EXPECT_EQ(-3, chronel_settime(h, &one, nullptr) + chronel_control(h, true) + chronel_delete(h));
    EXPECT_EQ(-4, chronel_create(&live, tally, nullptr) + chronel_create_cs(&live, tally, nullptr) +
                      chronel_create(&no_ptr, tally, nullptr) + chronel_create_cs(&no_ptr, tally, nullptr));
    EXPECT_EQ(-3, chronel_create(nullptr, tally, nullptr) + chronel_create_cs(&empty, nullptr, nullptr) +
                      chronel_create(&empty, nullptr, nullptr));
    char bad[2][64];
    snprintf(bad[0], 64, "Invalid parameters : %p-%p\n", nullptr, reinterpret_cast<void *>(tally));
    snprintf(bad[1], 64, "Invalid parameters : %p-%p\n", static_cast<void *>(&empty), nullptr);
    EXPECT_EQ(0, chronel_create(&dead, tally, nullptr) + chronel_delete(&dead)); // a bad magic: not a timer yet
    EXPECT_EQ(0, chronel_settime(&live, &one, nullptr));
    EXPECT_TRUE(t::wait_until([] { return hits[8] == 1; })) << "a refusal harmed the record";
    ASSERT_EQ(0, chronel_create(&own, in_place, nullptr) + chronel_settime(&own, &one, nullptr));
    ASSERT_TRUE(t::wait_until([] { return in_cb == -10 && hits[9] == 1; })) << in_cb;
    EXPECT_TRUE(own.ptr == nullptr && own.magic == 0 && made.isabstime == 1);
    EXPECT_EQ(0, chronel_delete(&made) + chronel_delete(&live));
    EXPECT_TRUE(t::back_to(base)) << t::str(t::held());
    EXPECT_TRUE(t::logged("Invalid chronel\n") == 15 && t::logged("Timer is already created\n") == 4 &&
                t::logged("Invalid parameters : %p-%p\n", bad[0]) == 1 && t::logged("Invalid parameters : %p-%p\n", bad[1]) == 2 &&
                t::logged("Can't create new timer within timer callback!!\n") == 1 && t::logs().size() == 23)
        << t::logs().size() << " messages, the last " << t::logs().back().text;
}

// Older kernels (Linux 6.1) still deliver an expiry that was pending when
// its timer was deleted, paused or re-armed; recent ones drop it. Either way
// it must run nothing, must not read a released record (nor a new one made
// at its address), and must not cost a new setting its own expiry. Queued
// by hand as well, so that every kernel sees the case.
chronel victim[7], fresh;
std::atomic<void *> records[7]; // read by the callback while other threads change the handles
std::atomic<bool> armed{false};
void arm_hold_act(void *) {
    timespec one = t::ms(1), far = {60, 0}, soon = t::ms(250); // soon, but after the stale ones are taken
    chronel_settime(&victim[1], &one, nullptr);
    for (int i = 2; i <= 6; i++)
        chronel_settime(&victim[i], &one, &one);
    for (armed = true; hold;)
        t::sleep_ms(1);
    for (int i = 1; i <= 6; i++) {
        union sigval v;
        v.sival_ptr = records[i];
        sigqueue(getpid(), SIGRTMIN + 2, v);
    }
    chronel_delete(&victim[1]); // one-shot
    chronel_create_cs(&fresh, tally, t::idx(7)); // same size: likely the same address
    chronel_control(&victim[3], false);
    chronel_settime(&victim[4], &far, &far);
    chronel_settime(&victim[6], &soon, nullptr); // due after the call: runs once
}

TEST_F(Timers, ExpiriesPendingAtDeletePauseOrRearmRunNothing) {
    chronel parker = {};
    for (int i = 1; i <= 6; i++) {
        ASSERT_EQ(0, chronel_create(&victim[i], tally, t::idx(i)));
        records[i] = victim[i].ptr;
    }
    hold = true;
    ASSERT_EQ(0, t::arm(&parker, arm_hold_act, nullptr, 1));
    ASSERT_TRUE(t::wait_until([] { return armed.load(); }));
    t::sleep_ms(100); // every victim has fired into its pending signal
    int after_pause = -1;
    // Queued behind the held callback, carried out before the expiries.
    std::thread pauser([&] { after_pause = chronel_control(&victim[5], false) + hits[5]; });
    std::thread deleter([&] { EXPECT_EQ(0, chronel_delete(&victim[2])); }); // periodic
    t::sleep_ms(200);
    hold = false;
    pauser.join();
    deleter.join();
    EXPECT_TRUE(t::wait_until([] { return hits[6] == 1; }));
    EXPECT_EQ((std::vector<int>{0, 0, 0, 0, after_pause, 1, 0}),
              (std::vector<int>{settle(1), settle(2), settle(3), settle(4), settle(5), settle(6), hits[7]}))
        << "a stale expiry ran a callback, or a re-armed timer lost or doubled its expiry";
    ASSERT_EQ(0, chronel_control(&victim[3], true)); // the guard lets a resumed timer run
    EXPECT_TRUE(t::wait_until([] { return hits[3] > 3; }));
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
        t::SigLimit none(0); // no signal slot: for the request, or for the timer
        EXPECT_EQ(-2, chronel_create(&h, tally, nullptr) + chronel_create_cs(&h, tally, nullptr));
    }
    EXPECT_TRUE(t::logged("Sigqueue error %s\n", "Sigqueue error " + t::err(EAGAIN)));
    EXPECT_TRUE(t::logged("timer_create fail: %m\n", "timer_create fail: " + t::err(EAGAIN)));
    EXPECT_TRUE(h.ptr == nullptr && h.magic == 0 && t::held() == base) << t::str(t::held());
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
        chronel kept = h;
        EXPECT_EQ(-1, chronel_control(&h, false) + chronel_delete(&h));
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
    ASSERT_EQ(0, chronel_create(&inner, tally, nullptr) + t::arm(&h, [](void *) {
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
