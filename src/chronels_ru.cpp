// SPDX-License-Identifier: MIT
// libchronels: callback timers for the threads of one process.
//
// Every timer is a POSIX timer whose expiry is a queued real-time signal
// carrying the address of the timer's record. One timer thread takes the
// signals with sigwaitinfo and runs the callbacks, one at a time. Other
// threads hand work on system timers to that thread with a control signal
// aimed at it alone, and sleep on the record's condition until it is done.
//
// The file reads top to bottom: records and module state, the control
// request, the timer thread, the operations.

#include "chronels.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <limits>

#define CHRONEL_EXPORT extern "C" __attribute__((visibility("default")))

#define CHRONEL_STR2(x) #x
#define CHRONEL_STR(x) CHRONEL_STR2(x)
// Every message starts with its source location; keep each call on one line
// so that the line is that of the logging statement.
#define LOG(fmt, ...) syslog(LOG_CRIT, "[" __FILE__ ":" CHRONEL_STR(__LINE__) "] " fmt, ##__VA_ARGS__)

// ===========================================================================
// Records and module state
// ===========================================================================

namespace {

enum chronel_state : int32_t {
    CHRONEL_INVALID = 0,
    CHRONEL_CREATE_FAIL = 1,
    CHRONEL_CREATED = 2,
    CHRONEL_SETTIME_FAIL = 3,
    CHRONEL_SETTIME_PASS = 4,
};

enum chronel_cmd : int32_t {
    CHRONEL_CMD_CREATE = 0,
    CHRONEL_CMD_DELETE = 1,
    CHRONEL_CMD_SETTIME = 2,
};

// One record per timer, allocated zero-filled by a create and released by
// delete. The sender of a control request writes `command`, the outcome
// slot and the setting without a lock, then queues the control signal; the
// kernel's signal hand-over orders those writes before the timer thread's
// reads. The slots are atomics so that the same order is visible to the
// thread sanitizer: the sender's release store of `command` is the last
// write before queueing, the timer thread's acquire load of it the first
// read after taking the signal. Outcomes are posted under `mutex`.
struct __chronel {
    struct sigevent timeout_ev;
    timer_t timer;
    struct itimerspec timeout;
    struct itimerspec *active_timeout;
    // Cleared by delete on any thread, read by the timer thread at every
    // expiry: no lock on either side.
    std::atomic<void (*)(void *)> callback;
    void *arg;
    std::atomic<chronel_state> create_state;
    std::atomic<chronel_state> settime_state;
    std::atomic<chronel_cmd> command;
    pthread_cond_t cond;
    pthread_mutex_t mutex;
    // Beyond the shared layout, private to this file:
    int error;            // errno of a failed timer_create, for the sender
    bool made_here;       // made by chronel_create_cs: owns a system timer
                          // although create_state stays CHRONEL_INVALID
    bool needs_tombstone; // set with the DELETE outcome, under mutex
    // The setting guard (see "Applying a setting"): written where a setting
    // is applied and read where an expiry is dispatched, both only on the
    // serving timer thread; a hand-over orders them across threads.
    uint8_t guard; // GUARD_NONE, GUARD_DISARMED or GUARD_FIRST
    // One reference for the record's life, dropped by delete (or, for a
    // parked record, by the timer thread at its tombstone), and one for
    // each set or control in progress on another thread: a callback may
    // delete its timer while the call that armed it is still leaving the
    // handshake. The last one out releases the record.
    std::atomic<int> refs;
    uint32_t first_window_ns; // the guard's new first expiry falls in
    int64_t first_ns;         // [first_ns, first_ns + first_window_ns], CLOCK_MONOTONIC
};

enum : uint8_t { GUARD_NONE = 0, GUARD_DISARMED = 1, GUARD_FIRST = 2 };

static_assert(std::atomic<chronel_state>::is_always_lock_free, "state slots");
static_assert(std::atomic<void (*)(void *)>::is_always_lock_free, "callback slot");

// The start-up gate: a binary semaphore, because the timer thread releases
// it on behalf of the chronel_init that took it.
struct chronel_gate {
    pthread_mutex_t lock;
    pthread_cond_t free;
    bool held;
};

// One timer thread. It lives on that thread's stack and is reached only
// through `current`, `youngest` or a predecessor's `successor`, all under
// `ctl_lock`, and the thread unhooks itself from them before its stack goes.
struct generation {
    pid_t tid;
    pid_t pid;
    uid_t uid;
    int quit_sig;
    int ctrl_sig;
    int timer_sig;
    // Under ctl_lock:
    bool retired;           // told to stop, by chronel_shutdown or chronel_init
    bool waits;             // its predecessor has not ended yet
    generation *successor;  // started after it; waits for its end
    pthread_cond_t handover; // signalled when `waits` clears
};

} // namespace

