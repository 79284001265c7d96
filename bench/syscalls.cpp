// System calls per dispatched expiry: strace counts those of each timer
// thread while a 1 ms periodic timer is dispatched on it. Attaching
// interrupts the wait once; the stretch is long enough to show it as such.
#include "common.h"

#include <ctype.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

using namespace cb;
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
    // strace -c: one line per call, "... calls [errors] name", then a total.
    double total = 0, waits = 0, d = static_cast<double>(d1 - d0);
    for (std::string line; std::getline(f, line);) {
        std::istringstream ss(line);
        std::vector<std::string> w;
        for (std::string x; ss >> x;)
            w.push_back(x);
        if (w.size() >= 5 && isdigit(static_cast<unsigned char>(w[0][0])) && w.back() != "total") {
            total += atof(w[3].c_str());
            waits += w.back() == "rt_sigtimedwait" ? atof(w[3].c_str()) : 0;
        }
    }
    return o.num("dispatches", d).num("syscalls", total).num("per_dispatch", total / d)
        .num("rt_sigtimedwait", waits).num("waits_per_dispatch", waits / d);
}

std::string syscalls() {
    if (!opt.strace || run_child({"strace", "-V"}) != 0)
        return "";
    Obj out;
    for (bool lib : {true, false}) {
        Either t{lib};
        t.make(count, nullptr);
        t.arm(1000000, 1000000);
        Obj o = strace_thread(lib ? lib_tid : raw_tid, opt.expiries >= 2000 ? 3.0 : 0.5);
        t.remove();
        out.obj(lib ? "chronels" : "posix_signal", o);
        say("  syscalls per dispatch, %s: %s\n", lib ? "chronels" : "bare", o.render().c_str());
    }
    return out.render();
}
Add<Section> reg{{"syscalls", 4, syscalls}};

} // namespace
