// The library: a chronel re-armed from its own callback.
#include "common.h"

using namespace cb;
namespace {

void fired(void *a) { on_expiry(static_cast<Rec *>(a)); }
int arm(Rec *r, int64_t v, int64_t i) {
    timespec tv = ts_of(v), ti = ts_of(i);
    return chronel_settime(static_cast<chronel *>(r->ctx), &tv, &ti);
}
void run(Rec &r) {
    chronel h{};
    chronel_create(&h, fired, &r);
    r.ctx = &h;
    r.arm = arm;
    timespec v = ts_of(KICK_NS);
    chronel_settime(&h, &v, nullptr);
    sem_wait(&r.done);
    chronel_delete(&h);
}
Add<Contender> reg{{"chronels", 1, run}};

} // namespace
