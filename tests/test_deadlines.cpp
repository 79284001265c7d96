// SPDX-License-Identifier: MIT
// Asking a timer what is left, counting the expiries merged while the timer
// thread was late, firing at absolute times.
#include "support.h"

using t::ns, t::at, t::Probe;
using Deadlines = t::Serving;

TEST_F(Deadlines, RemainingTimeFollowsArmingPausingAndExpiry) {
    Probe p, cs;
    ASSERT_EQ(0, chronel_create(&p.h, t::tally, &p));
    ASSERT_EQ(0, chronel_create_cs(&cs.h, t::tally, &cs));
    timespec left = {9, 9}, period = {9, 9}, ten = {10, 0}, second = {1, 0};
    ASSERT_EQ(0, chronel_gettime(&p.h, &left, &period)) << "never armed";
    EXPECT_EQ(0, ns(left)) << "never armed";
    EXPECT_EQ(0, ns(period)) << "never armed";
    for (Probe *q : {&p, &cs}) {
        ASSERT_EQ(0, chronel_settime(&q->h, &ten, &second));
        ASSERT_EQ(0, chronel_gettime(&q->h, &left, &period));
        EXPECT_GT(ns(left), 9000000000) << "armed for 10 s";
        EXPECT_LE(ns(left), 10000000000) << "armed for 10 s";
        EXPECT_EQ(1000000000, ns(period)) << "the period";
        EXPECT_EQ(0, chronel_gettime(&q->h, nullptr, nullptr)) << "null pointers";
        ASSERT_EQ(0, chronel_control(&q->h, false));
        ASSERT_EQ(0, chronel_gettime(&q->h, &left, &period));
        EXPECT_EQ(0, ns(left)) << "paused";
        EXPECT_EQ(0, ns(period)) << "paused";
        ASSERT_EQ(0, chronel_control(&q->h, true));
        ASSERT_EQ(0, chronel_gettime(&q->h, &left, nullptr));
        EXPECT_GT(ns(left), 9000000000) << "resumed";
    }
    ASSERT_EQ(0, chronel_settime(&p.h, &t::one, nullptr));
    ASSERT_TRUE(t::wait_until([&] { return p.n == 1; }));
    ASSERT_EQ(0, chronel_gettime(&p.h, &left, &period));
    EXPECT_EQ(0, ns(left)) << "a one-shot that fired";
    EXPECT_EQ(0, ns(period)) << "a one-shot that fired";
    // From a callback, in place: at most one period is left of its own timer.
    static std::atomic<int64_t> in_cb;
    static chronel self;
    in_cb = -1; // for each repetition
    self = {};
    ASSERT_EQ(0, t::arm(&self, [](void *) {
        timespec l;
        in_cb = chronel_gettime(&self, &l, nullptr) == 0 ? ns(l) : -2;
        chronel_control(&self, false);
    }, nullptr, 1, 50));
    ASSERT_TRUE(t::wait_until([] { return in_cb != -1; }));
    EXPECT_GT(in_cb.load(), 0) << "remaining, asked in its callback";
    EXPECT_LE(in_cb.load(), 50000000) << "remaining, asked in its callback";
    for (chronel *h : {&p.h, &cs.h, &self})
        EXPECT_EQ(0, chronel_delete(h));
}

// While another callback holds the timer thread, a periodic timer's
// expiries merge into one signal: the callback that follows is told how
// many, and every expiry due is either a callback or merged.
TEST_F(Deadlines, MergedExpiriesAreCountedExactly) {
    Probe p;
    chronel holder = {};
    ASSERT_EQ(0, chronel_create(&p.h, t::tally, &p));
    ASSERT_EQ(0, chronel_create(&holder, t::park, nullptr));
    EXPECT_TRUE(t::fails(EPERM, chronel_overrun)) << "overrun outside a callback";
    const int64_t period = 2000000;
    timespec first = at(period), every = at(period);
    const int64_t before = ns(CLOCK_MONOTONIC);
    ASSERT_EQ(0, chronel_settime(&p.h, &first, &every));
    const int64_t after = ns(CLOCK_MONOTONIC);
    ASSERT_TRUE(t::wait_until([&] { return p.n >= 3; }));
    t::hold = true;
    ASSERT_EQ(0, chronel_settime(&holder, &t::one, nullptr));
    t::sleep_ms(100);
    t::hold = false;
    ASSERT_TRUE(t::wait_until([&] { return p.max_merged > 10; })) << "max merged " << p.max_merged;
    // Once disarmed, count against the expiries due when the last callback
    // ran: a signal still pending at the disarm runs nothing, however many
    // expiries it merged (a loaded timer thread may lag several periods).
    // Two periods of slack for the moment between taking the signal and
    // reading the clock in the callback.
    ASSERT_EQ(0, chronel_control(&p.h, false));
    t::sleep_ms(20);
    const int64_t last = p.last_ns;
    const int total = p.n + p.merged;
    EXPECT_GE(total, (last - after) / period - 2) << p.n << " callbacks, " << p.merged << " merged";
    EXPECT_LE(total, (last - before) / period) << p.n << " callbacks, " << p.merged << " merged";
    EXPECT_EQ(0, chronel_delete(&p.h));
    EXPECT_EQ(0, chronel_delete(&holder));
}

