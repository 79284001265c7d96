// A call that never returns, for expect_watchdog.sh: the harness's watchdog
// must end the run and print the stack of every thread.
#include <gtest/gtest.h>

#include "../support.h"

namespace {
std::atomic<bool> inside{false};
void hang_forever(void *) {
    inside = true;
    for (;;)
        t::sleep_ms(100);
}
} // namespace

TEST(Watchdog, AHungCallEndsTheRun) {
    if (getenv("CHRONELS_PROBE_HANG") == nullptr)
        GTEST_SKIP() << "run by expect_watchdog.sh";
    ASSERT_EQ(0, chronel_init_default());
    chronel stuck = {}, waiting = {};
    ASSERT_EQ(0, chronel_create(&stuck, hang_forever, nullptr));
    ASSERT_EQ(0, chronel_create(&waiting, hang_forever, nullptr));
    timespec one = t::ms(1);
    ASSERT_EQ(0, chronel_settime(&stuck, &one, nullptr));
    ASSERT_TRUE(t::wait_until([] { return inside.load(); }));
    chronel_settime(&waiting, &one, nullptr); // waits for the timer thread for ever
    ADD_FAILURE() << "the call returned";
}
