// SPDX-License-Identifier: MIT
// chronels.hpp - the C++ interface of libchronels, header-only, C++17 and
// later. It is written over the C functions of chronels.h alone, so the
// library exports no C++ symbol and any C++ compiler or standard library
// can use it. Needs libchronels 1.1.
//
//   chronels::runtime       chronel_init (or _default) when made, chronel_shutdown
//                           when destroyed. One at a time: a second init
//                           replaces the timer thread, and either owner's
//                           end stops the one serving.
//   chronels::timer         a timer on std::chrono::steady_clock
//                           (CLOCK_MONOTONIC), made by chronel_create: from
//                           any thread but the timer thread.
//   chronels::system_timer  a timer on std::chrono::system_clock
//                           (CLOCK_REALTIME), made by chronel_create_cs: from
//                           anywhere, callbacks included.
//
// A timer owns its callable (anything callable as f(): a lambda with
// captures, a function pointer, a function object), moved once into one
// allocation at a fixed address together with the C handle; no expiry
// allocates. It is move-only; a default-made or moved-from timer is empty:
// its operations report EINVAL, its destruction does nothing. Destroying a
// timer (or reset, or assigning over it) deletes it, and no callback of it
// runs afterwards. On another thread the destruction waits for a callback
// in progress to end; in the timer's own callback it returns at once, and
// the callable is destroyed when that callback returns; after the runtime
// has ended, it waits for the ending thread's callback too. A delete that
// fails leaves the callable alive rather than free it under a callback.
//
//   arm(first, period)       std::chrono durations, relative to now
//   arm_at(deadline, period) a time point of the timer's own clock; one of
//                            another clock does not compile. A deadline
//                            already past fires at once
//   disarm(), pause(), resume()   resume re-applies the last setting
//   times()                  {remaining, period}, zero when not armed
//   chronels::overrun()      in a callback: the expiries merged into it
//
// As in C, a zero first expiry or deadline disarms and a zero period fires
// once. Negative times are refused (EINVAL), and so are spans beyond the
// kernel's timers, about 291 years (EOVERFLOW); steady_clock counts from
// CLOCK_MONOTONIC's origin and system_clock from CLOCK_REALTIME's, as with
// libstdc++ and libc++ on Linux.
//
// Errors follow std::filesystem: each operation has a noexcept overload
// taking a trailing std::error_code&, which it clears or sets from errno
// (std::generic_category), and, when exceptions are on (__cpp_exceptions),
// one without it that throws std::system_error. Under -fno-exceptions only
// the std::error_code overloads exist.
//
// Callbacks run on the timer thread, one at a time, as in C. They are
// called through a noexcept function: an exception escaping a callable
// calls std::terminate. Catch inside the callable what it may throw. The
// same holds for a throwing overload called in a callback: use the
// std::error_code ones there. Operations on one timer must not overlap.
//
// Example (also under -fno-exceptions):
//
//   #include <chronels.hpp>
//   #include <atomic>
//   #include <cstdio>
//   #include <thread>
//
//   int main() {
//       using namespace std::chrono_literals;
//       std::error_code ec;
//       chronels::runtime timers(ec); // before other threads start
//       std::atomic<int> ticks{0};
//       chronels::timer tick([&ticks] { ticks++; }, ec);
//       if (!ec)
//           tick.arm(100ms, 100ms, ec);
//       if (ec) {
//           std::fprintf(stderr, "chronels: %s\n", ec.message().c_str());
//           return 1;
//       }
//       std::this_thread::sleep_for(1s);
//       std::printf("%d ticks\n", ticks.load());
//   } // tick is deleted, then the timer thread told to end
//
#ifndef CHRONELS_HPP
#define CHRONELS_HPP

#if __cplusplus < 201703L
#error "chronels.hpp needs C++17 or later; chronels.h serves C++11"
#endif

#include "chronels.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <new>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

