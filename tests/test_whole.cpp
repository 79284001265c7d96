// Behaviour only a whole process shows: random use checked against a model
// of the handle, the timer thread ending under load, signal slots running
// out, fork, the real syslog, the watchdog. They hold many signal slots,
// which the kernel counts per user across processes: one at a time.
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "support.h"

namespace {
using t::hits, t::overlaps, t::wrong_thread, t::total, t::cb_tid, t::tally;

// Random operations on valid, deleted, zeroed and corrupted handles, from
// threads and from callbacks working on their own timer, each result and
// message predicted. CHRONELS_SEED replays a run, CHRONELS_OPS sets its length.
enum State { EMPTY, LIVE, CORRUPT_DEAD, CORRUPT_LIVE };
struct Slot {
    chronel h = {};
    State s = EMPTY;
    std::atomic<bool> live{false};
};
struct Chain {
    Slot slot;
    std::mt19937 rng;
    int budget = 0;
    std::atomic<bool> done{false};
};
unsigned seed;
std::mutex mu;
std::map<std::pair<std::string, std::string>, int> predicted; // (format, text) -> times
std::atomic<int> after_delete{0}, checked{0};

void expect_msg(const char *body, const std::string &text = "") {
    std::lock_guard<std::mutex> g(mu);
    predicted[{body, text.empty() ? body : text}]++;
}
void check(int want, int got, int op, State s) {
    checked++;
    if (want != got)
        ADD_FAILURE() << "seed " << seed << ": operation " << op << " on a handle in state " << s << " returned " << got;
}
void fire(void *arg) {
    after_delete += !static_cast<Slot *>(arg)->live;
    tally(nullptr);
}
// One operation on a slot, by a thread or a callback (`in_cb`).
void step(Slot &x, int op, std::mt19937 &rng, bool in_cb, void (*cb)(void *), void *arg) {
    const State s = x.s;
    timespec v[] = {{0, 0}, t::ms(1), {30, 0}, {0, 300000}};
    int got;
    switch (op) {
    case 0: case 1: // create, create_cs
        if (s == CORRUPT_LIVE) { // its record still exists: mend it instead
            x.h.magic = CHRONEL_MAGIC, x.s = LIVE;
            return;
        }
        got = (op == 0 ? chronel_create : chronel_create_cs)(&x.h, cb, arg);
        if (op == 0 && in_cb)
            expect_msg("Can't create new timer within timer callback!!\n");
        else if (s == LIVE)
            expect_msg("Timer is already created\n");
        check((op == 0 && in_cb) || s == LIVE ? -1 : 0, got, op, s);
        if (op == 1 && x.h.isabstime != 1)
            ADD_FAILURE() << "seed " << seed << ": create_cs left isabstime " << x.h.isabstime;
        if (got == 0)
            x.s = LIVE, x.live = true;
        return;
    case 2: case 3: case 4: // settime, control, delete
        got = op == 2 ? chronel_settime(&x.h, &v[rng() % 4], &v[rng() % 2 * 3])
                      : op == 3 ? chronel_control(&x.h, rng() % 2) : chronel_delete(&x.h);
        if (s != LIVE)
            expect_msg("Invalid chronel\n");
        check(s == LIVE ? 0 : -1, got, op, s);
        if (op == 4 && s == LIVE) {
            x.live = false, x.s = EMPTY;
            if (x.h.ptr != nullptr || x.h.magic != 0)
                ADD_FAILURE() << "seed " << seed << ": delete left the handle set";
        }
        return;
    case 5: // corrupt the magic
        if (s == LIVE)
            x.h.magic ^= 0x40, x.s = CORRUPT_LIVE;
        else if (s == EMPTY)
            x.h = {t::idx(0x5a5a), static_cast<int32_t>(rng() | 1) ^ CHRONEL_MAGIC, 0}, x.s = CORRUPT_DEAD;
        return;
    case 6: // zero a handle that holds no record
        if (s == EMPTY || s == CORRUPT_DEAD)
            x.h = {}, x.s = EMPTY;
        return;
    default: { // a create without a callback, or without a handle
        const bool cs = rng() % 2, none = rng() % 8 == 0;
        char text[96];
        snprintf(text, sizeof text, "Invalid parameters : %p-%p\n", none ? nullptr : static_cast<void *>(&x.h), none ? t::idx(1) : nullptr);
        got = (cs ? chronel_create_cs : chronel_create)(none ? nullptr : &x.h, none ? reinterpret_cast<void (*)(void *)>(1) : nullptr, arg);
        if (in_cb && !cs)
            expect_msg("Can't create new timer within timer callback!!\n");
        else
            expect_msg("Invalid parameters : %p-%p\n", text);
        check(-1, got, op, s);
    }
    }
}
void on_itself(void *arg) {
    Chain &c = *static_cast<Chain *>(arg);
    tally(nullptr);
    for (int n = static_cast<int>(c.rng() % 3); n >= 0 && c.budget > 0; n--, c.budget--)
        step(c.slot, static_cast<int>(c.rng() % 8), c.rng, true, on_itself, arg);
    if (c.slot.s == CORRUPT_LIVE)
        step(c.slot, 0, c.rng, true, on_itself, arg);
    if (c.slot.s != LIVE)
        c.slot.h = {}, c.slot.s = EMPTY, step(c.slot, 1, c.rng, true, on_itself, arg);
    timespec soon = t::ms(1);
    if (c.budget > 0)
        return check(0, chronel_settime(&c.slot.h, &soon, nullptr), 2, LIVE);
    check(0, chronel_delete(&c.slot.h), 4, LIVE);
    c.done = true;
}
void worker(int w, int ops, Chain &chain) {
    std::mt19937 rng(seed * 7919u + static_cast<unsigned>(w));
    chain.rng.seed(seed * 104729u + static_cast<unsigned>(w));
    chain.budget = ops / 4;
    chain.slot.s = LIVE;
    ASSERT_EQ(0, t::arm(&chain.slot.h, on_itself, &chain, 1));
    Slot slots[4];
    for (int k = 0; k < ops; k++) {
        Slot &x = slots[rng() % 4];
        step(x, static_cast<int>(rng() % 8), rng, false, fire, &x);
    }
    for (Slot &x : slots)
        for (int op : {0, 4})
            if (x.s == (op == 0 ? CORRUPT_LIVE : LIVE))
                step(x, op, rng, false, fire, &x);
}
} // namespace