// The signal numbers chosen by the last chronel_init; written only there,
// under tid_mutex. Records copy TIMER_SIG when filled; each timer thread
// copies all three when it starts. Atomic (relaxed) because a create may
// read TIMER_SIG while a second chronel_init rewrites it.
static std::atomic<int> TIMER_QUIT_SIG{0};
static std::atomic<int> TIMER_CTRL_SIG{0};
static std::atomic<int> TIMER_SIG{0};

// Kernel thread id of the current timer thread, 0 while there is none.
// Written by the timer thread at its start and by chronel_shutdown; read
// for the overflow message. Atomic rather than volatile so that those
// unlocked reads are well defined.
static std::atomic<pid_t> tid{0};

// Makes chronel_init and chronel_shutdown exclusive; the start-up gate.
static chronel_gate tid_mutex = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, false};

// The timer thread that takes new control requests, or null. Every signal
// aimed at a timer thread is queued while holding ctl_lock and only to
// `current`; a thread that ends first unhooks itself under the same lock,
// then fails what is still queued to it. So no request is queued to a
// thread that will not answer it, and no signal goes to an id that may
// belong to someone else by now.
static pthread_mutex_t ctl_lock = PTHREAD_MUTEX_INITIALIZER;
static generation *current;

// The thread started last that has not yet ended, or null; under ctl_lock.
// One timer thread serves at a time: a new thread waits for `youngest`
// before it, which hands over as the very last thing it does, after it has
// stopped taking signals, settled what was queued to it and stopped being
// a timer thread. Each thread waited for its own predecessor in turn, so
// once a thread serves, every older one is past its last touch of any
// record: nothing older can hold an expiry, run a callback or execute a
// request, and the one serving thread dispatches each expiry it takes
// before it takes the next.
static generation *youngest;

// Set on a timer thread to its own generation until it has handed over;
// the timer-thread test. A retired thread still in a callback is the timer
// thread for that callback: its calls work in place, where a request would
// wait for a successor that waits for it. A thread-local flag instead of
// gettid() == tid also spares a system call per operation; the fork
// handler clears it in the child.
static thread_local generation *self_gen __attribute__((tls_model("initial-exec")));

// Internal functions, in the order they appear below.
static __chronel *__check_chronel(chronel *user);       // record of a valid handle
static bool on_timer_thread();                          // the timer-thread test
static int queue_to(const generation *g, int sig, void *value); // aim a signal at one timer thread
static int send_request(__chronel *pt);                 // queue a control request
static chronel_state wait_while(__chronel *pt, std::atomic<chronel_state> &slot, chronel_state pending);
static void execute_request(__chronel *pt, bool ending);// a request, on the timer thread
static bool expiry_pending(__chronel *pt);              // may a stale expiry be queued?
static void release_record(__chronel *pt, bool tombstone);
static void drop_ref(__chronel *pt);                    // the last one out frees
static int apply_setting(__chronel *pt);                // timer_settime, and the guard
static bool setting_allows(__chronel *pt);              // may this expiry run its callback?
static int retire(generation *g);                       // tell the current thread to stop
static void end_generation(generation *gen);            // settle what is queued, hand over
static void *chronel_thread_loop(void *arg);
static int __chronel_settime(__chronel *pt);
static void __chronel_delete(__chronel *pt);
static __chronel *new_record(chronel *user, void (*callback)(void *), void *arg);
static int __chronel_create(chronel *user, void (*callback)(void *), void *arg, int clockId);

static int gate_unlock(chronel_gate *g) {
    pthread_mutex_lock(&g->lock);
    g->held = false;
    pthread_cond_signal(&g->free);
    return pthread_mutex_unlock(&g->lock);
}

static int gate_trylock(chronel_gate *g) {
    pthread_mutex_lock(&g->lock);
    int rc = g->held ? EBUSY : 0;
    g->held = true;
    pthread_mutex_unlock(&g->lock);
    return rc;
}

static void gate_lock(chronel_gate *g) {
    pthread_mutex_lock(&g->lock);
    while (g->held)
        pthread_cond_wait(&g->free, &g->lock);
    g->held = true;
    pthread_mutex_unlock(&g->lock);
}

