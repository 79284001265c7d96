// SPDX-License-Identifier: MIT
// What happens around the calls rather than through them: a re-init that
// fails or races other callers, real-time callers, a delete with no timer
// thread, fork, signals from elsewhere, threads and handlers of the
// application.
#include "support.h"

using t::Probe;
using Edges = t::Serving;

// A re-init that cannot start its thread, or that would take other signal
// numbers while timers exist (and orphan them), leaves the serving one
// serving; one that succeeds refuses no caller meanwhile, and leaks no delete.
TEST_F(Edges, ReInitNeverLosesServiceNorLeaksADelete) {
    const t::Held base = t::held();
    Probe p;
    ASSERT_EQ(0, t::arm(p, 1, 1));
    ASSERT_TRUE(t::fires(p));
    EXPECT_TRUE(t::fails(EBUSY, [] { return chronel_init(0, SIGRTMIN + 3); })) << "init on another base while timers exist";
    const std::string text = "Signal base " + std::to_string(SIGRTMIN + 3) + " differs from " + std::to_string(SIGRTMIN) + " while timers exist\n";
    EXPECT_EQ(1, t::logged("Signal base %d differs from %d while timers exist\n", text));
    EXPECT_TRUE(t::fires(p)) << "the timers stopped after an init on another base";
    if (!t::sanitized()) { // pthread_create is the sanitizer's
        t::pthread_create_err = EAGAIN;
        EXPECT_TRUE(t::fails(EAGAIN, chronel_init_default)) << "init with no thread to start";
        EXPECT_TRUE(t::fires(p)) << "the old thread stopped serving";
        EXPECT_EQ(0, chronel_settime(&p.h, &t::one, &t::one)) << "a set after the failed init";
    }
    std::atomic<bool> stop{false};
    std::atomic<int> refused{0}, pairs{0};
    std::thread caller([&] {
        for (Probe q; !stop; pairs++) {
            refused += chronel_settime(&p.h, &t::one, &t::one) != 0;
            refused += chronel_create(&q.h, t::tally, &q) != 0;
            refused += chronel_delete(&q.h) != 0;
        }
    });
    for (int i = 0; i < 30; i++) {
        ASSERT_EQ(0, chronel_init_default()) << i;
        t::sleep_ms(2);
    }
    stop = true;
    caller.join();
    EXPECT_EQ(0, refused.load()) << "calls refused while a re-init replaced the thread, of " << pairs;
    EXPECT_EQ(0, t::logged("Sigqueue error %s\n", "Sigqueue error " + t::err(ESRCH)));
    EXPECT_EQ(0, chronel_delete(&p.h));
    // At once, while a deleted record may still wait for its tombstone on
    // the old numbers: the new thread frees it.
    EXPECT_EQ(0, chronel_init(0, SIGRTMIN + 3)) << "another base, with no timer left";
    EXPECT_TRUE(t::back_to(base)) << t::str(t::held()) << " instead of " << t::str(base);
    EXPECT_EQ(0, chronel_init_default()) << "back to the default base";
}

