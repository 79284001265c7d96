// SPDX-License-Identifier: MIT
// chronels.hpp over the library: who owns the callable through moves and
// through deletes from any thread, the errors a misuse reports, the owner
// of the timer thread, and the 1.1 functions as C++ sees them.
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
        std::atomic<const void *> at{nullptr}; // where the latest call found it
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
        s->at = this;
        s->calls++;
        s->body();
        s->in_call = false;
    }
};
} // namespace

TEST(Cpp, ALambdaFiresMovesKeepItsCallableAndMisusesAreReported) {
    chronels::runtime owner;
    std::error_code ec;
    std::atomic<int> n{0};
    chronels::timer lambda([&n, step = 2] { n += step; }, ec);
    ASSERT_FALSE(ec) << "create: " << ec.message();
    lambda.arm(1ms, 1ms);
    EXPECT_TRUE(t::wait_until([&] { return n >= 6; })) << "a capturing lambda fires";
    lambda.pause();
    const int paused = t::settle(n);
    t::sleep_ms(50);
    EXPECT_EQ(paused, n) << "paused";
    lambda.resume();
    EXPECT_TRUE(t::wait_until([&] { return n > paused; })) << "resumed";

    Probe::State st;
    chronels::timer a(Probe(st), ec), c;
    ASSERT_FALSE(ec) << "create: " << ec.message();
    chronels::timer b(std::move(a));
    c = std::move(b);
    EXPECT_FALSE(a) << "moved from by construction";
    EXPECT_FALSE(b) << "moved from by assignment";
    c.arm(1ms, 1ms, ec);
    ASSERT_FALSE(ec) << "arm: " << ec.message();
    ASSERT_TRUE(t::wait_until([&] { return st.calls >= 2; }));
    const void *at = st.at;
    chronels::timer d(std::move(c));
    const int before = st.calls;
    ASSERT_TRUE(t::wait_until([&] { return st.calls >= before + 2; }));
    EXPECT_EQ(at, st.at) << "the callable stays where it was made";

    a.arm(1ms, ec);
    EXPECT_EQ(err(std::errc::invalid_argument), ec) << "arming a moved-from timer";
    b.pause(ec);
    EXPECT_EQ(err(std::errc::invalid_argument), ec) << "pausing a moved-from timer";
    EXPECT_THROW(c.resume(), std::system_error) << "the throwing form";
    d.arm(-1ms, ec);
    EXPECT_EQ(err(std::errc::invalid_argument), ec) << "a negative span";
    d.arm(1ms, std::chrono::hours::max(), ec);
    EXPECT_EQ(err(std::errc::value_too_large), ec) << "a period beyond the kernel's";
    chronels::timer null(static_cast<void (*)()>(nullptr), ec);
    EXPECT_EQ(err(std::errc::invalid_argument), ec) << "a null function pointer";
    a = std::move(b);
    a.reset(ec);
    EXPECT_FALSE(ec) << "resetting an empty timer: " << ec.message();
    EXPECT_EQ(0, st.deaths) << "moves and empty timers destroy no callable";

    d = chronels::timer();
    EXPECT_EQ(1, st.deaths) << "assigning over a timer deletes it and its callable";
    const int last = st.calls;
    t::sleep_ms(20);
    EXPECT_EQ(last, st.calls) << "no callback after";
}

TEST(Cpp, ATimerDestroyedFromAnotherThreadOrItsOwnCallbackOutlivesNone) {
    chronels::runtime owner;
    // Another thread destroys it while its callback runs: the destructor
    // waits for that callback, and the callable dies after it, once.
    Probe::State st;
    std::atomic<bool> release{false}, returned{false};
    st.body = [&] { t::wait_until([&] { return release.load(); }); };
    std::optional<chronels::timer> slot;
    slot.emplace(Probe(st));
    slot->arm(1ms, 1ms);
    ASSERT_TRUE(t::wait_until([&] { return st.in_call.load(); }));
    std::thread other([&] {
        slot.reset();
        returned = true;
    });
    t::sleep_ms(50);
    EXPECT_FALSE(returned) << "the destructor returned while its callback ran";
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

TEST(Cpp, TheRuntimeOwnsTheTimerThread) {
    std::error_code ec;
    {
        chronels::runtime first(ec);
        ASSERT_FALSE(ec) << "init: " << ec.message();
        chronels::runtime owner(std::move(first));
        EXPECT_FALSE(first) << "moved from";
        { chronels::runtime gone(std::move(first)); } // owns nothing, ends nothing
        chronels::timer made([] {}, ec);
        EXPECT_FALSE(ec) << "create while the owner lives: " << ec.message();
    }
    chronels::timer late([] {}, ec);
    EXPECT_EQ(err(std::errc::no_such_process), ec) << "create once the owner is gone";
    EXPECT_FALSE(late) << "empty after a failed create";
    EXPECT_THROW(chronels::timer([] {}), std::system_error) << "the throwing constructor";
}

// Needs the 1.1 functions: chronel_gettime, chronel_settime_abs,
// chronel_overrun, and errno for every failure.
TEST(Cpp, TimesDeadlinesMergedExpiriesAndErrnoOfVersion11) {
    std::error_code ec;
    chronels::runtime owner;
    std::atomic<int> n{0};
    chronels::timer tm([&n] { n++; });
    tm.arm(1h, 2h);
    const chronels::timer_times set = tm.times();
    EXPECT_EQ(2h, set.period) << "period";
    EXPECT_TRUE(set.remaining > 59min && set.remaining <= 1h) << "remaining " << set.remaining.count();
    tm.pause();
    EXPECT_EQ(0ns, tm.times().remaining) << "paused";
    tm.arm_at(std::chrono::steady_clock::now() + 5ms);
    EXPECT_TRUE(t::wait_until([&] { return n == 1; })) << "a steady deadline";
    (void)chronels::timer().times(ec);
    EXPECT_EQ(err(std::errc::invalid_argument), ec) << "times of an empty timer";
    (void)chronels::overrun(ec);
    EXPECT_EQ(err(std::errc::operation_not_permitted), ec) << "overrun outside a callback";

    // In a callback: expiries merged while it was held, a system_timer
    // made and armed at a deadline, a steady one refused.
    std::atomic<int> calls{0}, merged{-1}, inner_calls{0};
    std::error_code merged_ec, made, refused;
    std::optional<chronels::system_timer> inner;
    chronels::timer outer([&] {
        if (calls++ == 0) {
            inner.emplace([&] { inner_calls++; }, made);
            if (!made)
                inner->arm_at(std::chrono::system_clock::now() + 1ms, made);
            chronels::timer steady([] {}, refused);
            t::sleep_ms(20);
        } else if (calls == 2) {
            merged = chronels::overrun(merged_ec);
        }
    });
    outer.arm(1ms, 1ms);
    ASSERT_TRUE(t::wait_until([&] { return calls >= 2 && inner_calls == 1; }));
    outer.reset();
    EXPECT_FALSE(made) << "a system_timer made in a callback: " << made.message();
    EXPECT_EQ(err(std::errc::operation_not_permitted), refused) << "a steady timer made in a callback";
    EXPECT_FALSE(merged_ec) << "overrun in a callback: " << merged_ec.message();
    EXPECT_GT(merged, 0) << "expiries merged while the callback was held";
}
