// Create + delete pairs per second from other threads: the library against
// two handshakes with the bare thread (create, delete) and, for scale,
// timer_create + timer_delete in place.
#include "common.h"

#include <algorithm>
#include <thread>

using namespace cb;
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
void (*const fns[3])() = {pair<true>, pair<false>, pair_inplace};
const char *const names[3] = {"chronels", "raw_handshake", "raw_inplace"};

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
            fns[f]();
            spent[f] += now_ns() - t0;
            n[f]++;
        }
    for (int f = 0; f < 3; f++)
        rate[f] = static_cast<double>(n[f]) / (static_cast<double>(spent[f]) / 1e9);
    pin(gettid_(), -1);
}

std::string create_delete() {
    struct Cfg { const char *name; int threads, client, server; };
    const Cfg cfgs[] = {{"1_thread_same_core", 1, 0, 0}, {"1_thread_cross_core", 1, 0, 1},
                        {"1_thread_unpinned", 1, -1, -1}, {"2_threads_unpinned", 2, -1, -1}};
    Obj out;
    for (const Cfg &c : cfgs) {
        pin(lib_tid, c.server);
        pin(raw_tid, c.server);
        double rate[3];
        if (c.threads == 1) {
            interleaved(opt.cd_ms * opt.cd_rounds * 3, c.client, rate);
        } else { // two clients at once must run the same kind: short blocks in turn
            std::vector<double> rates[3];
            for (int round = 0; round < opt.cd_rounds * 6; round++)
                for (int j = 0; j < 3; j++)
                    rates[(j + round) % 3].push_back(block_rate(fns[(j + round) % 3], c.threads, std::max(10, opt.cd_ms / 6)));
            for (int f = 0; f < 3; f++)
                rate[f] = median_of(rates[f]);
        }
        Obj co;
        for (int f = 0; f < 3; f++) {
            co.obj(names[f], Obj().num("pairs_per_s", rate[f]).num("ratio_to_raw_handshake", rate[f] / rate[1]));
            say("  create+delete %-20s %-14s %9.0f pairs/s (x%.3f of raw handshake)\n", c.name, names[f], rate[f],
                rate[f] / rate[1]);
        }
        out.obj(c.name, co);
    }
    pin(lib_tid, -1);
    pin(raw_tid, -1);
    return out.render();
}
Add<Section> reg{{"create_delete", 3, create_delete}};

} // namespace
