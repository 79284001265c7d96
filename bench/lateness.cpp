// SPDX-License-Identifier: MIT
// Expiry lateness of every contender: a one-shot timer re-armed 0.5 ms
// ahead, and a 1 ms periodic timer. Lateness is the wake-up's time minus
// the expiry it serves; merged late expiries count against the latest due.
// The first wake-up is a kick: the waiting thread itself arms the measured
// timer, so no contender's start carries a hand-over to another thread.
#include "common.h"

namespace cb {
namespace {

constexpr int64_t KICK_NS = 200000;
struct Rec {
    int64_t *buf = nullptr;
    int n = 0, i = 0;
    bool periodic = false, kicked = false;
    int64_t period = 500000, deadline = 0, start = 0, last_k = 0, merged = 0;
    int (*arm)(Rec *, int64_t value, int64_t interval) = nullptr;
    void *ctx = nullptr; // what arm sets
    sem_t done;
};

void on_expiry(Rec *r) {
    int64_t t = now_ns();
    if (r->i >= r->n)
        return;
    if (!r->kicked) { // the kick: the measured timer is armed from here
        r->kicked = true;
        r->start = t, r->deadline = t + r->period;
        r->arm(r, r->period, r->periodic ? r->period : 0);
        return;
    }
    int64_t due = r->deadline;
    if (r->periodic) {
        int64_t k = (t - r->start) / r->period;
        r->merged += std::max<int64_t>(0, k - r->last_k - 1);
        r->last_k = k, due = r->start + k * r->period;
    }
    r->buf[r->i++] = t - due;
    if (r->i == r->n) {
        if (r->periodic)
            r->arm(r, 0, 0);
        sem_post(&r->done);
    } else if (!r->periodic) {
        r->deadline = now_ns() + r->period;
        r->arm(r, r->period, 0);
    }
}
void fired(void *a) { on_expiry(static_cast<Rec *>(a)); }
void kick_and_wait(Rec &r) {
    r.arm(&r, KICK_NS, 0);
    sem_wait(&r.done);
}

int lib_arm(Rec *r, int64_t v, int64_t i) {
    timespec tv = ts_of(v), ti = ts_of(i);
    return chronel_settime(static_cast<chronel *>(r->ctx), &tv, &ti);
}
int posix_arm(Rec *r, int64_t v, int64_t i) {
    itimerspec its = its_of(v, i);
    return timer_settime(*static_cast<timer_t *>(r->ctx), 0, &its, nullptr);
}
int timerfd_arm(Rec *r, int64_t v, int64_t i) {
    itimerspec its = its_of(v, i);
    return timerfd_settime(*static_cast<int *>(r->ctx), 0, &its, nullptr);
}

// The limit: a thread sleeping to an absolute deadline with 1 ns timer
// slack. Nothing wakes a sleeping thread sooner.
void clock_nanosleep_run(Rec &r) {
    std::thread th([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        int64_t start = now_ns(), k = 1;
        while (r.i < r.n) {
            int64_t dl = r.periodic ? start + k * r.period : now_ns() + r.period;
            timespec ts = ts_of(dl);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
            int64_t t = now_ns();
            if (!r.periodic) {
                r.buf[r.i++] = t - dl;
                continue;
            }
            int64_t kk = (t - start) / r.period;
            r.merged += kk > k ? kk - k : 0;
            r.buf[r.i++] = t - (start + kk * r.period);
            k = kk + 1;
        }
    });
    th.join();
}
// The library: a chronel re-armed from its own callback.
void chronels_run(Rec &r) {
    chronel h{};
    chronel_create(&h, fired, &r);
    r.ctx = &h, r.arm = lib_arm;
    kick_and_wait(r);
    chronel_delete(&h);
}
// The bare mechanism: its signal taken by the sigwaitinfo thread.
void posix_signal_run(Rec &r) {
    RawTimer t{nullptr, fired, &r};
    raw_create(&t);
    r.ctx = &t.id, r.arm = posix_arm;
    kick_and_wait(r);
    t.cb = nullptr;
    timer_delete(t.id);
}
// timerfd, waited for with epoll_wait by a thread of its own.
void timerfd_run(Rec &r) {
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC), ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    r.ctx = &fd, r.arm = timerfd_arm;
    std::thread th([&] {
        while (r.i < r.n) {
            epoll_event e;
            uint64_t ticks;
            if (epoll_wait(ep, &e, 1, -1) == 1 && read(fd, &ticks, sizeof ticks) == sizeof ticks)
                on_expiry(&r);
        }
    });
    r.arm(&r, KICK_NS, 0);
    th.join();
    close(ep);
    close(fd);
}
// SIGEV_THREAD: the C library runs each notification on a thread of its
// own, two at once when one is late; hence the lock.
pthread_mutex_t sigev_lock = PTHREAD_MUTEX_INITIALIZER;
void sigev_notify_fn(union sigval v) {
    pthread_mutex_lock(&sigev_lock);
    on_expiry(static_cast<Rec *>(v.sival_ptr));
    pthread_mutex_unlock(&sigev_lock);
}
void sigev_thread_run(Rec &r) {
    timer_t id;
    sigevent sev;
    memset(&sev, 0, sizeof sev);
    sev.sigev_notify = SIGEV_THREAD;
    sev.sigev_notify_function = sigev_notify_fn;
    sev.sigev_value.sival_ptr = &r;
    timer_create(CLOCK_MONOTONIC, &sev, &id);
    r.ctx = &id, r.arm = posix_arm;
    kick_and_wait(r);
    timer_delete(id);
}

// The limit first: the others' ratios are to it.
const std::pair<const char *, void (*)(Rec &)> contenders[] = {
    {"clock_nanosleep", clock_nanosleep_run}, {"chronels", chronels_run}, {"posix_signal", posix_signal_run},
    {"timerfd_epoll", timerfd_run}, {"sigev_thread", sigev_thread_run}};

} // namespace