// A SCHED_FIFO caller asking for the maximum gets a thread all the same;
// SCHED_FIFO goes to whoever the kernel lets have it, and a refusal is
// said. The unprivileged cases run in a child that drops root.
TEST_F(Edges, RealTimeCallersGetAThreadAndAreToldWhatTheyGot) {
    if (t::sanitized() || t::emulated() || t::valgrind())
        GTEST_SKIP() << "scheduling is the tool's here";
    const int lo = sched_get_priority_min(SCHED_FIFO), hi = sched_get_priority_max(SCHED_FIFO);
    sched_param fifo = {lo + 1};
    if (sched_setscheduler(0, SCHED_FIFO, &fifo) != 0)
        GTEST_SKIP() << "no real-time scheduling here: " << strerror(errno);
    Probe p;
    std::thread([&] { // a real-time application's thread
        EXPECT_EQ(0, chronel_init(hi, SIGRTMIN)) << "SCHED_FIFO caller asking for the maximum";
        EXPECT_EQ(0, t::arm(p, 1));
    }).join();
    sched_param other = {0};
    sched_setscheduler(0, SCHED_OTHER, &other);
    ASSERT_TRUE(t::wait_until([&] { return p.n == 1; }));
    EXPECT_EQ(SCHED_OTHER, p.policy.load()) << "the maximum";
    char outside[128];
    snprintf(outside, sizeof outside, "Priority %d is outside SCHED_FIFO's %d-%d, timer thread runs SCHED_OTHER\n", hi, lo, hi - 1);
    EXPECT_EQ(1, t::logged("Priority %d is outside SCHED_FIFO's %d-%d, timer thread runs SCHED_OTHER\n", outside));
    EXPECT_EQ(0, chronel_delete(&p.h));
    auto as_nobody = [&](rlim_t rtprio) {
        return t::in_child([&] {
            rlimit l = {rtprio, rtprio};
            if (setrlimit(RLIMIT_RTPRIO, &l) != 0)
                _exit(77); // not allowed to raise it here
            ASSERT_EQ(0, setresuid(65534, 65534, 65534));
            Probe q;
            ASSERT_EQ(0, chronel_init(10, SIGRTMIN));
            ASSERT_EQ(0, t::arm(q, 1));
            ASSERT_TRUE(t::wait_until([&] { return q.n == 1; }));
            EXPECT_EQ(rtprio >= 10 ? SCHED_FIFO : SCHED_OTHER, q.policy.load()) << "RLIMIT_RTPRIO " << rtprio;
            EXPECT_EQ(rtprio >= 10 ? 10 : 0, q.priority.load()) << "RLIMIT_RTPRIO " << rtprio;
            const std::string refused = "Priority 10 not granted, timer thread runs SCHED_OTHER : " + t::err(EPERM);
            EXPECT_EQ(rtprio >= 10 ? 0 : 1, t::logged("Priority %d not granted, timer thread runs SCHED_OTHER : %s\n", refused));
        });
    };
    if (getuid() == 0) {
        t::where("Priority %d not granted, timer thread runs SCHED_OTHER : %s\n"); // read while the source is readable
        const int covered = as_nobody(20);
        EXPECT_TRUE(covered == 0 || covered == 77) << "not root, with an RLIMIT_RTPRIO that covers it: " << covered;
        EXPECT_EQ(0, as_nobody(0)) << "not root, not allowed";
    }
}

// With no timer thread (after shutdown, or in a forked child) a delete
// still removes the system timer, and the record once no expiry can name it.
TEST_F(Edges, DeleteWithoutATimerThreadRemovesTheTimer) {
    const t::Held base = t::held();
    std::vector<Probe> p(20);
    for (Probe &q : p)
        ASSERT_EQ(0, t::arm(q, 1, 1));
    ASSERT_TRUE(t::fires(p.back()));
    chronel_shutdown();
    for (Probe &q : p)
        EXPECT_EQ(0, chronel_delete(&q.h));
    EXPECT_EQ(base.second, t::system_timers()) << "system timers left running";
    ASSERT_EQ(0, chronel_init_default()); // takes what still waits for it
    EXPECT_TRUE(t::back_to(base)) << t::str(t::held()) << " instead of " << t::str(base);
    EXPECT_EQ(0, t::overlaps.load()) << "callbacks overlapped";
    // Its callback still running on the thread that was stopped: the
    // delete returns once it has, as a delete always does.
    static std::atomic<int> stage;
    stage = 0;
    chronel held = {};
    t::hold = true;
    ASSERT_EQ(0, t::arm(&held, [](void *) {
        for (stage = 1; t::hold;)
            t::sleep_ms(1);
        stage = 2;
    }, nullptr, 1));
    ASSERT_TRUE(t::wait_until([] { return stage == 1; }));
    chronel_shutdown();
    std::atomic<bool> deleted{false};
    std::thread deleter([&] {
        EXPECT_EQ(0, chronel_delete(&held));
        deleted = true;
    });
    t::sleep_ms(50);
    EXPECT_FALSE(deleted.load()) << "the delete returned while its callback ran";
    t::hold = false;
    deleter.join();
    EXPECT_EQ(2, stage.load());
    EXPECT_EQ(0, chronel_init_default());
}

