// SPDX-License-Identifier: MIT
// chronels.hpp over the library: who owns the timer thread and, through
// moves and deletes from any thread, the callable; misuses; the 1.1 calls.
#include <chronels.hpp>

#include <optional>

#include "support.h"

using namespace std::chrono_literals;

namespace {
std::error_code err(std::errc e) { return std::make_error_code(e); }

// A callable that counts its calls and its deaths: dying while a call is
// under way means it was freed under its own callback.
struct Probe {
    struct State {
        std::atomic<int> calls{0}, deaths{0}, deaths_in_call{0};
        std::atomic<bool> in_call{false};
        std::function<void()> body = [] {};
    };
    State *s;
    explicit Probe(State &st) : s(&st) {}
    Probe(Probe &&o) noexcept : s(std::exchange(o.s, nullptr)) {} // the moved-from one is not counted
    ~Probe() {
        if (s != nullptr)
            s->deaths_in_call += s->in_call, s->deaths++;
    }
    void operator()() {
        s->in_call = true;
        s->calls++;
        s->body();
        s->in_call = false;
    }
};
} // namespace

TEST(Cpp, TheRuntimeOwnsTheThreadMovesKeepTheCallableAndMisusesAreReported) {
    std::error_code ec;
    {
        chronels::runtime first(ec);
        ASSERT_FALSE(ec) << "init: " << ec.message();
        chronels::runtime owner(std::move(first));
        EXPECT_FALSE(first) << "moved from";
        { chronels::runtime gone(std::move(first)); } // owns nothing, ends nothing
        Probe::State st;
        chronels::timer a(Probe(st), ec), c;
        ASSERT_FALSE(ec) << "create while the owner lives: " << ec.message();
        chronels::timer b(std::move(a));
        c = std::move(b);
        EXPECT_FALSE(a) << "moved from by construction";
        EXPECT_FALSE(b) << "moved from by assignment";
        c.arm(1ms, 1ms);
        chronels::timer d(std::move(c));
        ASSERT_TRUE(t::wait_until([&] { return st.calls >= 2; })) << "fires through the moves";

        a.arm(1ms, ec);
        EXPECT_EQ(err(std::errc::invalid_argument), ec) << "arming a moved-from timer";
        EXPECT_THROW(c.resume(), std::system_error) << "resuming a moved-from timer";
        d.arm(1ms, std::chrono::hours::max(), ec);
        EXPECT_EQ(err(std::errc::value_too_large), ec) << "a period beyond the kernel's";
        chronels::timer null(static_cast<void (*)()>(nullptr), ec);
        EXPECT_EQ(err(std::errc::invalid_argument), ec) << "a null function pointer";
        a.reset(ec);
        EXPECT_FALSE(ec) << "resetting an empty timer: " << ec.message();
        EXPECT_EQ(0, st.deaths) << "moves and empty timers destroy no callable";
        d = chronels::timer();
        EXPECT_EQ(1, st.deaths) << "assigning over a timer deletes it and its callable";
    }
    chronels::timer late([] {}, ec);
    EXPECT_EQ(err(std::errc::no_such_process), ec) << "create once the owner is gone";
    EXPECT_THROW(chronels::timer([] {}), std::system_error) << "the throwing constructor";
}

TEST(Cpp, ATimerDestroyedFromAnotherThreadOrItsOwnCallbackOutlivesNone) {
    chronels::runtime owner;
    // Destroyed by another thread during its callback: waits for it, frees once.
    Probe::State st;
    std::atomic<bool> release{false};
    st.body = [&] { t::wait_until([&] { return release.load(); }); };
    std::optional<chronels::timer> slot(std::in_place, Probe(st));
    slot->arm(1ms, 1ms);
    ASSERT_TRUE(t::wait_until([&] { return st.in_call.load(); }));
    std::thread other([&] {
        slot.reset();
        EXPECT_FALSE(st.in_call) << "the destructor returned while its callback ran";
    });
    t::sleep_ms(50);
    release = true;
    other.join();
    const int calls = st.calls;
    t::sleep_ms(20);
    EXPECT_EQ(calls, st.calls) << "a callback after the destructor returned";
    EXPECT_EQ(1, st.deaths) << "callable destroyed once";
    EXPECT_EQ(0, st.deaths_in_call) << "callable destroyed under its callback";

    // Its own callback destroys it: the callable lives until that returns.
    Probe::State own;
    own.body = [&] { slot.reset(); };
    slot.emplace(Probe(own));
    slot->arm(1ms, 1ms);
    ASSERT_TRUE(t::wait_until([&] { return own.deaths == 1; })) << "callable destroyed after its own callback";
    t::sleep_ms(20);
    EXPECT_EQ(1, own.calls) << "callbacks after the delete in the first";
    EXPECT_EQ(0, own.deaths_in_call) << "callable destroyed under its callback";
}

TEST(Cpp, TimesDeadlinesOnEitherClockAndMergedExpiries) {
    std::error_code ec;
    chronels::runtime owner;
    std::atomic<int> n{0}, m{0}, merged{-1};
    // The second call holds the thread while the third's expiries pile up.
    chronels::timer tm([&] {
        if (++n == 2)
            t::sleep_ms(20);
        else if (n == 3)
            merged = chronels::overrun(ec);
    });
    tm.arm(1h, 2h);
    const chronels::timer_times set = tm.times();
    EXPECT_EQ(2h, set.period) << "period";
    EXPECT_TRUE(set.remaining > 59min && set.remaining <= 1h) << "remaining " << set.remaining.count();
    tm.pause();
    EXPECT_EQ(0ns, tm.times().remaining) << "paused";
    tm.arm_at(std::chrono::steady_clock::now() + 5ms);
    EXPECT_TRUE(t::wait_until([&] { return n == 1; })) << "a steady deadline";
    chronels::system_timer sys([&m] { m++; });
    sys.arm_at(std::chrono::system_clock::now() + 5ms, 1h);
    EXPECT_TRUE(t::wait_until([&] { return m == 1; })) << "a system deadline";
    (void)chronels::timer().times(ec);
    EXPECT_EQ(err(std::errc::invalid_argument), ec) << "times of an empty timer";
    EXPECT_THROW((void)chronels::overrun(), std::system_error) << "overrun outside a callback";

    tm.arm(1ms, 1ms);
    ASSERT_TRUE(t::wait_until([&] { return n >= 3; }));
    tm.reset();
    EXPECT_FALSE(ec) << "overrun in a callback: " << ec.message();
    EXPECT_GT(merged, 0) << "expiries merged while a callback was held";
}
