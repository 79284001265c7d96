// The limit: a thread sleeping to an absolute deadline with 1 ns timer
// slack. Nothing wakes a sleeping thread sooner.
#include "common.h"

#include <sys/prctl.h>

#include <thread>

using namespace cb;
namespace {

void run(Rec &r) {
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
Add<Contender> reg{{"clock_nanosleep", 0, run}};

} // namespace