// A deadline on the timer's own clock: never early, at once when past,
// null disarms, and a resume keeps the schedule's phase.
TEST_F(Deadlines, AbsoluteDeadlinesKeepTheirClockAndPhase) {
    Probe mono, wall, past;
    wall.clock = CLOCK_REALTIME;
    ASSERT_EQ(0, chronel_create(&mono.h, t::tally, &mono));
    ASSERT_EQ(0, chronel_create_cs(&wall.h, t::tally, &wall));
    ASSERT_EQ(0, chronel_create(&past.h, t::tally, &past));
    const int64_t mono_due = ns(CLOCK_MONOTONIC) + 30000000, wall_due = ns(CLOCK_REALTIME) + 30000000;
    timespec d1 = at(mono_due), d2 = at(wall_due), long_ago = {1, 0};
    ASSERT_EQ(0, chronel_settime_abs(&mono.h, &d1, nullptr));
    ASSERT_EQ(0, chronel_settime_abs(&wall.h, &d2, nullptr));
    ASSERT_EQ(0, chronel_settime_abs(&past.h, &long_ago, nullptr));
    ASSERT_TRUE(t::wait_until([&] { return mono.n == 1 && wall.n == 1 && past.n == 1; }));
    EXPECT_GE(mono.last_ns.load(), mono_due) << "early on CLOCK_MONOTONIC";
    EXPECT_GE(wall.last_ns.load(), wall_due) << "early on CLOCK_REALTIME";
    ASSERT_EQ(0, chronel_settime_abs(&mono.h, nullptr, nullptr));
    timespec left;
    ASSERT_EQ(0, chronel_gettime(&mono.h, &left, nullptr));
    EXPECT_EQ(0, ns(left)) << "a null deadline disarms";
    // A schedule every 100 ms from a deadline, paused and resumed: its
    // next expiry stays on deadline + k * period.
    const int64_t period = 100000000, start = ns(CLOCK_MONOTONIC) + 20000000;
    timespec from = at(start), every = at(period);
    ASSERT_EQ(0, chronel_settime_abs(&mono.h, &from, &every));
    ASSERT_TRUE(t::wait_until([&] { return mono.n >= 2; }));
    ASSERT_EQ(0, chronel_control(&mono.h, false));
    t::sleep_ms(30);
    const int paused = mono.n;
    ASSERT_EQ(0, chronel_control(&mono.h, true));
    // Its deadline is past: it fires at once, and only once that expiry is
    // taken does the kernel move the timer on by periods (before, Linux 6.1
    // says 1 ns is left).
    ASSERT_TRUE(t::wait_until([&] { return mono.n > paused; })) << "the resumed deadline, past, fires at once";
    ASSERT_EQ(0, chronel_gettime(&mono.h, &left, nullptr));
    const int64_t phase = (ns(CLOCK_MONOTONIC) + ns(left) - start) % period;
    EXPECT_LT(std::min(phase, period - phase), 5000000) << "resumed off its phase by " << phase << " ns";
    // From a callback, in place.
    Probe inner;
    ASSERT_EQ(0, chronel_create(&inner.h, t::tally, &inner));
    chronel setter = {};
    ASSERT_EQ(0, t::arm(&setter, [](void *in) {
        timespec soon = at(ns(CLOCK_MONOTONIC) + 1000000);
        chronel_settime_abs(&static_cast<Probe *>(in)->h, &soon, nullptr);
    }, &inner, 1));
    EXPECT_TRUE(t::wait_until([&] { return inner.n == 1; })) << "armed from a callback";
    for (chronel *h : {&mono.h, &wall.h, &past.h, &inner.h, &setter})
        EXPECT_EQ(0, chronel_delete(h));
}
