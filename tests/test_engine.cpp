// The timer thread: start, signal plan, dispatch, requests, and its end.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "support.h"

namespace {

std::atomic<pid_t> cb_tid{0};
std::atomic<int> calls{0};
std::atomic<bool> hold{false};

void count(void *) {
    cb_tid = t::gettid_();
    calls++;
}

// Parks the timer thread until the test lets it go.
void park(void *) {
    cb_tid = t::gettid_();
    calls++;
    while (hold)
        t::sleep_ms(1);
}

bool blocked(int sig) {
    sigset_t set;
    pthread_sigmask(SIG_BLOCK, nullptr, &set);
    return sigismember(&set, sig) == 1;
}

// The expiry signal of the process's newest POSIX timer.
int timer_signal() {
    std::ifstream f("/proc/self/timers");
    std::string word;
    int sig = -1;
    while (f >> word)
        if (word == "signal:")
            f >> sig;
    return sig;
}

// Arms `h` to fire once, soon, with `fn`.
void fire_once(chronel *h, void (*fn)(void *), void *arg = nullptr) {
    ASSERT_EQ(0, chronel_create(h, fn, arg));
    timespec one = t::ms(1);
    ASSERT_EQ(0, chronel_settime(h, &one, nullptr));
}

} // namespace

TEST(Engine, InitChoosesTheSignalBaseAndBlocksItInTheCaller) {
    const struct { int asked, base; } cases[] = {
        {SIGRTMIN - 1, SIGRTMIN}, {SIGRTMAX - 1, SIGRTMIN}, {SIGRTMIN + 3, SIGRTMIN + 3}, {0, SIGRTMIN}};
    for (auto c : cases) {
        std::thread([&] {
            ASSERT_EQ(0, chronel_init(0, c.asked));
            for (int s = c.base; s < c.base + 3; s++)
                EXPECT_TRUE(blocked(s)) << c.asked << " " << s;
            EXPECT_FALSE(blocked(c.base + 3)) << c.asked;
            chronel h = {};
            ASSERT_EQ(0, chronel_create(&h, count, nullptr));
            if (!t::under_qemu()) { // the emulator lists the host's number for the guest's signal
                EXPECT_EQ(c.base + 2, timer_signal()) << c.asked;
            }
            EXPECT_EQ(0, chronel_delete(&h));
            chronel_shutdown();
        }).join();
    }
    // The last three real-time signals, unless valgrind keeps the last one.
    if (!t::under_valgrind() && !t::under_qemu()) {
        ASSERT_EQ(0, chronel_init(0, SIGRTMAX - 2));
        EXPECT_TRUE(blocked(SIGRTMAX));
        chronel h = {};
        fire_once(&h, count);
        EXPECT_TRUE(t::wait_until([] { return calls == 1; }));
        EXPECT_EQ(SIGRTMAX, timer_signal());
        chronel_delete(&h);
    }
}

TEST(Engine, ShutdownRefusesWithoutAThreadAndFromACallback) {
    chronel_shutdown();
    EXPECT_TRUE(t::logged("Timer thread does not exist\n"));
    ASSERT_EQ(0, chronel_init_default());
    chronel h = {};
    ASSERT_EQ(0, chronel_create(&h, [](void *) { chronel_shutdown(); calls++; }, nullptr));
    timespec one = t::ms(1);
    ASSERT_EQ(0, chronel_settime(&h, &one, &one));
    ASSERT_TRUE(t::wait_until([] { return calls >= 3; }));
    EXPECT_TRUE(t::logged("You can't do that!!\n"));
    EXPECT_EQ(0, chronel_delete(&h));
    chronel_shutdown();
    t::clear_logs();
    chronel_shutdown();
    EXPECT_TRUE(t::logged("Timer thread does not exist\n"));
    // A new thread starts after a shutdown and serves.
    ASSERT_EQ(0, chronel_init_default());
    calls = 0;
    fire_once(&h, count);
    EXPECT_TRUE(t::wait_until([] { return calls == 1; }));
    EXPECT_EQ(0, chronel_delete(&h));
}