// A forked child has only the thread that forked, and no timer thread: its
// requests are refused until it calls chronel_init itself. The locks are
// taken around fork so the child never inherits one held by a vanished
// thread.
static void fork_prepare() {
    pthread_mutex_lock(&tid_mutex.lock);
    pthread_mutex_lock(&ctl_lock);
}

static void fork_parent() {
    pthread_mutex_unlock(&ctl_lock);
    pthread_mutex_unlock(&tid_mutex.lock);
}

static void fork_child() {
    pthread_mutex_unlock(&ctl_lock);
    pthread_mutex_unlock(&tid_mutex.lock);
    current = nullptr;
    youngest = nullptr;
    self_gen = nullptr;
    tid.store(0, std::memory_order_relaxed);
    tid_mutex.held = false;
    // A waiter of the parent's would be a phantom in the child's copy.
    const pthread_cond_t fresh = PTHREAD_COND_INITIALIZER;
    memcpy(&tid_mutex.free, &fresh, sizeof fresh);
}

// Every exported function runs with cancellation off and restores the
// caller's state on return: a thread cancelled inside a call would leave a
// record's mutex held or a request half-made, and stall every timer. A
// cancellation asked for meanwhile acts at the caller's next cancellation
// point.
struct no_cancel {
    int old;
    no_cancel() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old); }
    ~no_cancel() { pthread_setcancelstate(old, nullptr); }
};

__attribute__((constructor)) static void chronel_load() {
    pthread_atfork(fork_prepare, fork_parent, fork_child);
}

static __chronel *__check_chronel(chronel *user) {
    if (user == nullptr || user->magic != CHRONEL_MAGIC)
        return nullptr;
    return static_cast<__chronel *>(user->ptr);
}

static bool on_timer_thread() { return self_gen != nullptr; }

// ===========================================================================
// The control request
// ===========================================================================

// Sender side: the caller has written the outcome slot and, last, `command`.
// The signal goes to the current timer thread alone (a process-directed
// signal could be taken by an older timer thread still finishing a callback).
static int queue_to(const generation *g, int sig, void *value) {
    siginfo_t si;
    memset(&si, 0, sizeof si);
    si.si_signo = sig;
    si.si_code = SI_QUEUE;
    si.si_pid = g->pid;
    si.si_uid = g->uid;
    si.si_value.sival_ptr = value;
    return static_cast<int>(syscall(SYS_rt_tgsigqueueinfo, g->pid, g->tid, sig, &si));
}

static int send_request(__chronel *pt) {
    pthread_mutex_lock(&ctl_lock);
    int rc = -1;
    if (current == nullptr)
        errno = ESRCH;
    else
        rc = queue_to(current, current->ctrl_sig, pt);
    pthread_mutex_unlock(&ctl_lock);
    if (rc != 0)
        LOG("Sigqueue error %s\n", strerror(errno));
    return rc;
}

// Sleeps until the outcome slot leaves `pending`; returns the outcome, read
// under the mutex so that nothing of the record is touched after the unlock.
static chronel_state wait_while(__chronel *pt, std::atomic<chronel_state> &slot, chronel_state pending) {
    pthread_mutex_lock(&pt->mutex);
    chronel_state s;
    while ((s = slot.load(std::memory_order_relaxed)) == pending)
        pthread_cond_wait(&pt->cond, &pt->mutex);
    pthread_mutex_unlock(&pt->mutex);
    return s;
}

