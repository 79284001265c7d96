// POSIX timers with SIGEV_THREAD: the C library runs each notification on
// a thread of its own.
#include "common.h"

#include <pthread.h>
#include <string.h>

using namespace cb;
namespace {

// SIGEV_THREAD may run two notifications at once when one is late.
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
void notify(union sigval v) {
    pthread_mutex_lock(&lock);
    on_expiry(static_cast<Rec *>(v.sival_ptr));
    pthread_mutex_unlock(&lock);
}
void run(Rec &r) {
    timer_t id;
    sigevent sev;
    memset(&sev, 0, sizeof sev);
    sev.sigev_notify = SIGEV_THREAD;
    sev.sigev_notify_function = notify;
    sev.sigev_value.sival_ptr = &r;
    timer_create(CLOCK_MONOTONIC, &sev, &id);
    r.ctx = &id;
    r.arm = posix_arm;
    itimerspec its = its_of(KICK_NS, 0);
    timer_settime(id, 0, &its, nullptr);
    sem_wait(&r.done);
    timer_delete(id);
}
Add<Contender> reg{{"sigev_thread", 4, run}};

} // namespace