// After fork the child has no timer thread and no timer: its requests are
// refused and never reach the parent, until its own chronel_init. Handles
// made before the fork never reach the child's own timers, whose ids start
// again; a child forked in a callback has one dispatcher.
std::atomic<int> child_status{-1};
void fork_in_callback(void *) {
    pid_t pid = fork();
    if (pid != 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        child_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return;
    }
    alarm(10);
    static Probe q;
    static std::set<pid_t> tids; // only ever touched by callbacks: never two at once, if it holds
    if (chronel_init_default() != 0 || chronel_create(&q.h, [](void *) {
            tids.insert(t::tid());
            if (t::tid() == getpid()) // the thread that forked: the parent's loop, copied
                _exit(4);
            if (tids.size() > 1 || ++q.n == 100)
                _exit(tids.size() == 1 ? 0 : 5);
        }, nullptr) != 0)
        _exit(2);
    if (chronel_settime(&q.h, &t::one, &t::one) != 0)
        _exit(3);
} // back into the parent's loop, copied
TEST_F(Edges, ForkedChildrenNeverReachInheritedTimersNorDispatchTwice) {
    if (t::fork_unsafe())
        GTEST_SKIP() << "no child of a multi-threaded process here";
    Probe periodic, fired;
    ASSERT_EQ(0, t::arm(periodic, 2, 2));
    ASSERT_EQ(0, t::arm(fired, 1));
    ASSERT_TRUE(t::wait_until([&] { return fired.n == 1 && periodic.n > 3; }))
        << "one-shot " << fired.n << ", periodic " << periodic.n;
    t::clear_logs();
    EXPECT_EQ(0, t::in_child([&] {
        Probe mine;
        EXPECT_EQ(-1, chronel_settime(&fired.h, &t::one, nullptr)) << "set before the child's init";
        EXPECT_EQ(-1, chronel_control(&fired.h, true)) << "resume before the child's init";
        EXPECT_EQ(-1, chronel_control(&periodic.h, false)) << "pause before the child's init";
        EXPECT_EQ(-1, chronel_create(&mine.h, t::tally, &mine)) << "create before the child's init";
        chronel_shutdown();
        EXPECT_EQ(nullptr, mine.h.ptr) << "a refused create";
        EXPECT_EQ(5u, t::logs().size()) << "messages before the child's init";
        EXPECT_TRUE(t::logged("Timer thread does not exist\n"));
        EXPECT_EQ(3, t::logged("Invalid chronel\n")) << "handles made before the fork";
        EXPECT_EQ(1, t::logged("Sigqueue error %s\n", "Sigqueue error " + t::err(ESRCH))) << "create with no thread";
        EXPECT_EQ(0, t::system_timers()) << "timers are not inherited";
        ASSERT_EQ(0, chronel_init_default()); // its own thread, serving its own timers
        ASSERT_EQ(0, chronel_create(&mine.h, t::tally, &mine)); // likely an inherited one's timer id
        EXPECT_TRUE(t::fails(EINVAL, [&] { return chronel_settime(&fired.h, &t::one, nullptr); })) << "set of an inherited handle";
        EXPECT_EQ(-1, chronel_delete(&fired.h)) << "delete of an inherited handle";
        EXPECT_EQ(0, chronel_settime(&mine.h, &t::one, nullptr)) << "the child's own timer";
        EXPECT_TRUE(t::wait_until([&] { return mine.n == 1; })) << "the child's own timer";
        EXPECT_EQ(5, t::logged("Invalid chronel\n")) << "handles made before the fork, after the child's init";
        EXPECT_EQ(0, chronel_delete(&mine.h));
    }));
    // A request of the child that reached this process would have found
    // the same address here, and re-armed the one-shot timer.
    const int now = periodic.n;
    ASSERT_TRUE(t::wait_until([&] { return periodic.n > now + 10; })) << "the parent's periodic timer after the fork";
    EXPECT_EQ(1, fired.n.load()) << "the child's set reached the parent";
    EXPECT_TRUE(t::logs().empty()) << t::logs()[0].text;
    EXPECT_EQ(0, chronel_delete(&periodic.h));
    EXPECT_EQ(0, chronel_delete(&fired.h));
    chronel forker = {};
    ASSERT_EQ(0, t::arm(&forker, fork_in_callback, nullptr, 1));
    ASSERT_TRUE(t::wait_until([] { return child_status != -1; }, 20));
    EXPECT_EQ(0, child_status.load()) << "4: a callback on the copied loop, 5: on two threads";
    EXPECT_EQ(0, chronel_delete(&forker));
}

