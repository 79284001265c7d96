// Behaviour only a whole process shows: the timer thread ending under load,
// signal slots running out, fork, the real syslog, the watchdog. They hold
// many signal slots, which the kernel counts per user across processes:
// one at a time.
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <random>
#include <thread>

#include "support.h"

using t::hits, t::cb_tid, t::tally;

// The timer thread ends and restarts under load: every caller returns,
// nothing runs twice, nothing is lost or leaked.
namespace {
struct Item {
    chronel h = {};
    std::atomic<int> calls{0};
    std::atomic<bool> gone{false};
};
void arrive(void *arg) { static_cast<Item *>(arg)->calls++; }
void delete_self(void *arg) { // maybe while the call that armed it is still on its way out
    chronel_delete(&static_cast<Item *>(arg)->h);
    static_cast<Item *>(arg)->gone = true;
}
std::atomic<bool> parked{false};
// The only messages an end of the thread may cause.
bool documented(const t::Entry &e) {
    const std::string esrch = t::err(ESRCH), ended = "Timer thread ended before the request ran\n", none = "Timer thread does not exist\n";
    return t::is(e, "CHRONEL_CREATE_FAIL %s\n", "CHRONEL_CREATE_FAIL " + esrch) || t::is(e, ended, ended) || t::is(e, none, none) ||
           e.text == t::where("Sigqueue error %s\n")[0] + "Sigqueue error " + esrch || // send_request's
           e.text.rfind(t::where("Timer queue overflow for pid %d\n")[0] + "Timer queue overflow for pid ", 0) == 0;
}
} // namespace

TEST(Lifecycle, ShutdownSigioAndInitWhileRequestsAreInFlight) {
    // Valgrind can keep a process-directed signal in a queue of its own,
    // out of the kernel's reach: sigpending() reports the expiry while the
    // kernel shows none pending and the timer thread waits for it in vain.
    if (t::valgrind())
        GTEST_SKIP() << "valgrind may hold an expiry signal where sigwaitinfo cannot take it";
    ASSERT_EQ(0, chronel_init_default());
    const t::Held base = t::held(8);
    // A timer can fire and be deleted by its own callback while the call
    // that armed it is still leaving the record, which must outlive it.
    for (int i = 0; i < 2000; i++) {
        Item it;
        timespec ns = {0, 1};
        ASSERT_EQ(0, chronel_create(&it.h, delete_self, &it) + chronel_settime(&it.h, &ns, nullptr));
        ASSERT_TRUE(t::wait_until([&] { return it.gone.load(); }));
    }
    EXPECT_FALSE(t::logged("Mutex is busy\n"));
    std::atomic<bool> stop{false};
    std::atomic<int> served{0}, refused{0};
    timespec one = t::ms(1);
    auto worker = [&] { // each arming that returns 0 fires exactly once; one refused, never
        Item kept, self;
        int expected = 0;
        for (int n = 0; !stop; n++) {
            if (kept.h.magic != CHRONEL_MAGIC) {
                (chronel_create(&kept.h, arrive, &kept) == 0 ? served : refused)++;
                EXPECT_TRUE(kept.h.magic == CHRONEL_MAGIC || kept.h.ptr == nullptr);
            } else if (n % 3 != 0) { // resuming a timer never set arms nothing: set it first
                int rc = n % 2 || expected == 0 ? chronel_settime(&kept.h, &one, nullptr) : chronel_control(&kept.h, true);
                expected += rc == 0;
                (rc == 0 ? served : refused)++;
                ASSERT_TRUE(t::wait_until([&] { return kept.calls >= expected; })) << "an armed timer never fired";
                ASSERT_EQ(expected, kept.calls.load()) << "a request ran twice";
            } else if (chronel_create(&self.h, delete_self, &self) == 0) {
                for (self.gone = false; chronel_settime(&self.h, &one, nullptr) != 0;)
                    refused++;
                served += 2;
                ASSERT_TRUE(t::wait_until([&] { return self.gone.load(); }));
                EXPECT_EQ(nullptr, self.h.ptr);
            } else {
                refused++;
            }
        }
        t::sleep_ms(20);
        EXPECT_EQ(expected, kept.calls.load()) << "a request ran twice";
        EXPECT_EQ(0, kept.h.magic == CHRONEL_MAGIC ? chronel_delete(&kept.h) : 0);
    };
    std::vector<std::thread> ts;
    for (int w = 0; w < 3; w++)
        ts.emplace_back(worker);
    std::mt19937 rng(1);
    const int rounds = 300;
    for (int k = 0; k < rounds; k++) {
        t::sleep_ms(static_cast<int>(rng() % 4));
        k % 3 == 2 ? (void)kill(getpid(), SIGIO) : chronel_shutdown(); // SIGIO ends whichever thread takes it
        t::sleep_ms(static_cast<int>(rng() % 3));
        ASSERT_EQ(0, chronel_init_default());
    }
    sigset_t pending;
    ASSERT_TRUE(t::wait_until([&] { return sigpending(&pending) == 0 && !sigismember(&pending, SIGIO); }));
    ASSERT_EQ(0, chronel_init_default()); // a thread that no SIGIO will end
    stop = true;
    for (auto &th : ts)
        th.join();
    EXPECT_TRUE(t::back_to(base)) << t::str(t::held()) << " instead of " << t::str(base);
    for (const t::Entry &e : t::logs())
        EXPECT_TRUE(documented(e)) << e.text;
    printf("%d thread ends; %d requests served, %d refused\n", rounds, served.load(), refused.load());
}

