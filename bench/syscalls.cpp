// System calls per dispatched expiry: strace counts those of each timer
// thread while a 1 ms periodic timer is dispatched on it. Attaching
// interrupts the wait once; the stretch is long enough to show it as such.
#include "common.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

namespace cb {
namespace {

std::atomic<long> dispatches{0};
void count(void *) { dispatches.fetch_add(1, std::memory_order_relaxed); }

bool traced(pid_t tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind("TracerPid:", 0) == 0)
            return atoi(line.c_str() + 10) != 0;
    return false;
}

Obj strace_thread(pid_t tid, double secs) {
    Obj o;
    char tmpl[] = "/tmp/chronels-strace-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0)
        return o.str("error", "mkstemp");
    close(fd);
    std::string tids = std::to_string(tid);
    pid_t child = fork();
    if (child == 0) {
        execlp("strace", "strace", "-q", "-c", "-o", tmpl, "-p", tids.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int64_t until = now_ns() + 5000000000LL; !traced(tid) && now_ns() < until;)
        usleep(1000);
    bool attached = traced(tid);
    long d0 = dispatches.load();
    if (attached)
        usleep(static_cast<useconds_t>(secs * 1e6));
    long d1 = dispatches.load();
    kill(child, attached ? SIGINT : SIGKILL);
    waitpid(child, nullptr, 0);
    std::ifstream f(tmpl);
    unlink(tmpl);
    if (!attached)
        return o.str("error", "strace did not attach");
    long total = 0;
    double waits = 0;
    Obj calls;
    for (std::string line; std::getline(f, line);) {
        std::istringstream ss(line);
        std::vector<std::string> w;
        for (std::string x; ss >> x;)
            w.push_back(x);
        if (w.size() < 5 || w[0][0] == '%' || w[0][0] == '-' || w.back() == "total")
            continue;
        long n = atol(w[3].c_str());
        calls.num(w.back(), static_cast<double>(n));
        if (w.size() == 6) // the errors column
            calls.num(w.back() + "_failed", atof(w[4].c_str()));
        total += n;
        waits += w.back() == "rt_sigtimedwait" ? static_cast<double>(n) : 0;
    }
    double d = static_cast<double>(d1 - d0);
    return o.num("dispatches", d).num("syscalls", static_cast<double>(total))
        .num("per_dispatch", static_cast<double>(total) / d).obj("by_name", calls).num("waits_per_dispatch", waits / d);
}

std::string syscalls() {
    if (!opt.strace || run_child({"strace", "-V"}) != 0)
        return "";
    double secs = opt.expiries >= 2000 ? 3.0 : 0.5;
    timespec ms1 = ts_of(1000000);
    chronel h{};
    chronel_create(&h, count, nullptr);
    chronel_settime(&h, &ms1, &ms1);
    Obj lo = strace_thread(lib_tid, secs);
    chronel_delete(&h);

    RawTimer t{};
    t.cb = count;
    raw_create(&t);
    itimerspec its = its_of(1000000, 1000000);
    timer_settime(t.id, 0, &its, nullptr);
    Obj ro = strace_thread(raw_tid, secs);
    t.cb = nullptr;
    timer_delete(t.id);
    say("  syscalls per dispatch: chronels %s\n  syscalls per dispatch: bare     %s\n", lo.render().c_str(),
        ro.render().c_str());
    return Obj().obj("chronels", lo).obj("posix_signal", ro).render();
}
Add<Section> reg{{"syscalls", 4, syscalls}};

} // namespace
} // namespace cb
