// SPDX-License-Identifier: MIT
// Compiled, not run, in every mode: the templates of chronels.hpp that
// test_cpp.cpp (C++17 only) and the examples leave out, instantiated.
// CHRONELS_WRONG_CLOCK must fail.
#include <chronels.hpp>

using namespace std::chrono_literals;

static void plain() {}

bool use(std::error_code &ec) {
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
#if defined(__cpp_exceptions)
    a.disarm();
#endif
    b.reset(ec);
    b = chronels::system_timer();
    return a.times(ec).remaining.count() > 0 && a.native_handle() != nullptr;
}