std::string lateness() {
    constexpr size_t nc = std::size(contenders);
    const char *modes[2] = {"oneshot_0.5ms", "periodic_1ms"};
    std::vector<int64_t> acc[2][nc], merged[2] = {std::vector<int64_t>(nc), std::vector<int64_t>(nc)};
    int per = std::max(1, opt.expiries / opt.rounds);
    std::vector<int64_t> buf(static_cast<size_t>(per));
    // Kept to the end: a SIGEV_THREAD notification already on its way when
    // its timer is deleted still runs, and must find a finished record.
    std::vector<std::unique_ptr<Rec>> recs;
    for (int round = 0; round < opt.rounds; round++) {
        for (int m = 0; m < 2; m++)
            for (size_t j = 0; j < nc; j++) {
                size_t c = (j + static_cast<size_t>(round)) % nc; // who goes first rotates
                recs.emplace_back(new Rec);
                Rec &r = *recs.back();
                r.buf = buf.data(), r.n = per, r.periodic = m == 1, r.period = m == 1 ? 1000000 : 500000;
                sem_init(&r.done, 0, 0);
                contenders[c].second(r);
                acc[m][c].insert(acc[m][c].end(), buf.begin(), buf.begin() + r.i);
                merged[m][c] += r.merged;
                usleep(2000);
            }
        say("\rlateness: round %d/%d", round + 1, opt.rounds);
    }
    say("\n");
    Obj out;
    for (int m = 0; m < 2; m++) {
        Obj mo;
        for (size_t c = 0; c < nc; c++) {
            Obj o = dist_obj(acc[m][c], &acc[m][0], true);
            mo.obj(contenders[c].first, m == 1 ? o.num("merged_expiries", static_cast<double>(merged[m][c])) : o);
        }
        out.obj(modes[m], mo);
    }
    return out.render();
}

} // namespace cb
