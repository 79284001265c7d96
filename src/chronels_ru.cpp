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
// request, stale expiries and settings, the timer thread, the operations.

#include "chronels.h"

#include <errno.h>
#include <limits.h> // PTHREAD_STACK_MIN
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <ucontext.h>
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

// One record per timer, allocated zero-filled by a create and released
// once deleted. The sender of a control request writes the setting, the
// outcome slot and, last, `command` without a lock, then queues the control
// signal: the kernel's hand-over orders those writes before the timer
// thread's reads. The slots are atomics so that the thread sanitizer sees
// the same order: the release store of `command` pairs with the timer
// thread's acquire load of it, its first read after taking the signal.
// Outcomes are posted under `mutex`.
struct __chronel {
    struct sigevent timeout_ev; // fixed at creation
    timer_t timer;              // fixed at creation
    // The stored setting and what the next apply hands to timer_settime:
    // written by the caller of a set or control, read by the timer thread
    // that applies it (ordered by `command`).
    struct itimerspec timeout;
    struct itimerspec *active_timeout;
    // Cleared by delete on any thread, read by the timer thread at every
    // expiry: no lock on either side.
    std::atomic<void (*)(void *)> callback;
    void *arg; // fixed at creation
    std::atomic<chronel_state> create_state;
    std::atomic<chronel_state> settime_state;
    std::atomic<chronel_cmd> command;
    pthread_cond_t cond;
    pthread_mutex_t mutex;
    // Beyond the shared layout, private to this file:
    int16_t error;        // errno of a failed request, posted with its outcome under `mutex`
    uint16_t fork_gen;    // the process generation it was made in (see fork_child)
    bool needs_tombstone; // posted with the DELETE outcome, under `mutex`
    // The setting guard (see "Applying a setting"): written where a setting
    // is applied and read where an expiry is dispatched, both only on the
    // serving timer thread; a hand-over orders them across threads.
    uint8_t guard; // GUARD_NONE, GUARD_DISARMED or GUARD_FIRST
    bool realtime; // on CLOCK_REALTIME (chronel_create_cs); fixed at creation
    bool absolute; // `timeout.it_value` is a deadline; written with `timeout`
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
static_assert(std::atomic<int>::is_always_lock_free, "read in a signal handler");

// One timer thread. It lives on that thread's stack and is reached only
// through `current`, `youngest` or a predecessor's `successor`, all under
// `ctl_lock`, and the thread unhooks itself from them before its stack goes.
struct generation {
    // Fixed once the thread has registered:
    pid_t tid;
    pid_t pid;
    uid_t uid;
    int quit_sig;
    int ctrl_sig;
    int timer_sig;
    sigset_t waits_for; // the three signals and SIGIO
    // Under ctl_lock:
    bool retired;            // told to stop, by chronel_shutdown or a newer thread
    bool waits;              // its predecessor has not ended yet
    generation *successor;   // started after it; waits for its end
    pthread_cond_t handover; // signalled when `waits` clears
    // Its own, for chronel_overrun: the merged expiries of the expiry
    // being dispatched.
    int overrun;
    int old_timer_sig; // to drain once it serves, or 0 (see old_timer_sig); under ctl_lock
};

} // namespace

// The signal numbers chosen by the last chronel_init: written there under
// tid_mutex and ctl_lock. Records copy TIMER_SIG when made (under
// ctl_lock); each timer thread copies all three when it starts. Atomic
// because the signal handler reads them.
static std::atomic<int> TIMER_QUIT_SIG{0};
static std::atomic<int> TIMER_CTRL_SIG{0};
static std::atomic<int> TIMER_SIG{0};

// Makes chronel_init and chronel_shutdown exclusive: each only tries it.
static pthread_mutex_t tid_mutex = PTHREAD_MUTEX_INITIALIZER;

// ctl_lock protects the timer threads' hand-over: `current`, `youngest`,
// `registered`, `records`, the generations' shared fields, and the choice
// of signal numbers. Every signal aimed at a timer thread is queued while
// holding it and only to `current`; a thread that ends first unhooks
// itself under the same lock. So no signal goes to an id that may belong
// to someone else by now.
static pthread_mutex_t ctl_lock = PTHREAD_MUTEX_INITIALIZER;

// The timer thread that takes new requests, or null while none does.
static generation *current;

// The thread started last that has not yet ended, or null. One timer
// thread serves at a time: a new thread waits for `youngest` before it,
// which hands over as the very last thing it does, after it has stopped
// taking signals, passed on what was queued to it and stopped being a
// timer thread. Each thread waited for its own predecessor in turn, so once
// a thread serves, every older one is past its last touch of any record:
// nothing older can hold an expiry, run a callback or execute a request.
static generation *youngest;

// Set by a new timer thread once it is `current`; chronel_init waits for
// it, so that it returns with the new thread taking requests.
static bool registered;
// Broadcast, under ctl_lock, when a thread registers or ends.
static pthread_cond_t threads_changed = PTHREAD_COND_INITIALIZER;