// Signal slots run out: RLIMIT_SIGPENDING lowered until the system says no.
TEST(Exhaustion, CreatingUntilRefusedLeaksNothingKeepsTimersFiringAndRecovers) {
    ASSERT_EQ(0, chronel_init_default());
    const t::Held base = t::held();
    // qemu-ppc holds at most 32 timers per process: its own refusal then.
    const int cap = t::emulated() ? 40 : 4096;
    std::vector<chronel> h(cap + 2);
    ASSERT_EQ(0, t::arm(&h[0], tally, t::idx(0), 5, 5));
    int made = 1, rc = 0;
    const rlim_t limit = static_cast<rlim_t>(t::sigq_used() + (t::emulated() ? 12 : 48));
    {
        t::SigLimit low(limit);
        while (made <= cap && (rc = (made % 2 ? chronel_create_cs : chronel_create)(&h[made], tally, t::idx(1))) == 0)
            made++;
        ASSERT_EQ(-1, rc) << "still no refusal after " << made << " timers";
        EXPECT_TRUE(h[made].ptr == nullptr && h[made].magic == 0);
        EXPECT_TRUE(t::logged("Sigqueue error %s\n", "Sigqueue error " + t::err(EAGAIN)) || // the step that found no slot
                    t::logged("CHRONEL_CREATE_FAIL %s\n", "CHRONEL_CREATE_FAIL " + t::err(EAGAIN)) ||
                    t::logged("timer_create fail: %m\n", "timer_create fail: " + t::err(EAGAIN)));
        EXPECT_EQ(t::Held(base.first < 0 ? -1 : base.first + made, base.second + made), t::held()) << "a refused create left something";
        EXPECT_TRUE(t::wait_until([from = hits[0].load()] { return hits[0] > from + 3; })) << "timers stopped firing at the limit";
        for (t::SigLimit raised(limit + 64); made > 2; made--) // each delete a request; then they free slots
            ASSERT_EQ(0, chronel_delete(&h[made - 1]));
        EXPECT_EQ(0, chronel_create(&h[made++], tally, t::idx(1)));
    }
    for (int i = 0; i < made; i++)
        EXPECT_EQ(0, chronel_delete(&h[i]));
    EXPECT_TRUE(t::back_to(base)) << t::str(t::held()) << " instead of " << t::str(base);
}