namespace chronels {

// What times() reports: both zero when the timer is not armed.
struct timer_times {
    std::chrono::nanoseconds remaining;
    std::chrono::nanoseconds period;
};

namespace detail {

inline std::error_code error(int e) noexcept { return std::error_code(e, std::generic_category()); }
// The outcome of a C call. A -1 that left errno at 0 still reports a
// failure, as EIO, rather than an error_code that reads as success.
inline std::error_code check(int rc) noexcept {
    const int e = errno;
    return rc == 0 ? std::error_code() : error(e != 0 ? e : EIO);
}

#if defined(__cpp_exceptions)
inline void throw_if(const std::error_code &ec, const char *what) {
    if (ec)
        throw std::system_error(ec, what);
}
#endif

// Spans up to what the kernel's timers hold (2^63 ns, kept below with a
// margin that double rounding cannot cross), in whatever rep and period.
template <class Rep, class Period>
std::error_code to_timespec(std::chrono::duration<Rep, Period> d, timespec &ts) noexcept {
    const double s = std::chrono::duration<double>(d).count();
    if (!(s >= 0)) // negative, or not a number
        return error(EINVAL);
    if (s >= 9.2e9)
        return error(EOVERFLOW);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<decltype(ts.tv_nsec)>(ns % 1000000000);
    return {};
}
inline std::chrono::nanoseconds from_timespec(const timespec &ts) noexcept {
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// The callable's home, with the handle: its address is the callback's
// argument, so neither may move while the timer exists.
struct holder {
    chronel handle{};
    // The thread running its callback, none between callbacks: a delete on
    // that thread comes from the callback itself, and leaves the callable
    // to the trampoline. An atomic, not a thread_local, so that it holds
    // across shared objects that each have their own copy of this header.
    std::atomic<std::thread::id> runner{};
    bool doomed = false; // deleted from its own callback: freed when that returns
    holder() = default;
    holder(const holder &) = delete;
    holder &operator=(const holder &) = delete;
    virtual ~holder() = default;
    bool in_own_callback() const noexcept { return runner.load(std::memory_order_relaxed) == std::this_thread::get_id(); }
};

template <class F> struct holder_of final : holder {
    F f;
    template <class G> explicit holder_of(G &&g) : f(std::forward<G>(g)) {}
    static void trampoline(void *arg) noexcept {
        auto *self = static_cast<holder_of *>(arg);
        self->runner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        static_cast<void>(std::invoke(self->f));
        self->runner.store(std::thread::id(), std::memory_order_relaxed);
        if (self->doomed)
            delete self;
    }
};

} // namespace detail

// A timer on Clock: std::chrono::steady_clock or std::chrono::system_clock.
template <class Clock> class basic_timer {
    static constexpr bool steady = std::is_same_v<Clock, std::chrono::steady_clock>;
    static_assert(steady || std::is_same_v<Clock, std::chrono::system_clock>,
                  "chronels: a timer runs on std::chrono::steady_clock or std::chrono::system_clock");
    template <class F>
    using if_callable = std::enable_if_t<!std::is_same_v<std::decay_t<F>, basic_timer> &&
                                             std::is_invocable_v<std::decay_t<F> &>, int>;

  public:
    using clock = Clock;

    basic_timer() noexcept = default;
    template <class F, if_callable<F> = 0>
    basic_timer(F &&f, std::error_code &ec) noexcept(std::is_nothrow_constructible_v<std::decay_t<F>, F>) {
        ec = start(std::forward<F>(f));
    }
    basic_timer(basic_timer &&other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    basic_timer &operator=(basic_timer &&other) noexcept {
        if (this != &other) {
            std::error_code ignored; // as in the destructor
            reset(ignored);
            h_ = std::exchange(other.h_, nullptr);
        }
        return *this;
    }
    ~basic_timer() {
        std::error_code ignored;
        reset(ignored);
    }

    // Holds a timer.
    explicit operator bool() const noexcept { return h_ != nullptr; }
    // The C handle, for chronels.h; null when empty. Delete it only through this object.
    [[nodiscard]] chronel *native_handle() const noexcept { return h_ != nullptr ? &h_->handle : nullptr; }

    template <class R1, class P1, class R2, class P2>
    void arm(std::chrono::duration<R1, P1> first, std::chrono::duration<R2, P2> period, std::error_code &ec) noexcept {
        timespec f, p;
        if (!(ec = usable()) && !(ec = detail::to_timespec(first, f)) && !(ec = detail::to_timespec(period, p)))
            ec = detail::check(chronel_settime(&h_->handle, &f, &p));
    }
    template <class R1, class P1> void arm(std::chrono::duration<R1, P1> first, std::error_code &ec) noexcept {
        arm(first, std::chrono::nanoseconds::zero(), ec);
    }
    template <class C, class D, class R2, class P2>
    void arm_at(std::chrono::time_point<C, D> deadline, std::chrono::duration<R2, P2> period, std::error_code &ec) noexcept {
        static_assert(std::is_same_v<C, Clock>, "chronels: arm_at takes a time point of the timer's own clock: "
                                                "steady_clock for chronels::timer, system_clock for chronels::system_timer");
        timespec f, p;
        if (!(ec = usable()) && !(ec = detail::to_timespec(deadline.time_since_epoch(), f)) &&
            !(ec = detail::to_timespec(period, p)))
            ec = detail::check(chronel_settime_abs(&h_->handle, &f, &p));
    }
    template <class C, class D> void arm_at(std::chrono::time_point<C, D> deadline, std::error_code &ec) noexcept {
        arm_at(deadline, std::chrono::nanoseconds::zero(), ec);
    }
    void disarm(std::error_code &ec) noexcept {
        if (!(ec = usable()))
            ec = detail::check(chronel_settime(&h_->handle, nullptr, nullptr));
    }
    void pause(std::error_code &ec) noexcept { control(false, ec); }
    void resume(std::error_code &ec) noexcept { control(true, ec); }
    [[nodiscard]] timer_times times(std::error_code &ec) const noexcept {
        timespec r{}, p{};
        if (!(ec = usable()))
            ec = detail::check(chronel_gettime(&h_->handle, &r, &p));
        return {detail::from_timespec(r), detail::from_timespec(p)};
    }
    // Deletes the timer now and leaves this one empty; nothing to do when
    // already empty.
    void reset(std::error_code &ec) noexcept {
        ec.clear();
        detail::holder *h = std::exchange(h_, nullptr);
        if (h == nullptr)
            return;
        if ((ec = detail::check(chronel_delete(&h->handle))))
            return; // the callable stays: a callback may yet be running
        if (h->in_own_callback())
            h->doomed = true;
        else
            delete h;
    }

#if defined(__cpp_exceptions)
    template <class F, if_callable<F> = 0> explicit basic_timer(F &&f) {
        detail::throw_if(start(std::forward<F>(f)), steady ? "chronel_create" : "chronel_create_cs");
    }
    template <class R1, class P1, class R2 = std::int64_t, class P2 = std::nano>
    void arm(std::chrono::duration<R1, P1> first, std::chrono::duration<R2, P2> period = {}) {
        std::error_code ec;
        arm(first, period, ec);
        detail::throw_if(ec, "chronel_settime");
    }
    template <class C, class D, class R2 = std::int64_t, class P2 = std::nano>
    void arm_at(std::chrono::time_point<C, D> deadline, std::chrono::duration<R2, P2> period = {}) {
        std::error_code ec;
        arm_at(deadline, period, ec);
        detail::throw_if(ec, "chronel_settime_abs");
    }
    void disarm() { call(&basic_timer::disarm, "chronel_settime"); }
    void pause() { call(&basic_timer::pause, "chronel_control"); }
    void resume() { call(&basic_timer::resume, "chronel_control"); }
    [[nodiscard]] timer_times times() const {
        std::error_code ec;
        const timer_times t = times(ec);
        detail::throw_if(ec, "chronel_gettime");
        return t;
    }
    void reset() { call(&basic_timer::reset, "chronel_delete"); }
#endif

  private:
    template <class F> std::error_code start(F &&f) {
        using D = std::decay_t<F>;
        if constexpr (std::is_pointer_v<std::remove_reference_t<F>>) { // not a function named directly
            if (f == nullptr)
                return detail::error(EINVAL);
        }
        auto *h = new (std::nothrow) detail::holder_of<D>(std::forward<F>(f));
        if (h == nullptr)
            return detail::error(ENOMEM);
        const int rc = steady ? chronel_create(&h->handle, &detail::holder_of<D>::trampoline, h)
                              : chronel_create_cs(&h->handle, &detail::holder_of<D>::trampoline, h);
        const std::error_code ec = detail::check(rc);
        if (ec)
            delete h;
        else
            h_ = h;
        return ec;
    }
    std::error_code usable() const noexcept { return h_ != nullptr ? std::error_code() : detail::error(EINVAL); }
    void control(bool enable, std::error_code &ec) noexcept {
        if (!(ec = usable()))
            ec = detail::check(chronel_control(&h_->handle, enable));
    }
#if defined(__cpp_exceptions)
    void call(void (basic_timer::*op)(std::error_code &) noexcept, const char *what) {
        std::error_code ec;
        (this->*op)(ec);
        detail::throw_if(ec, what);
    }
#endif

    detail::holder *h_ = nullptr;
};

using timer = basic_timer<std::chrono::steady_clock>;
using system_timer = basic_timer<std::chrono::system_clock>;

// In a callback: how many further expiries of its timer were merged into
// the one that called it. Outside a callback: EPERM.
[[nodiscard]] inline int overrun(std::error_code &ec) noexcept {
    const int n = chronel_overrun();
    ec = detail::check(n < 0 ? -1 : 0);
    return n < 0 ? 0 : n;
}

// Owns the timer thread: chronel_init when made, chronel_shutdown when
// destroyed (which does not wait for the thread to end). Move-only; a
// moved-from owner owns nothing.
class runtime {
  public:
    explicit runtime(std::error_code &ec) noexcept : owns_(chronel_init_default() == 0) { ec = detail::check(owns_ ? 0 : -1); }
    runtime(int priority, int signo, std::error_code &ec) noexcept : owns_(chronel_init(priority, signo) == 0) {
        ec = detail::check(owns_ ? 0 : -1);
    }
#if defined(__cpp_exceptions)
    runtime() : owns_(chronel_init_default() == 0) { detail::throw_if(detail::check(owns_ ? 0 : -1), "chronel_init"); }
    runtime(int priority, int signo) : owns_(chronel_init(priority, signo) == 0) {
        detail::throw_if(detail::check(owns_ ? 0 : -1), "chronel_init");
    }
#endif
    runtime(runtime &&other) noexcept : owns_(std::exchange(other.owns_, false)) {}
    runtime &operator=(runtime &&other) noexcept {
        if (this != &other) {
            if (owns_)
                chronel_shutdown();
            owns_ = std::exchange(other.owns_, false);
        }
        return *this;
    }
    ~runtime() {
        if (owns_)
            chronel_shutdown();
    }
    explicit operator bool() const noexcept { return owns_; }

  private:
    bool owns_;
};

#if defined(__cpp_exceptions)
[[nodiscard]] inline int overrun() {
    std::error_code ec;
    const int n = overrun(ec);
    detail::throw_if(ec, "chronel_overrun");
    return n;
}
#endif

} // namespace chronels

#endif // CHRONELS_HPP
