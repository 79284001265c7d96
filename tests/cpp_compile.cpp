// SPDX-License-Identifier: MIT
// Compiled, not run, in every mode: what test_cpp.cpp (C++17 only) and the
// examples leave out of chronels.hpp. CHRONELS_WRONG_CLOCK must fail.
#include <chronels.hpp>

#include <csignal>

using namespace std::chrono_literals;

static void plain() {}

int use(std::error_code &ec) {
    chronels::runtime owner(0, SIGRTMIN, ec);
    chronels::timer a([n = 0]() mutable { return ++n; }, ec);
    chronels::system_timer b(plain, ec);
    a.arm(std::chrono::duration<double>(0.5), 2s, ec);
    a.arm_at(std::chrono::steady_clock::now() + 1ms, ec);
    b.arm_at(std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now()), 1min, ec);
#ifdef CHRONELS_WRONG_CLOCK
    a.arm_at(std::chrono::system_clock::now(), ec);
#endif
    a.pause(ec);
    a.resume(ec);
    a.disarm(ec);
    b.reset(ec);
    b = chronels::system_timer();
    owner = chronels::runtime(ec);
    const chronels::timer_times t = a.times(ec);
    return static_cast<int>(t.remaining.count()) + chronels::overrun(ec) + (a.native_handle() != nullptr);
}

#if defined(__cpp_exceptions)
void use(chronels::timer &a) {
    chronels::runtime owner(0, SIGRTMIN);
    a.arm(1ms);
    a.disarm();
}
#endif
