// Signal slots run out: RLIMIT_SIGPENDING lowered until the system says no.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "common.h"

namespace {

constexpr int kKept = 8;
std::atomic<int> fired[kKept];
void tick(void *arg) { fired[reinterpret_cast<intptr_t>(arg) % kKept]++; }
void *idx(intptr_t i) { return reinterpret_cast<void *>(i); }

// Every kept timer fires at least `n` more times.
bool kept_fire(int n) {
    int from[kKept];
    for (int i = 0; i < kKept; i++)
        from[i] = fired[i];
    return t::wait_until([&] {
        for (int i = 0; i < kKept; i++)
            if (fired[i] < from[i] + n)
                return false;
        return true;
    });
}

const std::string again = std::string(strerror(EAGAIN)) + "\n";

} // namespace

TEST(Exhaustion, CreatingUntilRefusedLeaksNothingKeepsTimersFiringAndRecovers) {
    ASSERT_EQ(0, chronel_init_default());
    const r::Held base = r::held();
    // qemu-ppc holds at most 32 timers per process: its own refusal then.
    const int room = t::under_qemu() ? 12 : 48, cap = t::under_qemu() ? 40 : 4096;
    std::vector<chronel> h(cap + kKept + 1);
    timespec period = t::ms(5);
    for (int i = 0; i < kKept; i++) {
        ASSERT_EQ(0, chronel_create(&h[i], tick, idx(i)));
        ASSERT_EQ(0, chronel_settime(&h[i], &period, &period));
    }
    const rlim_t limit = static_cast<rlim_t>(r::sigq_used() + room);
    int made = kKept, rc = 0;
    {
        r::SigLimit low(limit);
        t::clear_logs();
        while (made < cap + kKept && (rc = (made % 2 ? chronel_create_cs : chronel_create)(&h[made], tick, idx(made))) == 0)
            made++;
        ASSERT_EQ(-1, rc) << "still no refusal after " << made << " timers";
        EXPECT_EQ(nullptr, h[made].ptr);
        EXPECT_EQ(0, h[made].magic);
        // The refusal names the step that found no slot: the request's
        // signal, or the system timer on either path.
        EXPECT_TRUE(t::logged("Sigqueue error %s\n", "Sigqueue error " + again) ||
                    t::logged("CHRONEL_CREATE_FAIL %s\n", "CHRONEL_CREATE_FAIL " + again) ||
                    t::logged("timer_create fail: %m\n", "timer_create fail: " + again));
        EXPECT_EQ(r::plus(base, made), r::held()) << "the refused create left something behind";
        EXPECT_TRUE(kept_fire(3)) << "timers stopped firing at the limit";
        {
            r::SigLimit none(0); // a control request whose signal cannot be queued
            t::clear_logs();
            timespec far = {30, 0};
            EXPECT_EQ(-1, chronel_settime(&h[0], &far, nullptr));
            EXPECT_EQ(-1, chronel_control(&h[1], false));
            EXPECT_TRUE(t::logged("Sigqueue error %s\n", "Sigqueue error " + again));
            EXPECT_EQ(2u, t::logs().size());
            EXPECT_TRUE(kept_fire(3)) << "a refused request changed the timer";
        }
    }
    // Deleting frees slots for new timers. A delete from a thread needs a
    // slot for its own request, so it runs with the limit raised; the
    // refilled limit must then admit creates again.
    const int freed = (made - kKept) * 3 / 4;
    for (int i = made - freed; i < made; i++)
        ASSERT_EQ(0, chronel_delete(&h[i]));
    made -= freed;
    ASSERT_TRUE(r::back_to(r::plus(base, made))) << r::str(r::held());
    {
        r::SigLimit low(limit);
        EXPECT_TRUE(t::wait_until([&] { return chronel_create(&h[made], tick, idx(made)) == 0; }))
            << "creating does not work again after " << freed << " deletes";
        made++;
        EXPECT_TRUE(kept_fire(3));
    }
    for (int i = 0; i < made; i++)
        EXPECT_EQ(0, chronel_delete(&h[i]));
    EXPECT_TRUE(r::back_to(base)) << r::str(r::held()) << " instead of " << r::str(base);
    printf("%d timers made at a limit of %ld signal slots; %d freed and reused\n", made + freed - 1,
           static_cast<long>(limit), freed);
}
