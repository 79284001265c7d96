// Thousands of live timers at once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "common.h"

namespace {

std::unique_ptr<std::atomic<int>[]> hits;
std::atomic<pid_t> timer_tid{0};
std::atomic<int> total{0}, wrong_thread{0};

void count(void *arg) {
    pid_t self = t::gettid_(), expect = 0;
    if (!timer_tid.compare_exchange_strong(expect, self) && expect != self)
        wrong_thread++;
    hits[reinterpret_cast<intptr_t>(arg)]++;
    total++;
}

// Runs fn(i) for every i < n, split over two threads, as two users would.
void on_two_threads(int n, const std::function<void(int)> &fn) {
    std::thread a([&] { for (int i = 0; i < n; i += 2) fn(i); });
    for (int i = 1; i < n; i += 2)
        fn(i);
    a.join();
}

// As many timers as asked, or as the signal-slot limit leaves room for.
int sized(int want) {
    rlimit l;
    getrlimit(RLIMIT_SIGPENDING, &l);
    long room = l.rlim_cur == RLIM_INFINITY ? want : static_cast<long>(l.rlim_cur) - r::sigq_used() - 200;
    if (room < want)
        printf("RLIMIT_SIGPENDING leaves room for %ld timers, not %d\n", room, want);
    return static_cast<int>(room < want ? room : want);
}

struct Many : ::testing::Test {
    r::Held base;
    void SetUp() override {
        ASSERT_EQ(0, chronel_init_default());
        timer_tid = 0;
        total = 0;
        on_two_threads(2, [](int) {}); // thread set-up allocations before the count
        base = r::held();
    }
};

} // namespace

TEST_F(Many, TenThousandStaggeredOneShotsFireOnceEachOnTheTimerThread) {
    // qemu-ppc: at most 32 timers per process; valgrind: slow hand-overs.
    const int n = sized(t::under_qemu() ? 24 : t::under_valgrind() ? 2000 : 10000);
    ASSERT_GT(n, 0);
    hits.reset(new std::atomic<int>[n]());
    std::vector<chronel> h(static_cast<size_t>(n));
    on_two_threads(n, [&](int i) {
        ASSERT_EQ(0, chronel_create(&h[i], count, reinterpret_cast<void *>(static_cast<intptr_t>(i))));
    });
    EXPECT_EQ(r::plus(base, n), r::held());
    on_two_threads(n, [&](int i) {
        timespec at = {0, 200000000L + i * 50000L % 800000000L}; // 0.2 s to 1 s out
        ASSERT_EQ(0, chronel_settime(&h[i], &at, nullptr));
    });
    EXPECT_TRUE(t::wait_until([&] { return total >= n; }, 60)) << total << " of " << n << " fired";
    t::sleep_ms(200); // time for a second firing, if any
    int missed = 0, twice = 0;
    for (int i = 0; i < n; i++) {
        missed += hits[i] == 0;
        twice += hits[i] > 1;
    }
    EXPECT_EQ(0, missed);
    EXPECT_EQ(0, twice);
    EXPECT_EQ(0, wrong_thread.load());
    EXPECT_NE(t::gettid_(), timer_tid.load());
    on_two_threads(n, [&](int i) { ASSERT_EQ(0, chronel_delete(&h[i])); });
    EXPECT_TRUE(r::back_to(base)) << r::str(r::held());
    printf("%d live timers, each fired once\n", n);
}

TEST_F(Many, AThousandPeriodicTimersKeepTheirRates) {
    const int n = sized(t::under_qemu() ? 24 : 1000);
    hits.reset(new std::atomic<int>[n]());
    std::vector<chronel> h(static_cast<size_t>(n));
    std::vector<std::chrono::steady_clock::time_point> armed(n), stopped(n);
    const long periods_ms[] = {5, 10, 20, 50};
    on_two_threads(n, [&](int i) {
        ASSERT_EQ(0, chronel_create(&h[i], count, reinterpret_cast<void *>(static_cast<intptr_t>(i))));
        timespec p = t::ms(periods_ms[i % 4]);
        armed[i] = std::chrono::steady_clock::now();
        ASSERT_EQ(0, chronel_settime(&h[i], &p, &p));
    });
    t::sleep_ms(3000);
    on_two_threads(n, [&](int i) {
        ASSERT_EQ(0, chronel_delete(&h[i]));
        stopped[i] = std::chrono::steady_clock::now();
    });
    // A periodic timer fires at most once per period (expiries that fall
    // while its signal is pending merge); a loaded or instrumented run, or an
    // emulated machine (CHRONELS_SLOW, set by the guest runs), may merge
    // many, so the floor is loose.
    const bool slow = t::under_sanitizer() || t::under_valgrind() || t::under_qemu() || getenv("CHRONELS_SLOW") != nullptr;
    int low = 0, high = 0;
    for (int i = 0; i < n; i++) {
        double periods = std::chrono::duration<double, std::milli>(stopped[i] - armed[i]).count() / periods_ms[i % 4];
        low += hits[i] < (slow ? 1 : periods / 4);
        high += hits[i] > periods + 1;
    }
    EXPECT_EQ(0, low) << "timers far below their rate";
    EXPECT_EQ(0, high) << "timers above their rate";
    EXPECT_EQ(0, wrong_thread.load());
    EXPECT_TRUE(r::back_to(base)) << r::str(r::held());
    printf("%d periodic timers, %d callbacks in 3 s\n", n, total.load());
}
