// The bare mechanism the library wraps: a POSIX timer raising a real-time
// signal, taken by a sigwaitinfo thread that calls the record's function.
#include "common.h"

using namespace cb;
namespace {

void fired(void *a) { on_expiry(static_cast<Rec *>(a)); }
void run(Rec &r) {
    RawTimer t{};
    t.cb = fired;
    t.arg = &r;
    raw_create(&t);
    r.ctx = &t.id;
    r.arm = posix_arm;
    itimerspec its = its_of(KICK_NS, 0);
    timer_settime(t.id, 0, &its, nullptr);
    sem_wait(&r.done);
    t.cb = nullptr;
    timer_delete(t.id);
}
Add<Contender> reg{{"posix_signal", 2, run}};

} // namespace
