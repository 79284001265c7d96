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
    if (!r->kicked) {
        r->kicked = true;
        r->start = r->deadline = now_ns();
        r->deadline += r->period;
        r->arm(r, r->period, r->periodic ? r->period : 0);
        return;
    }
    if (r->periodic) {
        int64_t k = (t - r->start) / r->period;
        if (k > r->last_k + 1)
            r->merged += k - r->last_k - 1;
        r->last_k = k;
        r->buf[r->i++] = t - (r->start + k * r->period);
        if (r->i == r->n) {
            r->arm(r, 0, 0);
            sem_post(&r->done);
        }
        return;
    }
    r->buf[r->i++] = t - r->deadline;
    if (r->i == r->n) {
        sem_post(&r->done);
        return;
    }
    r->deadline = now_ns() + r->period;
    r->arm(r, r->period, 0);
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
    std::vector<std::vector<int64_t>> samples[2] = {std::vector<std::vector<int64_t>>(nc),
                                                    std::vector<std::vector<int64_t>>(nc)};
    std::vector<int64_t> merged[2] = {std::vector<int64_t>(nc), std::vector<int64_t>(nc)};
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
                samples[m][c].insert(samples[m][c].end(), buf.begin(), buf.begin() + r.i);
                merged[m][c] += r.merged;
                usleep(2000);
            }
        say("\rlateness: round %d/%d", round + 1, opt.rounds);
    }
    say("\n");
    Obj out;
    for (int m = 0; m < 2; m++) {
        Obj mo;
        const std::vector<int64_t> *limit = &samples[m][0];
        for (size_t c = 0; c < nc; c++)
            if (std::string(cs[c].name) == "clock_nanosleep")
                limit = &samples[m][c];
        for (size_t c = 0; c < nc; c++) {
            Obj o = dist_obj(samples[m][c], limit, true);
            if (m == 1)
                o.num("merged_expiries", static_cast<double>(merged[m][c]));
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
