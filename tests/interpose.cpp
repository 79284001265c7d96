#include "interpose.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>

#include <mutex>
#include <unordered_set>

#include "support.h"

namespace fault {
std::atomic<int> calloc_err{0}, pthread_create_err{0}, timer_create_err{0}, timer_settime_err{0}, timer_delete_err{0};
std::atomic<int> pthread_create_delay_ms{0}, last_policy{-1}, last_priority{-1};
} // namespace fault

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
long fault::live_callocs() { return -1; }
#else
namespace {
// Sized up front: growing it would allocate from inside free().
std::mutex blocks_lock;
std::unordered_set<void *> *blocks;
thread_local bool busy = false;

bool take(std::atomic<int> &err) {
    int e = err.exchange(0);
    if (e != 0)
        errno = e;
    return e != 0;
}

// With 64-bit time on a 32-bit target, the header renames the call.
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
#define TIMER_SETTIME_NAME "__timer_settime64"
#else
#define TIMER_SETTIME_NAME "timer_settime"
#endif
template <typename F> F real(const char *name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }
} // namespace

extern "C" {
void *__libc_calloc(size_t, size_t);
void __libc_free(void *);

void *calloc(size_t n, size_t size) {
    if (take(fault::calloc_err))
        return nullptr;
    void *p = __libc_calloc(n, size);
    if (p != nullptr && !busy) {
        busy = true;
        std::lock_guard<std::mutex> g(blocks_lock);
        if (blocks == nullptr) {
            blocks = new std::unordered_set<void *>;
            blocks->reserve(1 << 16);
        }
        blocks->insert(p);
        busy = false;
    }
    return p;
}

void free(void *p) {
    if (p != nullptr && !busy) {
        busy = true;
        std::lock_guard<std::mutex> g(blocks_lock);
        if (blocks != nullptr)
            blocks->erase(p);
        busy = false;
    }
    __libc_free(p);
}

int pthread_create(pthread_t *th, const pthread_attr_t *attr, void *(*fn)(void *), void *arg) {
    if (attr != nullptr) {
        int policy;
        sched_param sp;
        pthread_attr_getschedpolicy(attr, &policy);
        pthread_attr_getschedparam(attr, &sp);
        fault::last_policy = policy;
        fault::last_priority = sp.sched_priority;
    }
    if (int d = fault::pthread_create_delay_ms.exchange(0))
        t::sleep_ms(d);
    if (int e = fault::pthread_create_err.exchange(0))
        return e;
    static auto fn_real = real<int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *)>("pthread_create");
    return fn_real(th, attr, fn, arg);
}

int timer_create(clockid_t c, struct sigevent *ev, timer_t *id) {
    static auto fn_real = real<int (*)(clockid_t, struct sigevent *, timer_t *)>("timer_create");
    return take(fault::timer_create_err) ? -1 : fn_real(c, ev, id);
}

int timer_settime(timer_t id, int flags, const struct itimerspec *v, struct itimerspec *old) {
    static auto fn_real = real<int (*)(timer_t, int, const struct itimerspec *, struct itimerspec *)>(TIMER_SETTIME_NAME);
    return take(fault::timer_settime_err) ? -1 : fn_real(id, flags, v, old);
}

int timer_delete(timer_t id) {
    static auto fn_real = real<int (*)(timer_t)>("timer_delete");
    return take(fault::timer_delete_err) ? -1 : fn_real(id);
}
}

long fault::live_callocs() {
    std::lock_guard<std::mutex> g(blocks_lock);
    return blocks == nullptr ? 0 : static_cast<long>(blocks->size());
}
#endif
