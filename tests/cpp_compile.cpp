// SPDX-License-Identifier: MIT
// Compiled, not run: every overload of chronels.hpp instantiated, with the
// throwing ones when exceptions are on. CHRONELS_WRONG_CLOCK must fail.
#include <chronels.hpp>

#include <csignal>

using namespace std::chrono_literals;

static void plain() {}
struct Counter {
    int n = 0;
    void operator()() { n++; }
};

int use(std::error_code &ec) {
    chronels::runtime owner(ec), chosen(0, SIGRTMIN, ec);
    chronels::timer a([n = 0]() mutable { return ++n; }, ec), b(plain, ec), empty;
    chronels::system_timer c(Counter{}, ec);
    a.arm(1ms, ec);
    a.arm(std::chrono::duration<double>(0.5), 2s, ec);
    a.arm_at(std::chrono::steady_clock::now() + 1ms, ec);
    c.arm_at(std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now()), 1min, ec);
#ifdef CHRONELS_WRONG_CLOCK
    a.arm_at(std::chrono::system_clock::now(), ec);
#endif
    a.pause(ec);
    a.resume(ec);
    a.disarm(ec);
    const chronels::timer_times t = a.times(ec);
    empty = std::move(b);
    b.reset(ec);
    owner = std::move(chosen);
    return static_cast<int>(t.remaining.count() + t.period.count()) + chronels::overrun(ec) +
           (a.native_handle() != nullptr) + static_cast<bool>(empty) + static_cast<bool>(owner);
}

#if defined(__cpp_exceptions)
int use() {
    chronels::runtime owner, chosen(0, SIGRTMIN);
    chronels::timer a([] {});
    chronels::system_timer b(Counter{});
    a.arm(1ms);
    a.arm(1ms, 1ms);
    a.arm_at(std::chrono::steady_clock::now());
    b.arm_at(std::chrono::system_clock::now(), 1h);
    a.pause();
    a.resume();
    a.disarm();
    const chronels::timer_times t = b.times();
    b.reset();
    return static_cast<int>(t.remaining.count()) + chronels::overrun();
}
#endif
