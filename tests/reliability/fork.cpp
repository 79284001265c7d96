// After fork the child has no timer thread: its requests are refused and
// never reach the parent, until its own chronel_init.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/wait.h>

#include "common.h"

namespace {

std::atomic<int> ticks{0}, once{0}, in_child{0};
std::atomic<pid_t> cb_pid{0}, cb_tid{0};

void child(chronel *periodic, chronel *fired) {
    const std::string refused = std::string("Sigqueue error ") + strerror(ESRCH) + "\n";
    timespec one = t::ms(1);
    t::clear_logs();
    EXPECT_EQ(-1, chronel_settime(fired, &one, nullptr));
    EXPECT_EQ(-1, chronel_control(fired, true));
    EXPECT_EQ(-1, chronel_control(periodic, false));
    chronel fresh = {};
    EXPECT_EQ(-1, chronel_create(&fresh, [](void *) {}, nullptr));
    EXPECT_EQ(nullptr, fresh.ptr);
    EXPECT_EQ(4u, t::logs().size());
    for (const t::Entry &e : t::logs())
        EXPECT_TRUE(r::is(e, "Sigqueue error %s\n", refused)) << e.text;
    t::clear_logs();
    chronel_shutdown();
    EXPECT_TRUE(t::logged("Timer thread does not exist\n"));
    EXPECT_EQ(1u, t::logs().size());
    EXPECT_EQ(0, t::system_timers()) << "timers are not inherited";
    // Its own thread, then, serving its own timers.
    ASSERT_EQ(0, chronel_init_default());
    ASSERT_EQ(0, chronel_create(&fresh, [](void *) { cb_pid = getpid(); cb_tid = t::gettid_(); in_child++; }, nullptr));
    ASSERT_EQ(0, chronel_settime(&fresh, &one, nullptr));
    EXPECT_TRUE(t::wait_until([] { return in_child == 1; }));
    EXPECT_EQ(getpid(), cb_pid.load());
    EXPECT_NE(t::gettid_(), cb_tid.load());
    EXPECT_EQ(0, chronel_delete(&fresh));
    EXPECT_EQ(0, t::system_timers());
}

} // namespace

TEST(Fork, TheChildIsRefusedWithoutSignallingTheParentThenStartsItsOwnThread) {
    ASSERT_EQ(0, chronel_init_default());
    chronel periodic = {}, fired = {};
    timespec one = t::ms(1), two = t::ms(2);
    ASSERT_EQ(0, chronel_create(&periodic, [](void *) { ticks++; }, nullptr));
    ASSERT_EQ(0, chronel_settime(&periodic, &two, &two));
    ASSERT_EQ(0, chronel_create(&fired, [](void *) { once++; }, nullptr));
    ASSERT_EQ(0, chronel_settime(&fired, &one, nullptr));
    ASSERT_TRUE(t::wait_until([] { return once == 1 && ticks > 3; }));
    t::clear_logs();
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        child(&periodic, &fired);
        fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    ASSERT_GT(pid, 0);
    // The child has no watchdog thread: a hang there is caught here.
    int status = 0;
    if (!t::wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "the child hung";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    // A request of the child that reached this process would have found
    // the same address here, and re-armed the one-shot timer.
    int now = ticks;
    ASSERT_TRUE(t::wait_until([&] { return ticks > now + 10; }));
    EXPECT_EQ(1, once.load());
    EXPECT_TRUE(t::logs().empty()) << t::logs()[0].text;
    EXPECT_EQ(0, chronel_delete(&periodic));
    EXPECT_EQ(0, chronel_delete(&fired));
    EXPECT_EQ(0, t::system_timers());
}