// Records made and not yet deleted: while there are any, the signal
// numbers they were made with must stay the timer thread's. A delete
// counts its record out only once its tombstone, if any, is queued.
static int records;

// The expiry signal of the numbers chosen before the last change, set by
// chronel_init and taken by the thread it starts: tombstones of records
// deleted before the change still wait there, and stale expiries.
static int old_timer_sig;

// Advanced by the fork handler in the child: a record made in another
// generation belongs to the parent, and its timer id may name a timer of
// the child's. Written only while the child is single-threaded.
static uint16_t fork_generation;

// Signal handlers passing on a stray signal right now (see forward_stray).
static std::atomic<int> forwarding{0};

// Set on a timer thread to its own generation until it has handed over;
// the timer-thread test. A retired thread still in a callback is the timer
// thread for that callback: its calls work in place, where a request would
// wait for a successor that waits for it. Cleared in a forked child.
static thread_local generation *self_gen __attribute__((tls_model("initial-exec")));

// Internal functions, in the order they appear below.
static __chronel *__check_chronel(chronel *user);       // record of a valid handle
static bool on_timer_thread();                          // the timer-thread test
static int fail(int e);                                 // errno = e, -1
static bool times_valid(const struct timespec *a, const struct timespec *b);
static int queue_to(const generation *g, int sig, void *value); // aim a signal at one timer thread
static int request(__chronel *pt, chronel_cmd cmd);     // hand a command over, wait for its outcome
static void execute_request(__chronel *pt, bool ending);// a request, on the timer thread
static bool expiry_pending(__chronel *pt);              // may a stale expiry be queued?
static void release_record(__chronel *pt, bool tombstone);
static void drop_ref(__chronel *pt);                    // the last one out frees
static int apply_setting(__chronel *pt);                // timer_settime, and the guard
static bool setting_allows(__chronel *pt);              // may this expiry run its callback?
static void forward_stray(int sig, siginfo_t *si, void *ctx); // an expiry on another thread
static int retire(generation *g);                       // tell a timer thread to stop
static void start(generation *gen);                     // register as the current thread
static bool await_turn(generation *gen);                // until the predecessor has ended
static void drain_old_expiries(generation *gen);        // after a change of signal numbers
static void serve(generation *gen);                     // take signals until told to stop
static bool dispatch_one(generation *gen, int sig, const siginfo_t &si); // all but the fast path
static void end_generation(generation *gen);            // pass on what is queued, hand over
static void *chronel_thread_loop(void *arg);
static int start_thread(int policy, int priority);
static int __chronel_settime(__chronel *pt);
static int set(chronel *user, struct timespec *first, struct timespec *period, bool absolute);
static bool serving_after_the_ended();                  // no thread, or one that serves
static void __chronel_delete(__chronel *pt);
static __chronel *new_record(chronel *user, void (*callback)(void *), void *arg);
static int __chronel_create(chronel *user, void (*callback)(void *), void *arg, int clockId);

// A forked child has only the thread that forked, and no timer thread: its
// requests are refused until it calls chronel_init itself, and the records
// it inherited are refused for good. The locks are taken around fork so the
// child never inherits one held by a vanished thread.
static void fork_prepare() {
    pthread_mutex_lock(&tid_mutex);
    pthread_mutex_lock(&ctl_lock);
}

static void fork_parent() {
    pthread_mutex_unlock(&ctl_lock);
    pthread_mutex_unlock(&tid_mutex);
}

static void fork_child() {
    fork_generation++;
    current = nullptr;
    youngest = nullptr;
    registered = false;
    records = 0; // the parent's: refused here, never freed here
    old_timer_sig = 0;
    if (self_gen != nullptr) {
        // Forked inside a callback: the copy of the timer loop ends in the
        // child once the callback returns, or the child would have two
        // dispatchers after its own chronel_init.
        generation *gen = self_gen;
        self_gen = nullptr;
        gen->pid = getpid();
        gen->tid = static_cast<pid_t>(syscall(SYS_gettid));
        gen->successor = nullptr;
        retire(gen);
    }
    pthread_mutex_unlock(&ctl_lock);
    pthread_mutex_unlock(&tid_mutex);
}

// Every exported function runs with cancellation off and restores the
// caller's state on return: a thread cancelled inside a call would leave a
// record's mutex held or a request half-made, and stall every timer. A
// cancellation asked for meanwhile acts at the caller's next cancellation
// point.
struct uncancellable {
    int old;
    uncancellable() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old); }
    ~uncancellable() { pthread_setcancelstate(old, nullptr); }
};

__attribute__((constructor)) static void chronel_load() {
    pthread_atfork(fork_prepare, fork_parent, fork_child);
}

static __chronel *__check_chronel(chronel *user) {
    if (user == nullptr || user->magic != CHRONEL_MAGIC)
        return nullptr;
    __chronel *pt = static_cast<__chronel *>(user->ptr);
    return pt != nullptr && pt->fork_gen == fork_generation ? pt : nullptr;
}

