// What the library does when the system says no.
#include <gtest/gtest.h>
#include <sched.h>
#include <string.h>
#include <sys/resource.h>

#include <thread>

#include "interpose.h"
#include "support.h"

namespace {

std::atomic<int> calls{0};
void count(void *) { calls++; }

// No signal can be queued while this lives: sigqueue and timer_create
// fail with EAGAIN, as they do when the system's queue is full.
struct NoSignals {
    rlimit old;
    NoSignals() {
        getrlimit(RLIMIT_SIGPENDING, &old);
        rlimit none = old;
        none.rlim_cur = 0;
        setrlimit(RLIMIT_SIGPENDING, &none);
    }
    ~NoSignals() { setrlimit(RLIMIT_SIGPENDING, &old); }
};

std::string text(int e) { return strerror(e); }

} // namespace

TEST(Faults, InitReturnsWhenTheThreadCannotStartAndTheGateStaysUsable) {
    fault::pthread_create_err = EPERM;
    EXPECT_EQ(-1, chronel_init(0, SIGRTMIN));
    EXPECT_TRUE(t::logged("Could not start timer thread : %s\n", "Could not start timer thread : " + text(EPERM) + "\n"));
    chronel h = {};
    EXPECT_EQ(-1, chronel_create(&h, count, nullptr));
    // A slow start holds the gate: init and shutdown meanwhile fail at once.
    std::thread starter([] {
        fault::pthread_create_delay_ms = 300;
        EXPECT_EQ(0, chronel_init_default());
    });
    t::sleep_ms(100);
    t::clear_logs();
    EXPECT_EQ(-1, chronel_init_default());
    chronel_shutdown();
    std::string busy = "Could not get timer creation mutex : " + text(EBUSY) + "\n";
    EXPECT_EQ(2u, t::logs().size());
    EXPECT_TRUE(t::logged("Could not get timer creation mutex : %s\n", busy));
    starter.join();
    EXPECT_EQ(0, chronel_create(&h, count, nullptr));
    EXPECT_EQ(0, chronel_delete(&h));
}

TEST(Faults, SchedulingFollowsTheCallersRightsAndThePriorityAsked) {
    int lo = sched_get_priority_min(SCHED_FIFO), hi = sched_get_priority_max(SCHED_FIFO);
    const struct { int prio, policy, param; } cases[] = {
        {0, SCHED_OTHER, 0}, {lo, SCHED_FIFO, lo}, {hi - 1, SCHED_FIFO, hi - 1}, {hi, SCHED_OTHER, 0}, {lo - 1, SCHED_OTHER, 0}};
    for (auto c : cases) {
        chronel_init(c.prio, SIGRTMIN); // may be refused without the right to real-time scheduling
        bool root = getuid() == 0;
        EXPECT_EQ(root ? c.policy : SCHED_OTHER, fault::last_policy.load()) << c.prio;
        EXPECT_EQ(root ? c.param : 0, fault::last_priority.load()) << c.prio;
        chronel_shutdown();
    }
}

TEST(Faults, FailedCreatesLeaveTheHandleAndLeakNothing) {
    ASSERT_EQ(0, chronel_init_default());
    long before = fault::live_callocs();
    chronel h = {};
    fault::timer_create_err = EINVAL;
    errno = ENOENT; // the caller's own errno must not be what is reported
    EXPECT_EQ(-1, chronel_create(&h, count, nullptr));
    EXPECT_TRUE(t::logged("timer_create fail: %s\n", "timer_create fail: " + text(EINVAL) + "\n"));
    EXPECT_TRUE(t::logged("CHRONEL_CREATE_FAIL %s\n", "CHRONEL_CREATE_FAIL " + text(EINVAL) + "\n"));
    fault::timer_create_err = ENOMEM;
    EXPECT_EQ(-1, chronel_create_cs(&h, count, nullptr));
    EXPECT_TRUE(t::logged("timer_create fail: %m\n", "timer_create fail: " + text(ENOMEM) + "\n"));
    for (auto create : {chronel_create, chronel_create_cs}) {
        fault::calloc_err = ENOMEM;
        EXPECT_EQ(-1, create(&h, count, nullptr));
    }
    EXPECT_TRUE(t::logged("Not enough memory\n"));
    {
        NoSignals none;
        EXPECT_EQ(-1, chronel_create(&h, count, nullptr));
        EXPECT_EQ(-1, chronel_create_cs(&h, count, nullptr));
    }
    EXPECT_TRUE(t::logged("Sigqueue error %s\n", "Sigqueue error " + text(EAGAIN) + "\n"));
    EXPECT_TRUE(t::logged("timer_create fail: %m\n", "timer_create fail: " + text(EAGAIN) + "\n"));
    EXPECT_EQ(nullptr, h.ptr);
    EXPECT_EQ(0, h.magic);
    EXPECT_EQ(before, fault::live_callocs());
    EXPECT_EQ(0, t::system_timers());
}

TEST(Faults, FailedSetsAndDeletesAreReportedAndNothingIsLost) {
    ASSERT_EQ(0, chronel_init_default());
    long before = fault::live_callocs();
    chronel h = {};
    ASSERT_EQ(0, chronel_create(&h, count, nullptr));
    timespec one = t::ms(1);
    fault::timer_settime_err = EINVAL;
    EXPECT_EQ(-1, chronel_settime(&h, &one, &one));
    EXPECT_TRUE(t::logged("timer_settime error %s\n", "timer_settime error " + text(EINVAL) + "\n"));
    EXPECT_EQ(0, chronel_control(&h, true)); // the setting was stored all the same
    ASSERT_TRUE(t::wait_until([] { return calls > 3; }));
    {
        NoSignals none;
        EXPECT_EQ(-1, chronel_control(&h, false));
        chronel kept = h;
        EXPECT_EQ(0, chronel_delete(&h)); // cannot reach the thread: the record stays
        int now = calls;
        t::sleep_ms(30);
        EXPECT_EQ(now, calls.load());
        h = kept;
        h.magic = CHRONEL_MAGIC;
    }
    EXPECT_EQ(0, chronel_delete(&h));
    // timer_delete failing on the timer thread, then in place.
    ASSERT_EQ(0, chronel_create(&h, count, nullptr));
    fault::timer_delete_err = EINVAL;
    EXPECT_EQ(0, chronel_delete(&h));
    EXPECT_TRUE(t::logged("timer_delete fail: %s\n", "timer_delete fail: " + text(EINVAL) + "\n"));
    static chronel inner = {};
    ASSERT_EQ(0, chronel_create(&inner, count, nullptr));
    chronel outer = {};
    ASSERT_EQ(0, chronel_create(&outer, [](void *) {
        fault::timer_delete_err = EINVAL;
        chronel_delete(&inner);
        fault::timer_settime_err = EINVAL;
        timespec one = t::ms(1);
        chronel_settime(&inner, &one, nullptr);
    }, nullptr));
    ASSERT_EQ(0, chronel_settime(&outer, &one, nullptr));
    EXPECT_TRUE(t::wait_until([] { return t::logged("timer_delete %m\n", "timer_delete " + text(EINVAL) + "\n"); }));
    EXPECT_TRUE(t::wait_until([] { return t::logged("Invalid chronel\n"); })); // logged just after
    fault::timer_settime_err = 0; // never reached: the handle was already cleared
    EXPECT_EQ(0, chronel_delete(&outer));
    EXPECT_TRUE(t::wait_until([&] { return fault::live_callocs() == before; }));
}