// Receiver side, on the timer thread. `ending` is set while a thread that
// has stopped serving fails what was still queued to it: creates and sets
// are refused, deletes are carried out, since their sender will release
// the record as soon as it wakes.
static void execute_request(__chronel *pt, bool ending) {
    chronel_cmd cmd = pt->command.load(std::memory_order_acquire); // before any other touch
    pthread_mutex_lock(&pt->mutex);
    if (cmd == CHRONEL_CMD_CREATE && pt->create_state.load(std::memory_order_relaxed) != CHRONEL_CREATED) {
        if (ending) {
            pt->error = ESRCH;
            pt->create_state.store(CHRONEL_CREATE_FAIL, std::memory_order_relaxed);
        } else if (timer_create(CLOCK_MONOTONIC, &pt->timeout_ev, &pt->timer) != 0) {
            pt->error = errno;
            LOG("timer_create fail: %s\n", strerror(errno));
            pt->create_state.store(CHRONEL_CREATE_FAIL, std::memory_order_relaxed);
        } else {
            pt->create_state.store(CHRONEL_CREATED, std::memory_order_relaxed);
        }
    } else if (cmd == CHRONEL_CMD_DELETE) {
        if (timer_delete(pt->timer) != 0)
            LOG("timer_delete fail: %s\n", strerror(errno));
        pt->needs_tombstone = expiry_pending(pt);
        pt->create_state.store(CHRONEL_INVALID, std::memory_order_relaxed);
    } else if (cmd == CHRONEL_CMD_SETTIME) {
        bool applied = !ending && apply_setting(pt) == 0;
        pt->settime_state.store(applied ? CHRONEL_SETTIME_PASS : CHRONEL_SETTIME_FAIL, std::memory_order_relaxed);
    }
    pthread_cond_broadcast(&pt->cond);
    pthread_mutex_unlock(&pt->mutex);
}

// ---------------------------------------------------------------------------
// The stale-expiry guard.
//
// An expiry signal may still be queued when its timer is deleted: older
// kernels keep it and deliver it later with the record's address. A record
// is therefore freed only when no such signal can exist:
//  - right after timer_delete, if the record's expiry signal is not pending
//    at all (no new expiry can be queued once the system timer is gone, and
//    no timer thread holds one: the one serving thread is the thread
//    deleting, or it is executing the DELETE request, and no older one
//    lives);
//  - otherwise the record is parked and a tombstone, the same signal with
//    the record's address plus one, is queued to the process behind the
//    stale expiries. Signals of one real-time number are taken in the order
//    queued, so when the timer thread takes the tombstone every earlier
//    expiry of the record has been passed over (its callback slot is null),
//    and it frees the record then. The address cannot be reused before.
// Dispatch pays one bit test; a delete pays one sigpending, and a queued
// signal only while expiries are pending.
// ---------------------------------------------------------------------------

static bool expiry_pending(__chronel *pt) {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return sigismember(&pending, pt->timeout_ev.sigev_signo) == 1;
}

// Ends the record's life: now, or when its tombstone comes through.
static void release_record(__chronel *pt, bool tombstone) {
    if (tombstone) {
        union sigval v;
        v.sival_ptr = reinterpret_cast<char *>(pt) + 1;
        int sig = pt->timeout_ev.sigev_signo;
        // The life reference passes to the tombstone. This store is the last
        // touch of the record here; the timer thread loads it before the end.
        pt->command.store(CHRONEL_CMD_DELETE, std::memory_order_release);
        if (sigqueue(getpid(), sig, v) != 0)
            LOG("Sigqueue error %s\n", strerror(errno)); // parked for good: safer than a use after free
        return;
    }
    drop_ref(pt);
}

