// timerfd, waited for with epoll_wait by a thread of its own.
#include "common.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>

#include <thread>

using namespace cb;
namespace {

int arm(Rec *r, int64_t v, int64_t i) {
    itimerspec its = its_of(v, i);
    return timerfd_settime(*static_cast<int *>(r->ctx), 0, &its, nullptr);
}
void run(Rec &r) {
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC), ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    r.ctx = &fd;
    r.arm = arm;
    std::thread th([&] {
        while (r.i < r.n) {
            epoll_event e;
            uint64_t ticks;
            if (epoll_wait(ep, &e, 1, -1) == 1 && read(fd, &ticks, sizeof ticks) == sizeof ticks)
                on_expiry(&r);
        }
    });
    itimerspec its = its_of(KICK_NS, 0);
    timerfd_settime(fd, 0, &its, nullptr);
    th.join();
    close(ep);
    close(fd);
}
Add<Contender> reg{{"timerfd_epoll", 3, run}};

} // namespace