TEST(Engine, NullSignalValuesAreLoggedAndPassedOver) {
    ASSERT_EQ(0, chronel_init_default());
    chronel h = {};
    fire_once(&h, count); // learn the timer thread's id
    ASSERT_TRUE(t::wait_until([] { return calls == 1; }));
    union sigval none;
    none.sival_ptr = nullptr;
    ASSERT_EQ(0, sigqueue(getpid(), SIGRTMIN + 2, none));
    ASSERT_EQ(0, pthread_sigqueue(pthread_self(), SIGRTMIN + 1, none)); // blocked here: stays ours
    ASSERT_EQ(0, sigqueue(getpid(), SIGRTMIN + 1, none));
    EXPECT_TRUE(t::wait_until([] { return t::logged("Got signal %d without any sival_ptr\n",
                                                    "Got signal " + std::to_string(SIGRTMIN + 1) + " without any sival_ptr\n"); }));
    EXPECT_TRUE(t::wait_until([] { return t::logged("Got signal %d without any sival_ptr\n",
                                                    "Got signal " + std::to_string(SIGRTMIN + 2) + " without any sival_ptr\n"); }));
    timespec one = t::ms(1);
    ASSERT_EQ(0, chronel_settime(&h, &one, nullptr));
    EXPECT_TRUE(t::wait_until([] { return calls == 2; }));
    chronel_delete(&h);
    siginfo_t si;
    sigset_t ctrl;
    sigemptyset(&ctrl);
    sigaddset(&ctrl, SIGRTMIN + 1);
    EXPECT_EQ(SIGRTMIN + 1, sigwaitinfo(&ctrl, &si)); // still here: not taken by the timer thread
}

TEST(Engine, OverflowEndsTheThreadAndLaterRequestsAreRefusedWithoutSignalling) {
    ASSERT_EQ(0, chronel_init_default());
    chronel h = {};
    fire_once(&h, count);
    ASSERT_TRUE(t::wait_until([] { return calls == 1; }));
    pid_t old = cb_tid;
    kill(getpid(), SIGIO);
    std::string overflow = "Timer queue overflow for pid " + std::to_string(old) + "\n";
    ASSERT_TRUE(t::wait_until([&] { return t::logged("Timer queue overflow for pid %d\n", overflow); }));
    ASSERT_TRUE(t::wait_until([&] { return kill(old, 0) != 0 || access(("/proc/self/task/" + std::to_string(old)).c_str(), F_OK) != 0; }));
    timespec one = t::ms(1);
    EXPECT_EQ(-1, chronel_settime(&h, &one, nullptr));
    EXPECT_EQ(-1, chronel_control(&h, true));
    chronel n = {};
    EXPECT_EQ(-1, chronel_create(&n, count, nullptr));
    EXPECT_TRUE(t::logged("Sigqueue error %s\n", "Sigqueue error No such process\n"));
    t::clear_logs();
    chronel_shutdown();
    EXPECT_TRUE(t::logged("Timer thread does not exist\n"));
    // A new thread takes over and the surviving timer works with it.
    ASSERT_EQ(0, chronel_init_default());
    EXPECT_EQ(0, chronel_settime(&h, &one, nullptr));
    EXPECT_TRUE(t::wait_until([] { return calls == 2; }));
    EXPECT_NE(old, cb_tid.load());
    EXPECT_EQ(0, chronel_delete(&h));
}

TEST(Engine, ANewThreadServesWhileTheOldOneIsStillInACallback) {
    ASSERT_EQ(0, chronel_init_default());
    hold = true;
    chronel parked = {};
    fire_once(&parked, park);
    ASSERT_TRUE(t::wait_until([] { return calls == 1; }));
    pid_t old = cb_tid;
    chronel_shutdown();
    ASSERT_EQ(0, chronel_init_default());
    chronel h = {};
    fire_once(&h, count);
    ASSERT_TRUE(t::wait_until([] { return calls == 2; }));
    EXPECT_NE(old, cb_tid.load());
    hold = false;
    ASSERT_TRUE(t::wait_until([&] { return access(("/proc/self/task/" + std::to_string(old)).c_str(), F_OK) != 0; }));
    timespec one = t::ms(1);
    EXPECT_EQ(0, chronel_settime(&h, &one, nullptr));
    EXPECT_TRUE(t::wait_until([] { return calls == 3; }));
    EXPECT_EQ(0, chronel_delete(&h));
    EXPECT_EQ(0, chronel_delete(&parked));
}