// The acquire-release count orders every other thread's last touch of the
// record before the release, as the signal hand-over does in time.
static void drop_ref(__chronel *pt) {
    if (pt->refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    if (pthread_mutex_destroy(&pt->mutex) != 0)
        LOG("Mutex is busy\n");
    if (pthread_cond_destroy(&pt->cond) != 0)
        LOG("Condition is busy\n");
    free(pt);
}

// ---------------------------------------------------------------------------
// Applying a setting.
//
// Once a pause or a new setting has returned, an expiry of the old setting
// that was still pending runs no callback, and every expiry of the new one
// runs one. Recent kernels drop such a pending expiry themselves; older ones
// (Linux 6.1 among them) deliver it afterwards. So when an expiry may be
// pending as a setting is applied, the record gets a guard that dispatch
// consults: a disarmed timer runs nothing, an armed one nothing before the
// earliest moment its new first expiry can fall. That moment is read before
// timer_settime, so a real expiry is never taken for a stale one; for the
// few microseconds that the kernel's own arming may lag it, the timer is
// asked whether its first expiry is still ahead. The first expiry that runs
// lowers the guard: the kernel keeps at most one expiry signal per timer
// and merges later expiries into it, so nothing older can follow.
// Dispatch pays one load while no guard is up.
// ---------------------------------------------------------------------------

static int64_t monotonic_ns() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// t + d for a clock reading t and a normalised d, saturating: a setting may
// be as long as time_t allows. A bound instead of a division: no 64-bit
// division helper for 32-bit targets.
static int64_t ns_after(int64_t t, const struct timespec &d) {
    const int64_t max_sec = 4000000000; // 126 years, beyond any uptime
    if (int64_t{d.tv_sec} >= max_sec)
        return std::numeric_limits<int64_t>::max();
    return t + int64_t{d.tv_sec} * 1000000000 + d.tv_nsec;
}

// On the serving timer thread: in place, or for a request.
static int apply_setting(__chronel *pt) {
    const struct itimerspec *set = pt->active_timeout;
    int64_t before = monotonic_ns();
    if (timer_settime(pt->timer, 0, set, nullptr) != 0) {
        LOG("timer_settime error %s\n", strerror(errno));
        return -1;
    }
    uint8_t guard = GUARD_NONE;
    if (expiry_pending(pt)) {
        bool disarmed = set->it_value.tv_sec == 0 && set->it_value.tv_nsec == 0;
        guard = disarmed ? GUARD_DISARMED : GUARD_FIRST;
        int64_t took = monotonic_ns() - before;
        pt->first_ns = ns_after(before, set->it_value);
        pt->first_window_ns = static_cast<uint32_t>(std::min<int64_t>(took, UINT32_MAX));
    }
    pt->guard = guard;
    return 0;
}

// Dispatch's slow path, taken only while the record's guard is up.
static bool setting_allows(__chronel *pt) {
    bool run = pt->guard != GUARD_DISARMED;
    if (pt->guard == GUARD_FIRST) {
        int64_t now = monotonic_ns();
        if (now < pt->first_ns) {
            run = false;
        } else if (now - pt->first_ns < pt->first_window_ns) { // ask the timer
            struct itimerspec left;
            run = timer_gettime(pt->timer, &left) != 0 || (left.it_value.tv_sec == 0 && left.it_value.tv_nsec == 0) ||
                  ns_after(now, left.it_value) > pt->first_ns + pt->first_window_ns;
        }
        if (run)
            pt->guard = GUARD_NONE;
    }
    return run;
}

// ===========================================================================
// The timer thread
// ===========================================================================

// Under ctl_lock, on the current thread. The stop signal takes a queue slot
// and can be refused (RLIMIT_SIGPENDING); SIGIO, a standard signal, is made
// pending even then, so the thread still wakes, and being retired it ends
// without an overflow message. Lost, the stop would leave a thread serving
// that nobody can reach, and its successor waiting for it for ever.
static int retire(generation *g) {
    g->retired = true;
    current = nullptr;
    int rc = queue_to(g, g->quit_sig, nullptr);
    if (rc != 0) {
        int e = errno;
        syscall(SYS_tgkill, g->pid, g->tid, SIGIO);
        errno = e;
    }
    return rc;
}

// Fail whatever is still queued to this thread, after it stopped taking
// new requests: no sender is left waiting for a thread that has gone. Then
// hand over to the successor, if one waits.
static void end_generation(generation *gen) {
    pthread_mutex_lock(&ctl_lock);
    if (current == gen)
        current = nullptr;
    pthread_mutex_unlock(&ctl_lock);

    sigset_t ctrl;
    sigemptyset(&ctrl);
    sigaddset(&ctrl, gen->ctrl_sig);
    const struct timespec now = {0, 0};
    siginfo_t si;
    while (sigtimedwait(&ctrl, &si, &now) == gen->ctrl_sig) {
        __chronel *pt = static_cast<__chronel *>(si.si_value.sival_ptr);
        if (pt == nullptr)
            continue;
        if (pt->command.load(std::memory_order_acquire) != CHRONEL_CMD_DELETE)
            LOG("Timer thread ended before the request ran\n");
        execute_request(pt, true);
    }
    self_gen = nullptr;

    pthread_mutex_lock(&ctl_lock);
    if (gen->successor != nullptr) {
        gen->successor->waits = false;
        pthread_cond_signal(&gen->successor->handover);
    }
    if (youngest == gen)
        youngest = nullptr;
    pthread_mutex_unlock(&ctl_lock);
    pthread_cond_destroy(&gen->handover);
}

static void *chronel_thread_loop(void *) {
    // A callback must not end this thread: nothing it calls may cancel it.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    pthread_setname_np(pthread_self(), "chronels"); // for top -H and ps -L
    generation gen;
    gen.quit_sig = TIMER_QUIT_SIG;
    gen.ctrl_sig = TIMER_CTRL_SIG;
    gen.timer_sig = TIMER_SIG;
    gen.pid = getpid();
    gen.uid = getuid();
    gen.tid = static_cast<pid_t>(syscall(SYS_gettid));
    gen.retired = false;
    gen.successor = nullptr;
    pthread_cond_init(&gen.handover, nullptr);

    const int dispositions[3] = {gen.timer_sig, gen.quit_sig, gen.ctrl_sig};
    for (int sig : dispositions) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = SIG_DFL;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_SIGINFO;
        if (sigaction(sig, &sa, nullptr) != 0) {
            LOG("sigaction failed wtih error %s\n", strerror(errno));
            break;
        }
    }

    // Blocked already, with every other real-time signal, since chronel_init
    // created this thread with them blocked.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, gen.quit_sig);
    sigaddset(&set, gen.ctrl_sig);
    sigaddset(&set, gen.timer_sig);
    sigaddset(&set, SIGIO);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    self_gen = &gen;
    pthread_mutex_lock(&ctl_lock);
    current = &gen;
    gen.waits = youngest != nullptr;
    if (youngest != nullptr)
        youngest->successor = &gen;
    youngest = &gen;
    tid.store(gen.tid, std::memory_order_relaxed);
    pthread_mutex_unlock(&ctl_lock);
    gate_unlock(&tid_mutex);

    // Requests and expiries wait in the signal queues meanwhile.
    pthread_mutex_lock(&ctl_lock);
    while (gen.waits)
        pthread_cond_wait(&gen.handover, &ctl_lock);
    bool serve = !gen.retired;
    pthread_mutex_unlock(&ctl_lock);

    while (serve) {
        siginfo_t si;
        int sig = sigwaitinfo(&set, &si);
        if (sig < 0) {
            LOG("sigwaitinfo : %s\n", strerror(errno));
            continue;
        }
        // The dispatch path: one wait, one test, one indirect call.
        if (__builtin_expect(sig == gen.timer_sig, 1)) {
            uintptr_t v = reinterpret_cast<uintptr_t>(si.si_value.sival_ptr);
            __chronel *pt = reinterpret_cast<__chronel *>(v);
            if (__builtin_expect((v & 1) == 0 && pt != nullptr, 1)) {
                void (*cb)(void *) = pt->callback.load(std::memory_order_acquire);
                if (cb != nullptr && (pt->guard == GUARD_NONE || setting_allows(pt)))
                    cb(pt->arg);
                continue;
            }
            if (pt != nullptr) { // a tombstone: every earlier expiry of its record is taken
                pt = reinterpret_cast<__chronel *>(v - 1);
                (void)pt->command.load(std::memory_order_acquire); // the releaser's last store
                drop_ref(pt);
                continue;
            }
        }
        if (sig == gen.quit_sig)
            break;
        if (sig == SIGIO) {
            pthread_mutex_lock(&ctl_lock);
            bool asked = gen.retired; // a stop that found no queue slot
            pthread_mutex_unlock(&ctl_lock);
            if (!asked)
                LOG("Timer queue overflow for pid %d\n", static_cast<int>(tid.load(std::memory_order_relaxed)));
            break;
        }
        __chronel *pt = static_cast<__chronel *>(si.si_value.sival_ptr);
        if (pt == nullptr) {
            LOG("Got signal %d without any sival_ptr\n", sig);
            continue;
        }
        if (sig == gen.ctrl_sig)
            execute_request(pt, false);
    }
    end_generation(&gen);
    return nullptr;
}