// Signals on the library's numbers that neither its timers nor this
// process sent are ignored, whatever they carry; the timer thread runs no
// handler of the application, and an expiry that lands on a thread not
// blocking the signals reaches the timer thread instead of ending the
// process.
std::atomic<pid_t> usr1_on{0};
TEST_F(Edges, OnlyTheLibrarysOwnSignalsAreTakenAndNoneKillsAThread) {
    Probe p;
    ASSERT_EQ(0, t::arm(p, 1));
    ASSERT_TRUE(t::wait_until([&] { return p.n == 1; }));
    const int base = SIGRTMIN;
    for (int sig = base; sig < base + 3; sig++) { // as another program's sigqueue
        siginfo_t si = {};
        si.si_signo = sig;
        si.si_code = SI_QUEUE;
        si.si_pid = 1;
        si.si_value.sival_ptr = t::idx(0x1000);
        ASSERT_EQ(0, syscall(SYS_rt_sigqueueinfo, getpid(), sig, &si)) << sig;
    }
    for (int sig = base; sig < base + 3; sig++) {
        const std::string text = "Signal " + std::to_string(sig) + " from pid 1 is not the library's, ignored\n";
        EXPECT_TRUE(t::wait_until([&] { return t::logged("Signal %d from pid %d is not the library's, ignored\n", text) == 1; })) << sig;
    }
    struct sigaction sa = {}, old;
    sa.sa_handler = [](int) { usr1_on = t::tid(); };
    sigaction(SIGUSR1, &sa, &old);
    ASSERT_EQ(0, syscall(SYS_tgkill, getpid(), p.tid.load(), SIGUSR1));
    ASSERT_EQ(0, chronel_settime(&p.h, &t::one, nullptr)) << "the thread goes on after foreign signals";
    EXPECT_TRUE(t::wait_until([&] { return p.n == 2; }));
    EXPECT_EQ(0, usr1_on.load()) << "an application handler ran on the timer thread";
    EXPECT_EQ(0, t::logged("sigwaitinfo : %s\n", "sigwaitinfo : " + t::err(EINTR)));
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(0, chronel_delete(&p.h));
    // A thread that does not block them, as one started before chronel_init,
    // takes the expiries while the timer thread is held in a callback.
    // Valgrind delivers signals itself and restores the mask it saved, so
    // the detour never ends there.
    if (t::valgrind())
        return;
    ASSERT_EQ(0, t::arm(p, 1));
    std::atomic<bool> stray_done{false}, stray_hit{false};
    std::thread stray([&] {
        sigset_t ours, now;
        sigemptyset(&ours);
        for (int sig = base; sig < base + 3; sig++)
            sigaddset(&ours, sig);
        pthread_sigmask(SIG_UNBLOCK, &ours, nullptr);
        for (; !stray_done; t::sleep_ms(1))
            if (pthread_sigmask(SIG_BLOCK, nullptr, &now) == 0 && sigismember(&now, base + 2))
                stray_hit = true; // the handler ran here, and blocked them from then on
    });
    t::hold = true;
    chronel holder = {};
    ASSERT_EQ(0, chronel_settime(&p.h, &t::one, &t::one));
    ASSERT_EQ(0, t::arm(&holder, t::park, nullptr, 1));
    // The sanitizers deliver signals themselves and restore the mask they saved.
    EXPECT_TRUE(t::sanitized() || t::wait_until([&] { return stray_hit.load(); }, 3)) << "no expiry reached the stray thread";
    t::hold = false;
    EXPECT_TRUE(t::fires(p)) << "expiries lost on the stray thread";
    EXPECT_NE(t::tid(), p.tid.load());
    stray_done = true;
    stray.join();
    EXPECT_EQ(0, chronel_delete(&p.h));
    EXPECT_EQ(0, chronel_delete(&holder));
}