static bool on_timer_thread() { return self_gen != nullptr; }

static int fail(int e) {
    errno = e;
    return -1;
}

// Checked before anything is stored, so that a refused set keeps the
// previous setting.
static bool times_valid(const struct timespec *a, const struct timespec *b) {
    for (const struct timespec *t : {a, b})
        if (t != nullptr && (t->tv_sec < 0 || t->tv_nsec < 0 || t->tv_nsec >= 1000000000))
            return false;
    return true;
}

// ===========================================================================
// The control request
// ===========================================================================

// A signal for one thread of this process, marked as queued by it: the
// timer thread takes requests, stops and tombstones only from its own pid.
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

// Sender side: returns the outcome the timer thread posted, or -1 (errno
// set) when no thread could be asked. A delete that cannot be sent is not
// an error: its caller does the work itself.
static int request(__chronel *pt, chronel_cmd cmd) {
    std::atomic<chronel_state> &slot = cmd == CHRONEL_CMD_SETTIME ? pt->settime_state : pt->create_state;
    const chronel_state pending = cmd == CHRONEL_CMD_DELETE ? CHRONEL_CREATED : CHRONEL_INVALID;
    slot.store(pending, std::memory_order_relaxed);
    pt->command.store(cmd, std::memory_order_release); // the last write before the signal
    pthread_mutex_lock(&ctl_lock);
    int rc = current == nullptr ? fail(ESRCH) : queue_to(current, current->ctrl_sig, pt);
    int e = errno;
    pthread_mutex_unlock(&ctl_lock);
    if (rc != 0) {
        if (cmd != CHRONEL_CMD_DELETE)
            LOG("Sigqueue error %s\n", strerror(e));
        return fail(e);
    }
    // The outcome is read under the mutex, so nothing of the record is
    // touched after the unlock.
    pthread_mutex_lock(&pt->mutex);
    chronel_state s;
    while ((s = slot.load(std::memory_order_relaxed)) == pending)
        pthread_cond_wait(&pt->cond, &pt->mutex);
    int posted = pt->error;
    pthread_mutex_unlock(&pt->mutex);
    if (posted != 0)
        errno = posted;
    return s;
}