CHRONEL_EXPORT int chronel_init(int priority, int timer_signo) {
    no_cancel guard;
    int policy = SCHED_OTHER;
    int rc = gate_trylock(&tid_mutex);
    if (rc != 0) {
        LOG("Could not get timer creation mutex : %s\n", strerror(rc));
        return -1;
    }

    int base = (timer_signo >= SIGRTMIN && timer_signo <= SIGRTMAX - 2) ? timer_signo : SIGRTMIN;
    TIMER_QUIT_SIG = base;
    TIMER_CTRL_SIG = base + 1;
    TIMER_SIG = base + 2;

    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, TIMER_QUIT_SIG);
    sigaddset(&set, TIMER_CTRL_SIG);
    sigaddset(&set, TIMER_SIG);
    sigprocmask(SIG_BLOCK, &set, nullptr);

    struct sched_param param;
    memset(&param, 0, sizeof param);
    sched_getparam(0, &param);
    if (getuid() != 0 || priority == 0) {
        param.sched_priority = 0;
    } else if (priority >= sched_get_priority_min(SCHED_FIFO) && priority < sched_get_priority_max(SCHED_FIFO)) {
        policy = SCHED_FIFO;
        param.sched_priority = priority;
    }

    // Only one timer thread takes requests: a running one is told to stop
    // (what is queued to it is failed, not lost); the new one serves once
    // it has ended.
    pthread_mutex_lock(&ctl_lock);
    if (current != nullptr)
        retire(current);
    pthread_mutex_unlock(&ctl_lock);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setschedpolicy(&attr, policy);
    pthread_attr_setschedparam(&attr, &param);
    // The thread starts with every real-time signal and SIGIO blocked: it
    // must never take a signal of another base, whose default action ends
    // the process, nor SIGIO before it serves.
    sigset_t all, old;
    sigemptyset(&all);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
        sigaddset(&all, sig);
    sigaddset(&all, SIGIO);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    pthread_t thread;
    rc = pthread_create(&thread, &attr, chronel_thread_loop, nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        // Nobody would open the gate: open it here and report.
        LOG("Could not start timer thread : %s\n", strerror(rc));
        gate_unlock(&tid_mutex);
        return -1;
    }

    gate_lock(&tid_mutex);
    gate_unlock(&tid_mutex);
    return 0;
}