TEST(Model, RandomOperationsGetThePredictedResultsAndMessages) {
    const char *s = getenv("CHRONELS_SEED"), *n = getenv("CHRONELS_OPS");
    seed = s != nullptr ? static_cast<unsigned>(atol(s)) : static_cast<unsigned>(time(nullptr));
    const int threads = 3, ops = (n != nullptr ? atoi(n) : 20000) / threads;
    printf("seed %u (CHRONELS_SEED=%u replays it)\n", seed, seed);
    ASSERT_EQ(0, chronel_init_default());
    const t::Held base = t::held(threads);
    Chain chains[threads];
    std::vector<std::thread> ts;
    for (int w = 0; w < threads; w++)
        ts.emplace_back(worker, w, ops, std::ref(chains[w]));
    for (auto &th : ts)
        th.join();
    for (Chain &c : chains)
        EXPECT_TRUE(t::wait_until([&] { return c.done.load(); }, 60)) << "seed " << seed << ": a chain stopped";
    EXPECT_EQ(0, after_delete + overlaps + wrong_thread) << "seed " << seed << ": callbacks after their delete, overlapping or elsewhere";
    EXPECT_TRUE(t::back_to(base)) << "seed " << seed << ": " << t::str(t::held()) << " left";
    std::vector<t::Entry> got = t::logs(); // every message predicted, none more
    size_t matched = 0;
    for (auto &[key, times] : predicted) {
        int seen = 0;
        for (const std::string &prefix : t::where(key.first))
            for (const t::Entry &e : got)
                seen += e.prio == LOG_CRIT && e.text == prefix + key.second;
        matched += static_cast<size_t>(seen);
        EXPECT_EQ(times, seen) << "seed " << seed << ": message " << key.second;
    }
    EXPECT_EQ(got.size(), matched) << "seed " << seed << ": unpredicted messages, e.g. " << got.back().text;
    printf("%d results, %zu messages, %d callbacks checked\n", checked.load(), got.size(), total.load());
}

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
    const int kept = 8, room = t::emulated() ? 12 : 48, cap = t::emulated() ? 40 : 4096;
    std::vector<chronel> h(cap + kept + 1);
    for (int i = 0; i < kept; i++)
        ASSERT_EQ(0, t::arm(&h[i], tally, t::idx(i), 5, 5));
    auto least = [&] { // of the kept timers' counts
        int m = hits[0];
        for (int i = 1; i < kept; i++)
            m = std::min(m, hits[i].load());
        return m;
    };
    auto kept_fire = [&] { return t::wait_until([&, from = least()] { return least() >= from + 3; }); };
    const rlim_t limit = static_cast<rlim_t>(t::sigq_used() + room);
    int made = kept, rc = 0;
    for (int round = 0; round < 2; round++) { // the second after deletes (each a request) freed slots
        t::SigLimit low(limit);
        t::clear_logs();
        while (made < cap + kept && (rc = (made % 2 ? chronel_create_cs : chronel_create)(&h[made], tally, t::idx(8))) == 0)
            made++;
        ASSERT_EQ(-1, rc) << "still no refusal after " << made << " timers";
        EXPECT_TRUE(h[made].ptr == nullptr && h[made].magic == 0 && (round == 0 || made > kept + 1));
        EXPECT_TRUE(t::logged("Sigqueue error %s\n", "Sigqueue error " + t::err(EAGAIN)) || // the step that found no slot
                    t::logged("CHRONEL_CREATE_FAIL %s\n", "CHRONEL_CREATE_FAIL " + t::err(EAGAIN)) ||
                    t::logged("timer_create fail: %m\n", "timer_create fail: " + t::err(EAGAIN)));
        EXPECT_EQ(t::Held(base.first < 0 ? -1 : base.first + made, base.second + made), t::held()) << "a refused create left something";
        EXPECT_TRUE(kept_fire()) << "timers stopped firing at the limit";
        for (t::SigLimit raised(limit + 64); made > kept + 1; made--)
            ASSERT_EQ(0, chronel_delete(&h[made - 1]));
        EXPECT_TRUE(t::back_to({base.first < 0 ? -1 : base.first + made, base.second + made}));
    }
    for (int i = 0; i < made; i++)
        EXPECT_EQ(0, chronel_delete(&h[i]));
    EXPECT_TRUE(t::back_to(base)) << t::str(t::held()) << " instead of " << t::str(base);
}

// After fork the child has no timer thread: its requests are refused and
// never reach the parent, until its own chronel_init.
// A child of a multi-threaded process: the thread sanitizer ends it when
// it starts threads, and qemu-user can abort in it.
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
        EXPECT_EQ(nullptr, fresh.ptr);
        EXPECT_TRUE(t::logs().size() == 4 && t::logged("Sigqueue error %s\n", "Sigqueue error " + t::err(ESRCH)));
        t::clear_logs();
        chronel_shutdown();
        EXPECT_TRUE(t::logged("Timer thread does not exist\n") && t::logs().size() == 1);
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
        chronel h = {};
        {
            t::SigLimit none(0); // no signal slot for the timer; %m is syslog's own
            EXPECT_EQ(-1, chronel_create_cs(&h, tally, nullptr));
        }
        union sigval null_value = {};
        EXPECT_EQ(0, sigqueue(getpid(), SIGRTMIN + 1, null_value)); // logged by the timer thread
        const std::string want[] = {t::where("Timer thread does not exist\n")[0] + "Timer thread does not exist\n",
                                    t::where("timer_create fail: %m\n")[0] + "timer_create fail: " + t::err(EAGAIN),
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
