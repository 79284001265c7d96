// Random operations on valid, deleted, zeroed and corrupted handles, from
// threads and from callbacks, each result and message predicted by a model
// of the handle. CHRONELS_SEED replays a run; CHRONELS_OPS sets its length.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "common.h"

namespace {

enum State { EMPTY, LIVE, CORRUPT_DEAD, CORRUPT_LIVE };
struct Slot {
    chronel h = {};
    State s = EMPTY;
    std::atomic<bool> live{false};
};
struct Chain { // a timer that works on itself from its own callback
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

void check(int want, int got, const char *op, int thread, State s) {
    checked++;
    if (want != got)
        ADD_FAILURE() << "seed " << seed << ": " << op << " on a handle in state " << s << " by "
                      << (thread < 0 ? std::string("a callback") : "thread " + std::to_string(thread))
                      << " returned " << got << ", the model says " << want;
}

void fire(void *arg) {
    if (!static_cast<Slot *>(arg)->live)
        after_delete++;
}

// One operation on a slot, by a thread (`who` >= 0) or by a callback; the
// callback's own timer may be the slot.
void step(Slot &x, int op, std::mt19937 &rng, int who, void (*cb)(void *), void *arg) {
    const bool in_cb = who < 0;
    const State s = x.s;
    timespec v[] = {{0, 0}, t::ms(1), {30, 0}, t::ms(3)};
    int got;
    switch (op) {
    case 0: case 1: { // create, create_cs
        if (s == CORRUPT_LIVE) { // its record still exists: mend it instead
            x.h.magic = CHRONEL_MAGIC;
            x.s = LIVE;
            return;
        }
        got = (op == 0 ? chronel_create : chronel_create_cs)(&x.h, cb, arg);
        int want = (op == 0 && in_cb) || s == LIVE ? -1 : 0;
        if (op == 0 && in_cb)
            expect_msg("Can't create new timer within timer callback!!\n");
        else if (s == LIVE)
            expect_msg("Timer is already created\n");
        check(want, got, op == 0 ? "create" : "create_cs", who, s);
        if (op == 1 && x.h.isabstime != 1)
            ADD_FAILURE() << "seed " << seed << ": create_cs left isabstime " << x.h.isabstime;
        if (got == 0)
            x.s = LIVE, x.live = true;
        return;
    }
    case 2: case 3: case 4: { // settime, control, delete
        timespec *first = &v[rng() % 4], *period = &v[rng() % 2 * 3];
        got = op == 2 ? chronel_settime(&x.h, first, period) : op == 3 ? chronel_control(&x.h, rng() % 2) : chronel_delete(&x.h);
        if (s != LIVE)
            expect_msg("Invalid chronel\n");
        check(s == LIVE ? 0 : -1, got, op == 2 ? "settime" : op == 3 ? "control" : "delete", who, s);
        if (op == 4 && s == LIVE) {
            x.live = false;
            x.s = EMPTY;
            if (x.h.ptr != nullptr || x.h.magic != 0)
                ADD_FAILURE() << "seed " << seed << ": delete left the handle set";
        }
        return;
    }
    case 5: // corrupt the magic
        if (s == LIVE)
            x.h.magic ^= 0x40, x.s = CORRUPT_LIVE;
        else if (s == EMPTY)
            x.h = {reinterpret_cast<void *>(0x5a5a), static_cast<int32_t>(rng() | 1) ^ CHRONEL_MAGIC, 0}, x.s = CORRUPT_DEAD;
        return;
    case 6: // zero a handle that holds no record
        if (s == EMPTY || s == CORRUPT_DEAD)
            x.h = {}, x.s = EMPTY;
        return;
    case 7: { // a create without a callback, whatever the handle holds
        char text[96];
        snprintf(text, sizeof text, "Invalid parameters : %p-%p\n", static_cast<void *>(&x.h), nullptr);
        const bool cs = rng() % 2;
        got = (cs ? chronel_create_cs : chronel_create)(&x.h, nullptr, arg);
        if (in_cb && !cs)
            expect_msg("Can't create new timer within timer callback!!\n");
        else
            expect_msg("Invalid parameters : %p-%p\n", text);
        check(-1, got, "create without callback", who, s);
        return;
    }
    }
}

void on_itself(void *arg) {
    Chain &c = *static_cast<Chain *>(arg);
    for (int n = static_cast<int>(c.rng() % 3); n >= 0 && c.budget > 0; n--, c.budget--)
        step(c.slot, static_cast<int>(c.rng() % 8), c.rng, -1, on_itself, arg);
    if (c.slot.s == CORRUPT_LIVE)
        step(c.slot, 0, c.rng, -1, on_itself, arg);
    if (c.slot.s != LIVE)
        c.slot.h = {}, c.slot.s = EMPTY, step(c.slot, 1, c.rng, -1, on_itself, arg);
    timespec soon = t::ms(1);
    if (c.budget > 0) {
        check(0, chronel_settime(&c.slot.h, &soon, nullptr), "re-arm", -1, LIVE);
        return;
    }
    check(0, chronel_delete(&c.slot.h), "final delete", -1, LIVE);
    c.done = true;
}

void worker(int w, int ops, Chain &chain) {
    std::mt19937 rng(seed * 7919u + static_cast<unsigned>(w));
    chain.rng.seed(seed * 104729u + static_cast<unsigned>(w));
    chain.budget = ops / 4;
    ASSERT_EQ(0, chronel_create(&chain.slot.h, on_itself, &chain));
    chain.slot.s = LIVE;
    timespec soon = t::ms(1);
    ASSERT_EQ(0, chronel_settime(&chain.slot.h, &soon, nullptr));
    Slot slots[4];
    for (int k = 0; k < ops; k++) {
        Slot &x = slots[rng() % 4];
        step(x, static_cast<int>(rng() % 8), rng, w, fire, &x);
    }
    for (Slot &x : slots) {
        if (x.s == CORRUPT_LIVE)
            step(x, 0, rng, w, fire, &x);
        if (x.s == LIVE)
            step(x, 4, rng, w, fire, &x);
    }
}

} // namespace

TEST(Model, RandomOperationsGetThePredictedResultsAndMessages) {
    const char *s = getenv("CHRONELS_SEED"), *n = getenv("CHRONELS_OPS");
    seed = s != nullptr ? static_cast<unsigned>(atol(s)) : static_cast<unsigned>(time(nullptr));
    const int threads = 3, ops = (n != nullptr ? atoi(n) : 20000) / threads;
    printf("seed %u (CHRONELS_SEED=%u replays it)\n", seed, seed);
    ASSERT_EQ(0, chronel_init_default());
    std::vector<std::thread> ts;
    for (int w = 0; w < threads; w++) // thread set-up allocations before the count
        ts.emplace_back([] {});
    for (auto &th : ts)
        th.join();
    ts.clear();
    const r::Held base = r::held();
    Chain chains[threads];
    for (int w = 0; w < threads; w++)
        ts.emplace_back(worker, w, ops, std::ref(chains[w]));
    for (auto &th : ts)
        th.join();
    for (Chain &c : chains)
        EXPECT_TRUE(t::wait_until([&] { return c.done.load(); }, 60)) << "seed " << seed << ": a chain stopped";
    EXPECT_EQ(0, after_delete.load()) << "seed " << seed << ": callbacks after their delete";
    EXPECT_TRUE(r::back_to(base)) << "seed " << seed << ": " << r::str(r::held()) << " left";
    // Every message predicted, none more.
    std::vector<t::Entry> got = t::logs();
    size_t matched = 0;
    for (auto &[key, times] : predicted) {
        int seen = 0;
        for (const std::string &prefix : t::expected(key.first))
            for (const t::Entry &e : got)
                seen += e.prio == LOG_CRIT && e.text == prefix + key.second;
        matched += static_cast<size_t>(seen);
        EXPECT_EQ(times, seen) << "seed " << seed << ": message " << key.second;
    }
    EXPECT_EQ(got.size(), matched) << "seed " << seed << ": unpredicted messages, e.g. " << got.back().text;
    printf("%d results and %zu messages checked\n", checked.load(), got.size());
}