CHRONEL_EXPORT int chronel_init_default(void) {
    no_cancel guard;
    return chronel_init(0, SIGRTMIN);
}

CHRONEL_EXPORT void chronel_shutdown(void) {
    no_cancel guard;
    int rc = gate_trylock(&tid_mutex);
    if (rc != 0) {
        LOG("Could not get timer creation mutex : %s\n", strerror(rc));
        return;
    }
    pthread_mutex_lock(&ctl_lock);
    if (tid.load(std::memory_order_relaxed) == 0 || current == nullptr) {
        // Also after an overflow: the ended thread's id may be anyone's now.
        LOG("Timer thread does not exist\n");
        tid.store(0, std::memory_order_relaxed);
    } else if (on_timer_thread()) {
        LOG("You can't do that!!\n");
    } else {
        if (retire(current) != 0)
            LOG("sigqueue : %s\n", strerror(errno));
        tid.store(0, std::memory_order_relaxed);
    }
    pthread_mutex_unlock(&ctl_lock);
    rc = gate_unlock(&tid_mutex);
    if (rc != 0)
        LOG("pthread_mutex_unlock : %s\n", strerror(rc));
}

// ===========================================================================
// The operations
// ===========================================================================

// The record both create paths start from: arguments checked, zero-filled,
// its notification naming itself, its handshake prepared. A record made in
// place gets the handshake too, so that it is set and deleted from any
// thread like any other; preparing never waits.
static __chronel *new_record(chronel *user, void (*callback)(void *), void *arg) {
    if (callback == nullptr || user == nullptr) {
        LOG("Invalid parameters : %p-%p\n", static_cast<void *>(user), reinterpret_cast<void *>(callback));
        return nullptr;
    }
    if (user->magic == CHRONEL_MAGIC) {
        LOG("Timer is already created\n");
        return nullptr;
    }
    __chronel *pt = static_cast<__chronel *>(calloc(1, sizeof(__chronel)));
    if (pt == nullptr) {
        LOG("Not enough memory\n");
        return nullptr;
    }
    pt->callback.store(callback, std::memory_order_relaxed);
    pt->arg = arg;
    pt->timeout_ev.sigev_notify = SIGEV_SIGNAL;
    pt->timeout_ev.sigev_signo = TIMER_SIG;
    pt->timeout_ev.sigev_value.sival_ptr = pt;
    pthread_cond_init(&pt->cond, nullptr);
    pthread_mutex_init(&pt->mutex, nullptr);
    pt->refs.store(1, std::memory_order_relaxed);
    return pt;
}

CHRONEL_EXPORT int chronel_create(chronel *user, void (*callback)(void *), void *arg) {
    no_cancel guard;
    if (on_timer_thread()) {
        LOG("Can't create new timer within timer callback!!\n");
        return -1;
    }
    __chronel *pt = new_record(user, callback, arg);
    if (pt == nullptr)
        return -1;
    pt->create_state.store(CHRONEL_INVALID, std::memory_order_relaxed);
    pt->command.store(CHRONEL_CMD_CREATE, std::memory_order_release);
    if (send_request(pt) != 0) {
        __chronel_delete(pt);
        return -1;
    }
    if (wait_while(pt, pt->create_state, CHRONEL_INVALID) == CHRONEL_CREATE_FAIL) {
        // The reason is the timer thread's, carried back in the record.
        LOG("CHRONEL_CREATE_FAIL %s\n", strerror(pt->error));
        __chronel_delete(pt);
        return -1;
    }
    user->ptr = pt;
    user->magic = CHRONEL_MAGIC;
    return 0;
}

