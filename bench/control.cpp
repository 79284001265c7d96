// SPDX-License-Identifier: MIT
// Control calls from another thread, the library against the bare
// mechanism's handshake (queue a signal, wait for the answer): round trips
// of chronel_settime and chronel_control, and create + delete pairs per
// second; the calls that need no hand-over beside them for scale.
#include "common.h"

namespace cb {
namespace {

void noop(void *) {}
template <bool lib> void pair() { // two hand-overs to the timer thread
    Either t{lib};
    if (t.make(noop, nullptr) == 0)
        t.remove();
}
void pair_inplace() {
    RawTimer t{};
    if (raw_create(&t) == 0)
        timer_delete(t.id);
}
const std::pair<const char *, void (*)()> kinds[3] = {
    {"chronels", pair<true>}, {"raw_handshake", pair<false>}, {"raw_inplace", pair_inplace}};

// Pairs per second of `fn` run by `threads` threads for `ms` milliseconds.
double block_rate(void (*fn)(), int threads, int ms) {
    std::atomic<bool> stop{false};
    std::atomic<long> total{0};
    int64_t t0 = now_ns();
    std::vector<std::thread> th;
    for (int i = 0; i < threads; i++)
        th.emplace_back([&] {
            long n = 0;
            for (; !stop.load(std::memory_order_relaxed); n++)
                fn();
            total += n;
        });
    usleep(static_cast<useconds_t>(ms) * 1000);
    stop = true;
    for (auto &t : th)
        t.join();
    return static_cast<double>(total.load()) / (static_cast<double>(now_ns() - t0) / 1e9);
}

// One client: the three kinds take turns pair by pair, each timed.
void interleaved(int ms, int client_cpu, double rate[3]) {
    pin(gettid_(), client_cpu);
    int64_t spent[3] = {0, 0, 0};
    long n[3] = {0, 0, 0};
    for (int64_t i = 0, until = now_ns() + ms * 1000000LL; now_ns() < until; i++)
        for (int j = 0; j < 3; j++) {
            int f = static_cast<int>((i + j) % 3);
            int64_t t0 = now_ns();
            kinds[f].second();
            spent[f] += now_ns() - t0;
            n[f]++;
        }
    for (int f = 0; f < 3; f++)
        rate[f] = static_cast<double>(n[f]) / (static_cast<double>(spent[f]) / 1e9);
    pin(gettid_(), -1);
}

} // namespace

std::string roundtrip() {
    chronel h{};
    chronel_create(&h, noop, nullptr);
    Either rt{false};
    rt.make(noop, nullptr);
    RawTimer ip{};
    raw_create(&ip);
    int tfd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    const int64_t far = 10LL * 1000000000LL;
    timespec farv = ts_of(far);
    itimerspec faris = its_of(far, 0);
    RawReq req;
    req.t = &rt.r, req.op = RAW_SETTIME, req.its = faris;
    const std::pair<const char *, std::function<void()>> calls[] = {
        {"chronel_settime", [&] { chronel_settime(&h, &farv, nullptr); }},
        {"chronel_control", [&] { chronel_control(&h, true); }},
        {"raw_handshake", [&] { raw_request(req); }},
        {"timer_settime_inplace", [&] { timer_settime(ip.id, 0, &faris, nullptr); }},
        {"timerfd_settime_inplace", [&] { timerfd_settime(tfd, 0, &faris, nullptr); }},
    };
    struct Placement { const char *name; int client, server; };
    const Placement places[] = {{"same_core", 0, 0}, {"cross_core", 0, 1}, {"unpinned", -1, -1}};
    pid_t me = gettid_();
    Obj out;
    for (const Placement &p : places) {
        pin(me, p.client), pin(lib_tid, p.server), pin(raw_tid, p.server);
        std::vector<int64_t> d[5];
        auto timed = [&](int c) {
            int64_t t0 = now_ns();
            calls[c].second();
            d[c].push_back(now_ns() - t0);
        };
        // The three hand-overs take turns call by call: on one core the
        // scheduler's choice to run the woken thread at once or not sticks
        // for a while and depends on what the caller did just before, so
        // blocks of one kind would each catch a different state.
        for (int i = 0; i < opt.calls; i++)
            for (int j = 0; j < 3; j++)
                timed((j + i) % 3);
        // The calls in place apart: they never sleep.
        for (int c = 3; c < 5; c++)
            for (int i = 0; i < opt.calls; i++)
                timed(c);
        Obj po;
        for (int c = 0; c < 5; c++)
            po.obj(calls[c].first, dist_obj(d[c], &d[2], false, true));
        out.obj(p.name, po);
    }
    pin(me, -1), pin(lib_tid, -1), pin(raw_tid, -1);
    chronel_delete(&h);
    rt.remove();
    timer_delete(ip.id);
    close(tfd);
    return out.render();
}

std::string create_delete() {
    struct Cfg { const char *name; int threads, client, server; };
    const Cfg cfgs[] = {{"1_thread_same_core", 1, 0, 0}, {"1_thread_cross_core", 1, 0, 1},
                        {"1_thread_unpinned", 1, -1, -1}, {"2_threads_unpinned", 2, -1, -1}};
    Obj out;
    for (const Cfg &c : cfgs) {
        pin(lib_tid, c.server), pin(raw_tid, c.server);
        double rate[3];
        if (c.threads == 1) {
            interleaved(opt.cd_ms * opt.cd_rounds * 3, c.client, rate);
        } else { // two clients at once must run the same kind: short blocks in turn
            std::vector<double> rates[3];
            for (int round = 0; round < opt.cd_rounds * 6; round++)
                for (int j = 0; j < 3; j++) {
                    int f = (j + round) % 3;
                    rates[f].push_back(block_rate(kinds[f].second, c.threads, std::max(10, opt.cd_ms / 6)));
                }
            for (int f = 0; f < 3; f++)
                rate[f] = median_of(rates[f]);
        }
        Obj co;
        for (int f = 0; f < 3; f++)
            co.obj(kinds[f].first, Obj().num("pairs_per_s", rate[f]).num("ratio_to_raw_handshake", rate[f] / rate[1]));
        out.obj(c.name, co);
    }
    pin(lib_tid, -1), pin(raw_tid, -1);
    return out.render();
}

} // namespace cb
