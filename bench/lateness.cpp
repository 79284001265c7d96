// Expiry lateness of every contender: a one-shot timer re-armed 0.5 ms
// ahead, and a 1 ms periodic timer. Lateness is the wake-up's time minus
// the expiry it serves; merged late expiries count against the latest due.
#include "common.h"

#include <algorithm>
#include <memory>

namespace cb {

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

int posix_arm(Rec *r, int64_t v, int64_t i) {
    itimerspec its = its_of(v, i);
    return timer_settime(*static_cast<timer_t *>(r->ctx), 0, &its, nullptr);
}

namespace {

std::string lateness() {
    std::vector<Contender> cs = contenders();
    std::sort(cs.begin(), cs.end(), [](const Contender &a, const Contender &b) { return a.order < b.order; });
    const size_t nc = cs.size();
    const char *modes[2] = {"oneshot_0.5ms", "periodic_1ms"};
    struct Acc { std::vector<int64_t> s; int64_t merged = 0; };
    std::vector<Acc> acc[2] = {std::vector<Acc>(nc), std::vector<Acc>(nc)};
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
                r.buf = buf.data();
                r.n = per;
                r.periodic = m == 1;
                r.period = m == 1 ? 1000000 : 500000;
                sem_init(&r.done, 0, 0);
                cs[c].run(r);
                acc[m][c].s.insert(acc[m][c].s.end(), buf.begin(), buf.begin() + r.i);
                acc[m][c].merged += r.merged;
                usleep(2000);
            }
        say("\rlateness: round %d/%d", round + 1, opt.rounds);
    }
    say("\n");
    Obj out;
    for (int m = 0; m < 2; m++) {
        Obj mo;
        const std::vector<int64_t> *limit = &acc[m][0].s;
        for (size_t c = 0; c < nc; c++)
            limit = std::string(cs[c].name) == "clock_nanosleep" ? &acc[m][c].s : limit;
        for (size_t c = 0; c < nc; c++) {
            Obj o = dist_obj(acc[m][c].s, limit, true);
            if (m == 1)
                o.num("merged_expiries", static_cast<double>(acc[m][c].merged));
            mo.obj(cs[c].name, o);
            say("  %-14s %-16s median %7.2f us  p99 %7.2f  p99.9 %7.2f  max %8.2f  (x%.3f / x%.3f)\n", modes[m],
                cs[c].name, o.get("median_us"), o.get("p99_us"), o.get("p999_us"), o.get("max_us"),
                o.get("ratio_median"), o.get("ratio_p99"));
        }
        out.obj(modes[m], mo);
    }
    return out.render();
}
Add<Section> reg{{"lateness", 1, lateness}};

} // namespace
} // namespace cb