static int __chronel_settime(__chronel *pt) {
    if (on_timer_thread())
        return apply_setting(pt);
    pt->refs.fetch_add(1, std::memory_order_relaxed); // the caller's own life reference covers this
    pt->settime_state.store(CHRONEL_INVALID, std::memory_order_relaxed);
    pt->command.store(CHRONEL_CMD_SETTIME, std::memory_order_release);
    int rc = -1;
    if (send_request(pt) == 0)
        rc = wait_while(pt, pt->settime_state, CHRONEL_INVALID) == CHRONEL_SETTIME_FAIL ? -1 : 0;
    drop_ref(pt);
    return rc;
}

CHRONEL_EXPORT int chronel_settime(chronel *user, struct timespec *itime, struct timespec *rtime) {
    no_cancel guard;
    __chronel *pt = __check_chronel(user);
    if (pt == nullptr) {
        LOG("Invalid chronel\n");
        return -1;
    }
    static const struct timespec zero = {0, 0};
    pt->timeout.it_value = itime != nullptr ? *itime : zero;
    pt->timeout.it_interval = rtime != nullptr ? *rtime : zero;
    pt->active_timeout = &pt->timeout;
    return __chronel_settime(pt);
}

CHRONEL_EXPORT int chronel_control(chronel *user, bool enable) {
    no_cancel guard;
    struct itimerspec disabled;
    memset(&disabled, 0, sizeof disabled);
    __chronel *pt = __check_chronel(user);
    if (pt == nullptr) {
        LOG("Invalid chronel\n");
        return -1;
    }
    pt->active_timeout = enable ? &pt->timeout : &disabled;
    return __chronel_settime(pt);
}

static void __chronel_delete(__chronel *pt) {
    if (pt == nullptr)
        return;
    pt->callback.store(nullptr, std::memory_order_release);
    bool tombstone = false;
    if (pt->create_state.load(std::memory_order_relaxed) == CHRONEL_CREATED || pt->made_here) {
        if (on_timer_thread()) {
            if (timer_delete(pt->timer) != 0)
                LOG("timer_delete %m\n");
            tombstone = expiry_pending(pt);
        } else {
            // A record made in place has no CREATED state to wait on; give
            // it one, so both kinds share the DELETE handshake.
            pt->create_state.store(CHRONEL_CREATED, std::memory_order_relaxed);
            pt->command.store(CHRONEL_CMD_DELETE, std::memory_order_release);
            if (send_request(pt) != 0)
                return;
            wait_while(pt, pt->create_state, CHRONEL_CREATED);
            pthread_mutex_lock(&pt->mutex);
            tombstone = pt->needs_tombstone;
            pthread_mutex_unlock(&pt->mutex);
        }
    }
    release_record(pt, tombstone);
}

CHRONEL_EXPORT int chronel_delete(chronel *user) {
    no_cancel guard;
    __chronel *pt = __check_chronel(user);
    if (pt == nullptr) {
        LOG("Invalid chronel\n");
        return -1;
    }
    user->ptr = nullptr;
    user->magic = 0;
    __chronel_delete(pt);
    return 0;
}

static int __chronel_create(chronel *user, void (*callback)(void *), void *arg, int clockId) {
    __chronel *pt = new_record(user, callback, arg);
    if (pt == nullptr)
        return -1;
    if (timer_create(clockId, &pt->timeout_ev, &pt->timer) != 0) {
        LOG("timer_create fail: %m\n");
        release_record(pt, false);
        return -1;
    }
    pt->made_here = true;
    // Publishes the filled record to the timer thread, which may take one
    // of its expiries as soon as another thread arms it.
    pt->command.store(CHRONEL_CMD_CREATE, std::memory_order_release);
    user->ptr = pt;
    user->magic = CHRONEL_MAGIC;
    return 0;
}

CHRONEL_EXPORT int chronel_create_cs(chronel *user, void (*callback)(void *), void *arg) {
    no_cancel guard;
    if (user != nullptr)
        user->isabstime = 1;
    return __chronel_create(user, callback, arg, CLOCK_REALTIME);
}
