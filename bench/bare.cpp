// SPDX-License-Identifier: MIT
// The bare mechanism the library wraps, nothing else: the baseline of every
// table. Its loop takes expiries and control requests on one thread.
#include "common.h"

namespace cb {

int SIG_RAW_CTL, SIG_RAW_EXP;
std::atomic<pid_t> raw_tid{0}, lib_tid{0};
pthread_t raw_thread;

int raw_create(RawTimer *t) {
    sigevent sev;
    memset(&sev, 0, sizeof sev);
    sev.sigev_notify = SIGEV_SIGNAL;
    sev.sigev_signo = SIG_RAW_EXP;
    sev.sigev_value.sival_ptr = t;
    return timer_create(CLOCK_MONOTONIC, &sev, &t->id);
}

// Not inlined: callgrind collects inside it by name.
extern "C" __attribute__((noinline)) void *raw_loop(void *) {
    raw_tid = gettid_();
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIG_RAW_CTL);
    sigaddset(&set, SIG_RAW_EXP);
    for (;;) {
        siginfo_t si;
        int sig = sigwaitinfo(&set, &si);
        if (sig == SIG_RAW_EXP) {
            RawTimer *t = static_cast<RawTimer *>(si.si_value.sival_ptr);
            void (*f)(void *) = t->cb;
            if (f != nullptr)
                f(t->arg);
            continue;
        }
        if (sig != SIG_RAW_CTL)
            continue;
        RawReq *r = static_cast<RawReq *>(si.si_value.sival_ptr);
        if (r->op == RAW_QUIT)
            return nullptr;
        r->rc = r->op == RAW_SETTIME ? timer_settime(r->t->id, 0, &r->its, nullptr)
                : r->op == RAW_CREATE ? raw_create(r->t) : timer_delete(r->t->id);
        r->err = r->rc != 0 ? errno : 0;
        pthread_mutex_lock(&r->m);
        r->done = true;
        pthread_cond_signal(&r->c);
        pthread_mutex_unlock(&r->m);
    }
}

int raw_request(RawReq &r) {
    siginfo_t si;
    memset(&si, 0, sizeof si);
    si.si_signo = SIG_RAW_CTL;
    si.si_code = SI_QUEUE;
    si.si_pid = getpid();
    si.si_uid = getuid();
    si.si_value.sival_ptr = &r;
    r.done = false;
    if (syscall(SYS_rt_tgsigqueueinfo, getpid(), raw_tid.load(), SIG_RAW_CTL, &si) != 0)
        return -1;
    if (r.op == RAW_QUIT)
        return 0;
    pthread_mutex_lock(&r.m);
    while (!r.done)
        pthread_cond_wait(&r.c, &r.m);
    pthread_mutex_unlock(&r.m);
    errno = r.rc != 0 ? r.err : errno;
    return r.rc;
}
int raw_request(RawOp op, RawTimer *t) {
    RawReq q;
    q.op = op, q.t = t;
    return raw_request(q);
}

int Either::make(void (*cb)(void *), void *arg) {
    if (lib)
        return chronel_create(&h, cb, arg);
    r = RawTimer{nullptr, cb, arg};
    return raw_request(RAW_CREATE, &r);
}
int Either::arm(int64_t value, int64_t interval) {
    timespec v = ts_of(value), i = ts_of(interval);
    itimerspec its = its_of(value, interval);
    return lib ? chronel_settime(&h, &v, &i) : timer_settime(r.id, 0, &its, nullptr);
}
int Either::remove() {
    if (lib)
        return chronel_delete(&h);
    r.cb = nullptr;
    int rc = raw_request(RAW_DELETE, &r);
    if (rc != 0)
        timer_delete(r.id);
    return rc;
}
void Either::drop() {
    if (lib)
        chronel_delete(&h);
    else
        r.cb = nullptr, timer_delete(r.id);
}

void block_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s = SIGRTMIN; s <= SIGRTMAX; s++)
        sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    SIG_RAW_CTL = SIGRTMIN + 4;
    SIG_RAW_EXP = SIGRTMIN + 5;
}

void take_tid(void *) { lib_tid = gettid_(); }
void start_both() {
    if (chronel_init(0, SIGRTMIN) != 0) {
        fprintf(stderr, "chronel_init failed\n");
        exit(1);
    }
    pthread_create(&raw_thread, nullptr, raw_loop, nullptr);
    Either t;
    t.make(take_tid, nullptr);
    t.arm(100000, 0);
    while (raw_tid.load() == 0 || lib_tid.load() == 0)
        usleep(200);
    t.remove();
}
void stop_both() {
    raw_request(RAW_QUIT, nullptr);
    pthread_join(raw_thread, nullptr);
    chronel_shutdown();
}

} // namespace cb