// After fork the child has no timer thread: its requests are refused and
// never reach the parent, until its own chronel_init. Not where a child of
// a threaded process may not start threads (the thread sanitizer) or may
// abort (qemu-user).
bool fork_unsafe() {
#if defined(__SANITIZE_THREAD__)
    return true;
#endif
    return t::emulated();
}
TEST(Fork, TheChildIsRefusedWithoutSignallingTheParentThenStartsItsOwnThread) {
    if (fork_unsafe())
        GTEST_SKIP() << "no child of a multi-threaded process here";
    ASSERT_EQ(0, chronel_init_default());
    chronel periodic = {}, fired = {}, fresh = {};
    ASSERT_EQ(0, t::arm(&periodic, tally, t::idx(0), 2, 2) + t::arm(&fired, tally, t::idx(1), 1));
    ASSERT_TRUE(t::wait_until([] { return hits[1] == 1 && hits[0] > 3; }));
    t::clear_logs();
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        timespec one = t::ms(1);
        EXPECT_EQ(-4, chronel_settime(&fired, &one, nullptr) + chronel_control(&fired, true) +
                          chronel_control(&periodic, false) + chronel_create(&fresh, tally, nullptr));
        chronel_shutdown();
        EXPECT_TRUE(fresh.ptr == nullptr && t::logs().size() == 5 && t::logged("Timer thread does not exist\n") &&
                    t::logged("Sigqueue error %s\n", "Sigqueue error " + t::err(ESRCH)) == 4);
        EXPECT_EQ(0, t::system_timers()) << "timers are not inherited";
        cb_tid = 0;
        ASSERT_EQ(0, chronel_init_default()); // its own thread, serving its own timers
        ASSERT_EQ(0, t::arm(&fresh, tally, t::idx(2), 1));
        EXPECT_TRUE(t::wait_until([] { return hits[2] == 1; }));
        EXPECT_NE(t::tid(), cb_tid.load());
        EXPECT_EQ(0, chronel_delete(&fresh));
        fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0; // the child has no watchdog: a hang there is caught here
    if (!t::wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20))
        kill(pid, SIGKILL), waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    // A request of the child that reached this process would have found
    // the same address here, and re-armed the one-shot timer.
    int now = hits[0];
    ASSERT_TRUE(t::wait_until([&] { return hits[0] > now + 10; }));
    EXPECT_EQ(1, hits[1].load());
    EXPECT_TRUE(t::logs().empty()) << t::logs()[0].text;
    EXPECT_EQ(0, chronel_delete(&periodic) + chronel_delete(&fired));
}

// The real syslog(3): messages received at /dev/log in a private mount
// namespace of a child, which has one thread and so may unshare.
TEST(RealSyslog, MessagesArriveAtDevLogAsCriticalWithTheirExactText) {
    if (fork_unsafe())
        GTEST_SKIP() << "no child of a multi-threaded process here";
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to make a private mount namespace";
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        int s = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un a = {AF_UNIX, "/dev/log"};
        timeval wait = {10, 0};
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("chronels", "/dev", "tmpfs", 0, "size=64k") != 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0)
            _exit(77);
        t::real_syslog = true;
        chronel_shutdown(); // before any init: logged by this thread
        EXPECT_EQ(0, chronel_init_default());
        union sigval null_value = {};
        EXPECT_EQ(0, sigqueue(getpid(), SIGRTMIN + 1, null_value)); // logged by the timer thread
        const std::string want[] = {t::where("Timer thread does not exist\n")[0] + "Timer thread does not exist\n",
                                    t::where("Got signal %d without any sival_ptr\n")[0] + "Got signal " +
                                        std::to_string(SIGRTMIN + 1) + " without any sival_ptr\n"};
        // Facility LOG_USER (8) with LOG_CRIT (2), a timestamp "Mmm dd hh:mm:ss", the program name.
        const std::string tag = std::string(" ") + program_invocation_short_name + ": ";
        char buf[2048];
        for (const std::string &text : want) {
            ssize_t n = recv(s, buf, sizeof buf - 1, 0);
            std::string got(buf, n > 0 ? static_cast<size_t>(n) : 0);
            EXPECT_EQ("<10>" + (n > 19 ? got.substr(4, 15) : "") + tag + text, got);
            EXPECT_EQ(4u + 15u, got.find(tag)) << got;
        }
        t::sleep_ms(100);
        EXPECT_EQ(-1, recv(s, buf, sizeof buf, MSG_DONTWAIT)) << "an unexpected message";
        fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no private mount namespace with a tmpfs on /dev here";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

// For the watchdog's own check (CHRONELS_PROBE_HANG): a call that never
// returns must end the run with every thread's stack.
void hang_forever(void *) {
    for (parked = true;;)
        t::sleep_ms(100);
}
TEST(Watchdog, AHungCallEndsTheRun) {
    if (getenv("CHRONELS_PROBE_HANG") == nullptr)
        GTEST_SKIP() << "run by the watchdog check";
    chronel stuck = {}, waiting = {};
    ASSERT_EQ(0, chronel_init_default() + t::arm(&stuck, hang_forever, nullptr, 1));
    ASSERT_TRUE(t::wait_until([] { return parked.load(); }));
    t::arm(&waiting, hang_forever, nullptr, 1); // waits for the timer thread for ever
    ADD_FAILURE() << "the call returned";
}
