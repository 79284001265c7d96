// Control round trip from another thread: chronel_settime and
// chronel_control against the bare mechanism's handshake (queue a signal,
// wait for the answer), with the calls that need no hand-over for scale.
#include "common.h"

#include <sys/timerfd.h>

#include <functional>

using namespace cb;
namespace {

void noop(void *) {}

std::string roundtrip() {
    chronel h{};
    chronel_create(&h, noop, nullptr);
    RawTimer rt{}, ip{};
    RawReq req;
    req.t = &rt;
    req.op = RAW_CREATE;
    raw_request(req);
    raw_create(&ip);
    int tfd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    const int64_t far = 10LL * 1000000000LL;
    timespec farv = ts_of(far);
    itimerspec faris = its_of(far, 0);
    req.op = RAW_SETTIME;
    req.its = faris;
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
        pin(me, p.client);
        pin(lib_tid, p.server);
        pin(raw_tid, p.server);
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
        for (int c = 0; c < 5; c++) {
            Obj o = dist_obj(d[c], &d[2], false, true);
            po.obj(calls[c].first, o);
            say("  roundtrip %-10s %-24s median %6.2f us  p99 %7.2f  (x%.3f / x%.3f of handshake)\n", p.name,
                calls[c].first, o.get("median_us"), o.get("p99_us"), o.get("ratio_median"), o.get("ratio_p99"));
        }
        out.obj(p.name, po);
    }
    pin(me, -1);
    pin(lib_tid, -1);
    pin(raw_tid, -1);
    chronel_delete(&h);
    req.op = RAW_DELETE;
    raw_request(req);
    timer_delete(ip.id);
    close(tfd);
    return out.render();
}
Add<Section> reg{{"roundtrip", 2, roundtrip}};

} // namespace