// Receiver side, on the timer thread. `ending` is set while a thread that
// has stopped serving, with no successor, fails what was still queued to
// it: creates and sets are refused, deletes are carried out, since their
// sender will release the record as soon as it wakes.
static void execute_request(__chronel *pt, bool ending) {
    chronel_cmd cmd = pt->command.load(std::memory_order_acquire); // before any other touch
    pthread_mutex_lock(&pt->mutex);
    pt->error = 0;
    if (cmd == CHRONEL_CMD_CREATE && pt->create_state.load(std::memory_order_relaxed) != CHRONEL_CREATED) {
        if (ending) {
            pt->error = ESRCH;
            pt->create_state.store(CHRONEL_CREATE_FAIL, std::memory_order_relaxed);
        } else if (timer_create(CLOCK_MONOTONIC, &pt->timeout_ev, &pt->timer) != 0) {
            pt->error = static_cast<int16_t>(errno);
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
        int rc = ending ? fail(ESRCH) : apply_setting(pt);
        pt->error = static_cast<int16_t>(rc == 0 ? 0 : errno);
        pt->settime_state.store(rc == 0 ? CHRONEL_SETTIME_PASS : CHRONEL_SETTIME_FAIL, std::memory_order_relaxed);
    }
    pthread_cond_broadcast(&pt->cond);
    pthread_mutex_unlock(&pt->mutex);
}

// ---------------------------------------------------------------------------
// Stale expiries.
//
// An expiry signal may still be queued when its timer is deleted: older
// kernels keep it and deliver it later with the record's address. A record
// is therefore freed only when no such signal can exist:
//  - right after timer_delete, if the record's expiry signal is not pending
//    at all (no new expiry can be queued once the system timer is gone, and
//    no timer thread holds one: the one serving thread is the thread
//    deleting, or it is executing the DELETE request, or no thread lives);
//  - otherwise the record is parked and a tombstone, the same signal with
//    the record's address plus one, is queued to the process behind the
//    stale expiries. Signals of one real-time number are taken in the order
//    queued, so when a timer thread takes the tombstone every earlier
//    expiry of the record has been passed over (its callback slot is null),
//    and it frees the record then. The address cannot be reused before.
// Dispatch pays one bit test; a delete pays one sigpending, and a queued
// signal only while expiries are pending.
// ---------------------------------------------------------------------------

static bool expiry_pending(__chronel *pt) {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    // An expiry that a handler is passing on is pending nowhere for a moment.
    return sigismember(&pending, pt->timeout_ev.sigev_signo) == 1 || forwarding.load() != 0;
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

static int64_t ns_of(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
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
    const bool absolute = pt->absolute && set == &pt->timeout;
    int64_t before = ns_of(CLOCK_MONOTONIC);
    // A deadline on the wall clock, as a moment on the monotonic one.
    int64_t offset = absolute ? before - (pt->realtime ? ns_of(CLOCK_REALTIME) : before) : before;
    if (timer_settime(pt->timer, absolute ? TIMER_ABSTIME : 0, set, nullptr) != 0) {
        int e = errno;
        LOG("timer_settime error %s\n", strerror(e));
        return fail(e); // syslog may have set errno meanwhile
    }
    uint8_t guard = GUARD_NONE;
    if (expiry_pending(pt)) {
        bool disarmed = set->it_value.tv_sec == 0 && set->it_value.tv_nsec == 0;
        guard = disarmed ? GUARD_DISARMED : GUARD_FIRST;
        int64_t took = ns_of(CLOCK_MONOTONIC) - before;
        pt->first_ns = std::max(before, ns_after(offset, set->it_value));
        pt->first_window_ns = static_cast<uint32_t>(std::min<int64_t>(took, UINT32_MAX));
    }
    pt->guard = guard;
    return 0;
}

// Dispatch's slow path, taken only while the record's guard is up.
static bool setting_allows(__chronel *pt) {
    bool run = pt->guard != GUARD_DISARMED;
    if (pt->guard == GUARD_FIRST) {
        int64_t now = ns_of(CLOCK_MONOTONIC);
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

// An expiry or tombstone, being process-directed, may land on a thread of
// the application that does not block the library's signals (started
// before chronel_init, or by a library). Rather than let the default action
// end the process, this handler blocks the signals in that thread from its
// return on (the mask restored is the one in its context) and queues the
// signal again for the timer thread: a detour paid once per such thread.
// Only what the kernel's timers or this process sent is passed on, marked
// as this process's; `forwarding` tells deletes that an expiry is in
// transit. Async-signal-safe throughout.
static void forward_stray(int sig, siginfo_t *si, void *ctx) {
    int saved = errno;
    forwarding.fetch_add(1);
    sigset_t *mask = &static_cast<ucontext_t *>(ctx)->uc_sigmask;
    for (int s : {sig, TIMER_QUIT_SIG.load(), TIMER_CTRL_SIG.load(), TIMER_SIG.load()})
        if (s > 0)
            sigaddset(mask, s);
    pid_t pid = getpid();
    if (si->si_code == SI_TIMER || (si->si_code == SI_QUEUE && si->si_pid == pid)) {
        siginfo_t again;
        memset(&again, 0, sizeof again);
        again.si_signo = sig;
        again.si_code = SI_QUEUE;
        again.si_pid = pid;
        again.si_uid = getuid();
        again.si_value = si->si_value;
        syscall(SYS_rt_sigqueueinfo, pid, sig, &again);
    }
    forwarding.fetch_sub(1);
    errno = saved;
}

// Under ctl_lock. The stop signal takes a queue slot and can be refused
// (RLIMIT_SIGPENDING); SIGIO, a standard signal, is made pending even then,
// so the thread still wakes, and being retired it ends without an overflow
// message. Lost, the stop would leave a thread serving that nobody can
// reach, and its successor waiting for it for ever.
static int retire(generation *g) {
    g->retired = true;
    if (current == g)
        current = nullptr;
    int rc = queue_to(g, g->quit_sig, nullptr);
    if (rc != 0) {
        int e = errno;
        syscall(SYS_tgkill, g->pid, g->tid, SIGIO);
        errno = e;
    }
    return rc;
}

// The new thread becomes the one that takes requests, and the thread it
// replaces is retired in the same step: there is no moment without a
// taker, and if this thread had not started, the old one would serve on.
static void start(generation *gen) {
    // A callback must not end this thread: nothing it calls may cancel it.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    pthread_setname_np(pthread_self(), "chronels"); // for top -H and ps -L
    gen->quit_sig = TIMER_QUIT_SIG;
    gen->ctrl_sig = TIMER_CTRL_SIG;
    gen->timer_sig = TIMER_SIG;
    gen->pid = getpid();
    gen->uid = getuid();
    gen->tid = static_cast<pid_t>(syscall(SYS_gettid));
    gen->retired = false;
    gen->successor = nullptr;
    gen->overrun = 0;
    pthread_cond_init(&gen->handover, nullptr);
    // Blocked already, with every other signal, since chronel_init created
    // this thread so: no handler of the application runs here.
    sigemptyset(&gen->waits_for);
    sigaddset(&gen->waits_for, gen->quit_sig);
    sigaddset(&gen->waits_for, gen->ctrl_sig);
    sigaddset(&gen->waits_for, gen->timer_sig);
    sigaddset(&gen->waits_for, SIGIO);

    self_gen = gen;
    pthread_mutex_lock(&ctl_lock);
    if (current != nullptr)
        retire(current);
    current = gen;
    gen->waits = youngest != nullptr;
    if (youngest != nullptr)
        youngest->successor = gen;
    youngest = gen;
    gen->old_timer_sig = old_timer_sig;
    old_timer_sig = 0;
    registered = true;
    pthread_cond_broadcast(&threads_changed);
    pthread_mutex_unlock(&ctl_lock);
}

// Requests and expiries wait in the signal queues meanwhile. False when
// the thread was retired before it could serve.
static bool await_turn(generation *gen) {
    pthread_mutex_lock(&ctl_lock);
    while (gen->waits)
        pthread_cond_wait(&gen->handover, &ctl_lock);
    bool serve = !gen->retired;
    pthread_mutex_unlock(&ctl_lock);
    return serve;
}

static void serve(generation *gen) {
    for (;;) {
        siginfo_t si;
        int sig = sigwaitinfo(&gen->waits_for, &si);
        // The dispatch path: one wait, two tests, one indirect call.
        if (__builtin_expect(sig == gen->timer_sig && si.si_code == SI_TIMER, 1)) {
            __chronel *pt = static_cast<__chronel *>(si.si_value.sival_ptr);
            if (__builtin_expect(pt != nullptr, 1)) {
                void (*cb)(void *) = pt->callback.load(std::memory_order_acquire);
                gen->overrun = si.si_overrun;
                if (cb != nullptr && (pt->guard == GUARD_NONE || setting_allows(pt)))
                    cb(pt->arg);
                continue;
            }
        }
        if (sig < 0) { // not EINTR: no handler runs here, but a stop and continue (a debugger) returns it
            if (errno != EINTR)
                LOG("sigwaitinfo : %s\n", strerror(errno));
            continue;
        }
        if (!dispatch_one(gen, sig, si))
            return;
    }
}

// Every signal but a timer's own expiry: false when the thread must end.
static bool dispatch_one(generation *gen, int sig, const siginfo_t &si) {
    const bool ours = si.si_code == SI_QUEUE && si.si_pid == gen->pid;
    if (sig == SIGIO) {
        pthread_mutex_lock(&ctl_lock);
        bool asked = gen->retired; // a stop that found no queue slot (its information lost with it)
        pthread_mutex_unlock(&ctl_lock);
        if (asked)
            return false;
        if (si.si_code == SI_KERNEL || si.si_pid == gen->pid) {
            LOG("Timer queue overflow for pid %d\n", static_cast<int>(gen->tid));
            return false;
        }
    }
    if (!ours) { // another program's, or sent from outside on our numbers
        LOG("Signal %d from pid %d is not the library's, ignored\n", sig, static_cast<int>(si.si_pid));
        return true;
    }
    if (sig == gen->quit_sig)
        return false;
    uintptr_t v = reinterpret_cast<uintptr_t>(si.si_value.sival_ptr);
    if (v == 0) {
        LOG("Got signal %d without any sival_ptr\n", sig);
    } else if (sig == gen->ctrl_sig) {
        execute_request(reinterpret_cast<__chronel *>(v), false);
    } else if ((v & 1) == 0) { // an expiry passed on by forward_stray
        __chronel *pt = reinterpret_cast<__chronel *>(v);
        void (*cb)(void *) = pt->callback.load(std::memory_order_acquire);
        gen->overrun = 0;
        if (cb != nullptr && (pt->guard == GUARD_NONE || setting_allows(pt)))
            cb(pt->arg);
    } else if (forwarding.load() != 0) {
        // A stale expiry may be in transit behind this tombstone: send the
        // tombstone round again rather than free what it may still name.
        union sigval again;
        again.sival_ptr = reinterpret_cast<void *>(v);
        if (sigqueue(gen->pid, sig, again) != 0)
            drop_ref(reinterpret_cast<__chronel *>(v - 1));
    } else { // a tombstone: every earlier expiry of its record is taken
        __chronel *pt = reinterpret_cast<__chronel *>(v - 1);
        (void)pt->command.load(std::memory_order_acquire); // the releaser's last store
        drop_ref(pt);
    }
    return true;
}

// After the thread stopped serving: what is still queued to it goes to its
// successor, or, with none registered (a shutdown), fails; no sender is
// left waiting for a thread that has gone. Then it hands over.
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
        if (pt == nullptr || si.si_code != SI_QUEUE || si.si_pid != gen->pid)
            continue;
        pthread_mutex_lock(&ctl_lock);
        int rc = current == nullptr ? -1 : queue_to(current, current->ctrl_sig, pt);
        pthread_mutex_unlock(&ctl_lock);
        if (rc == 0)
            continue;
        if (pt->command.load(std::memory_order_acquire) != CHRONEL_CMD_DELETE)
            LOG("Timer thread ended before the request ran\n");
        execute_request(pt, true);
    }
    self_gen = nullptr;

    pthread_mutex_lock(&ctl_lock);
    if (gen->old_timer_sig != 0) { // never served: the next one drains
        int &next = gen->successor != nullptr ? gen->successor->old_timer_sig : old_timer_sig;
        if (next == 0)
            next = gen->old_timer_sig;
    }
    if (gen->successor != nullptr) {
        gen->successor->waits = false;
        pthread_cond_signal(&gen->successor->handover);
    }
    if (youngest == gen)
        youngest = nullptr;
    pthread_cond_broadcast(&threads_changed);
    pthread_mutex_unlock(&ctl_lock);
    pthread_cond_destroy(&gen->handover);
}

// After a change of signal numbers, what is left on the old expiry
// signal: tombstones free their records (every older thread has ended, so
// none holds an expiry), stale expiries are dropped.
static void drain_old_expiries(generation *gen) {
    sigset_t old;
    sigemptyset(&old);
    sigaddset(&old, gen->old_timer_sig);
    const struct timespec now = {0, 0};
    siginfo_t si;
    while (sigtimedwait(&old, &si, &now) == gen->old_timer_sig) {
        uintptr_t v = reinterpret_cast<uintptr_t>(si.si_value.sival_ptr);
        if (si.si_code == SI_QUEUE && si.si_pid == gen->pid && (v & 1) != 0)
            drop_ref(reinterpret_cast<__chronel *>(v - 1));
    }
    gen->old_timer_sig = 0;
}

static void *chronel_thread_loop(void *) {
    generation gen;
    start(&gen);
    if (await_turn(&gen)) {
        if (gen.old_timer_sig != 0)
            drain_old_expiries(&gen);
        serve(&gen);
    }
    end_generation(&gen);
    return nullptr;
}

// Callbacks get the same stack with either C library (glibc would give
// RLIMIT_STACK, 8 MiB, all of it locked under mlockall; musl 128 KiB): a
// syslog or a double formatted takes about 11 KiB, the library under 2.
enum : size_t { TIMER_STACK = size_t{256} * 1024 };

// The thread starts with every signal blocked: it must never run a handler
// of the application, take a signal of another base, nor SIGIO before it
// serves.
static int start_thread(int policy, int priority) {
    struct sched_param param;
    memset(&param, 0, sizeof param);
    param.sched_priority = priority;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setschedpolicy(&attr, policy);
    pthread_attr_setschedparam(&attr, &param);
    int rc = pthread_attr_setstacksize(&attr, std::max(size_t{TIMER_STACK}, static_cast<size_t>(PTHREAD_STACK_MIN)));
    if (rc != 0) {
        pthread_attr_destroy(&attr);
        return rc;
    }
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    pthread_t thread;
    rc = pthread_create(&thread, &attr, chronel_thread_loop, nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    return rc;
}

CHRONEL_EXPORT int chronel_init(int priority, int timer_signo) {
    uncancellable scope;
    int rc = pthread_mutex_trylock(&tid_mutex);
    if (rc != 0) {
        LOG("Could not get timer creation mutex : %s\n", strerror(rc));
        return fail(EBUSY);
    }

    // ctl_lock is held until the new thread has registered: no record is
    // made meanwhile with signal numbers that may yet change back.
    int base = (timer_signo >= SIGRTMIN && timer_signo <= SIGRTMAX - 2) ? timer_signo : SIGRTMIN;
    pthread_mutex_lock(&ctl_lock);
    const int old_base = TIMER_QUIT_SIG, old_ctrl = TIMER_CTRL_SIG, old_timer = TIMER_SIG;
    if (records != 0 && old_base != base) { // their expiries would go to a signal nobody waits for
        pthread_mutex_unlock(&ctl_lock);
        LOG("Signal base %d differs from %d while timers exist\n", base, old_base);
        pthread_mutex_unlock(&tid_mutex);
        return fail(EBUSY);
    }
    TIMER_QUIT_SIG = base;
    TIMER_CTRL_SIG = base + 1;
    TIMER_SIG = base + 2;
    const int old_drain = old_timer_sig;
    if (old_timer != 0 && old_timer != base + 2)
        old_timer_sig = old_timer;

    sigset_t set;
    sigemptyset(&set);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = forward_stray;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    for (int sig = base; sig < base + 3; sig++) {
        sigaddset(&set, sig);
        sigaddset(&sa.sa_mask, sig);
    }
    for (int sig : {base + 2, base, base + 1}) {
        if (sigaction(sig, &sa, nullptr) != 0) {
            LOG("sigaction failed wtih error %s\n", strerror(errno));
            break;
        }
    }
    sigprocmask(SIG_BLOCK, &set, nullptr);

    int policy = SCHED_OTHER, param = 0;
    const int lo = sched_get_priority_min(SCHED_FIFO), hi = sched_get_priority_max(SCHED_FIFO);
    if (priority != 0 && priority >= lo && priority < hi) {
        policy = SCHED_FIFO;
        param = priority;
    } else if (priority != 0) {
        LOG("Priority %d is outside SCHED_FIFO's %d-%d, timer thread runs SCHED_OTHER\n", priority, lo, hi - 1);
    }

    registered = false;
    rc = start_thread(policy, param);
    if (rc == EPERM && policy == SCHED_FIFO) { // the kernel's word on who may
        LOG("Priority %d not granted, timer thread runs SCHED_OTHER : %s\n", priority, strerror(rc));
        rc = start_thread(SCHED_OTHER, 0);
    }
    if (rc != 0) { // the thread that serves, if any, serves on, on its own signals
        TIMER_QUIT_SIG = old_base;
        TIMER_CTRL_SIG = old_ctrl;
        TIMER_SIG = old_timer;
        old_timer_sig = old_drain;
        pthread_mutex_unlock(&ctl_lock);
        LOG("Could not start timer thread : %s\n", strerror(rc));
        pthread_mutex_unlock(&tid_mutex);
        return fail(rc);
    }
    while (!registered)
        pthread_cond_wait(&threads_changed, &ctl_lock);
    pthread_mutex_unlock(&ctl_lock);
    pthread_mutex_unlock(&tid_mutex);
    return 0;
}

CHRONEL_EXPORT int chronel_init_default(void) {
    uncancellable scope;
    return chronel_init(0, SIGRTMIN);
}

CHRONEL_EXPORT void chronel_shutdown(void) {
    uncancellable scope;
    int rc = pthread_mutex_trylock(&tid_mutex);
    if (rc != 0) {
        LOG("Could not get timer creation mutex : %s\n", strerror(rc));
        return;
    }
    pthread_mutex_lock(&ctl_lock);
    if (current == nullptr) // also after an overflow
        LOG("Timer thread does not exist\n");
    else if (on_timer_thread())
        LOG("You can't do that!!\n");
    else if (retire(current) != 0)
        LOG("sigqueue : %s\n", strerror(errno));
    pthread_mutex_unlock(&ctl_lock);
    pthread_mutex_unlock(&tid_mutex);
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
        errno = EINVAL;
        return nullptr;
    }
    if (user->magic == CHRONEL_MAGIC) {
        LOG("Timer is already created\n");
        errno = EEXIST;
        return nullptr;
    }
    __chronel *pt = static_cast<__chronel *>(calloc(1, sizeof(__chronel)));
    if (pt == nullptr) {
        LOG("Not enough memory\n");
        errno = ENOMEM;
        return nullptr;
    }
    pt->callback.store(callback, std::memory_order_relaxed);
    pt->arg = arg;
    pt->fork_gen = fork_generation;
    pt->timeout_ev.sigev_notify = SIGEV_SIGNAL;
    pt->timeout_ev.sigev_value.sival_ptr = pt;
    pthread_cond_init(&pt->cond, nullptr);
    pthread_mutex_init(&pt->mutex, nullptr);
    pt->refs.store(1, std::memory_order_relaxed);
    pthread_mutex_lock(&ctl_lock); // the signal and the count agree with chronel_init's choice
    pt->timeout_ev.sigev_signo = TIMER_SIG;
    records++;
    pthread_mutex_unlock(&ctl_lock);
    return pt;
}

CHRONEL_EXPORT int chronel_create(chronel *user, void (*callback)(void *), void *arg) {
    uncancellable scope;
    if (on_timer_thread()) {
        LOG("Can't create new timer within timer callback!!\n");
        return fail(EPERM);
    }
    __chronel *pt = new_record(user, callback, arg);
    if (pt == nullptr)
        return -1;
    int s = request(pt, CHRONEL_CMD_CREATE);
    int e = errno;
    if (s == CHRONEL_CREATE_FAIL) // the reason is the timer thread's, carried back in the record
        LOG("CHRONEL_CREATE_FAIL %s\n", strerror(e));
    if (s < 0 || s == CHRONEL_CREATE_FAIL) {
        __chronel_delete(pt);
        return fail(e);
    }
    user->ptr = pt;
    user->magic = CHRONEL_MAGIC;
    return 0;
}

static int __chronel_settime(__chronel *pt) {
    if (on_timer_thread())
        return apply_setting(pt);
    pt->refs.fetch_add(1, std::memory_order_relaxed); // the caller's own life reference covers this
    int s = request(pt, CHRONEL_CMD_SETTIME);
    int e = errno;
    drop_ref(pt);
    return s == CHRONEL_SETTIME_PASS ? 0 : fail(e);
}

static int set(chronel *user, struct timespec *first, struct timespec *period, bool absolute) {
    __chronel *pt = __check_chronel(user);
    if (pt == nullptr) {
        LOG("Invalid chronel\n");
        return fail(EINVAL);
    }
    if (!times_valid(first, period)) { // what the timer thread would have said, without harm
        LOG("timer_settime error %s\n", strerror(EINVAL));
        return fail(EINVAL);
    }
    static const struct timespec zero = {0, 0};
    pt->timeout.it_value = first != nullptr ? *first : zero;
    pt->timeout.it_interval = period != nullptr ? *period : zero;
    pt->absolute = absolute;
    pt->active_timeout = &pt->timeout;
    return __chronel_settime(pt);
}

CHRONEL_EXPORT int chronel_settime(chronel *user, struct timespec *itime, struct timespec *rtime) {
    uncancellable scope;
    return set(user, itime, rtime, false);
}

CHRONEL_EXPORT int chronel_settime_abs(chronel *user, struct timespec *deadline, struct timespec *period) {
    uncancellable scope;
    return set(user, deadline, period, true);
}

CHRONEL_EXPORT int chronel_control(chronel *user, bool enable) {
    uncancellable scope;
    struct itimerspec disabled;
    memset(&disabled, 0, sizeof disabled);
    __chronel *pt = __check_chronel(user);
    if (pt == nullptr) {
        LOG("Invalid chronel\n");
        return fail(EINVAL);
    }
    pt->active_timeout = enable ? &pt->timeout : &disabled;
    return __chronel_settime(pt);
}

// With no timer thread to ask, another thread waits until none that
// takes no requests is still ending (it may be in this timer's callback) or
// a new one takes them.
static bool serving_after_the_ended() {
    pthread_mutex_lock(&ctl_lock);
    while (current == nullptr && youngest != nullptr)
        pthread_cond_wait(&threads_changed, &ctl_lock);
    bool serving = current != nullptr;
    pthread_mutex_unlock(&ctl_lock);
    return serving;
}

// The system timer always goes. With no timer thread to ask (after a
// shutdown, in a forked child, or no queue slot), the caller deletes it
// itself; the record then waits for a tombstone also while an older timer
// thread lives, which may hold an expiry it has taken.
static void __chronel_delete(__chronel *pt) {
    if (pt == nullptr)
        return;
    pt->callback.store(nullptr, std::memory_order_release);
    bool tombstone = false;
    if (pt->create_state.load(std::memory_order_relaxed) == CHRONEL_CREATED) {
        int sent = -1;
        while (!on_timer_thread() && (sent = request(pt, CHRONEL_CMD_DELETE)) < 0 && errno == ESRCH)
            if (!serving_after_the_ended())
                break;
        if (sent >= 0) {
            pthread_mutex_lock(&pt->mutex);
            tombstone = pt->needs_tombstone;
            pthread_mutex_unlock(&pt->mutex);
        } else {
            if (timer_delete(pt->timer) != 0)
                LOG("timer_delete %m\n");
            pthread_mutex_lock(&ctl_lock);
            bool alive = youngest != nullptr && !on_timer_thread();
            pthread_mutex_unlock(&ctl_lock);
            tombstone = alive || expiry_pending(pt);
        }
    }
    release_record(pt, tombstone);
    pthread_mutex_lock(&ctl_lock);
    records--;
    pthread_mutex_unlock(&ctl_lock);
}

CHRONEL_EXPORT int chronel_delete(chronel *user) {
    uncancellable scope;
    __chronel *pt = __check_chronel(user);
    if (pt == nullptr) {
        LOG("Invalid chronel\n");
        return fail(EINVAL);
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
    pt->realtime = clockId == CLOCK_REALTIME;
    if (timer_create(clockId, &pt->timeout_ev, &pt->timer) != 0) {
        int e = errno;
        LOG("timer_create fail: %m\n");
        __chronel_delete(pt); // not created: only counted out and released
        return fail(e);
    }
    pt->create_state.store(CHRONEL_CREATED, std::memory_order_relaxed);
    user->ptr = pt;
    user->magic = CHRONEL_MAGIC;
    return 0;
}

CHRONEL_EXPORT int chronel_create_cs(chronel *user, void (*callback)(void *), void *arg) {
    uncancellable scope;
    if (user != nullptr)
        user->isabstime = 1;
    return __chronel_create(user, callback, arg, CLOCK_REALTIME);
}

// In place on any thread: the kernel keeps the timer's state.
CHRONEL_EXPORT int chronel_gettime(chronel *user, struct timespec *remaining, struct timespec *period) {
    uncancellable scope;
    __chronel *pt = __check_chronel(user);
    if (pt == nullptr) {
        LOG("Invalid chronel\n");
        return fail(EINVAL);
    }
    struct itimerspec now;
    if (timer_gettime(pt->timer, &now) != 0) {
        int e = errno;
        LOG("timer_gettime error %s\n", strerror(e));
        return fail(e);
    }
    if (now.it_value.tv_sec == 0 && now.it_value.tv_nsec == 0)
        now.it_interval = now.it_value; // not armed: no period either
    if (remaining != nullptr)
        *remaining = now.it_value;
    if (period != nullptr)
        *period = now.it_interval;
    return 0;
}

CHRONEL_EXPORT int chronel_overrun(void) {
    return on_timer_thread() ? self_gen->overrun : fail(EPERM);
}
