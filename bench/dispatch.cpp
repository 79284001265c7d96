// SPDX-License-Identifier: MIT
// The dispatch path on each timer thread, the library against the bare loop:
// system calls per dispatched expiry (strace) and user-space instructions
// and allocator calls per dispatch (callgrind).
#include "common.h"

#include <ctype.h>

namespace cb {
namespace {

std::atomic<long> dispatches{0}, target{0};
void count(void *) { dispatches.fetch_add(1, std::memory_order_relaxed); }

bool traced(pid_t tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind("TracerPid:", 0) == 0)
            return atoi(line.c_str() + 10) != 0;
    return false;
}

// strace counts the thread's calls while a 1 ms periodic timer is
// dispatched on it. Attaching interrupts the wait once; the stretch is
// long enough to show it as such.
Obj strace_thread(pid_t tid, double secs) {
    Obj o;
    char file[] = "/tmp/chronels-strace-XXXXXX";
    int fd = mkstemp(file);
    if (fd < 0)
        return o.str("error", "mkstemp");
    close(fd);
    pid_t child = spawn({"strace", "-q", "-c", "-o", file, "-p", std::to_string(tid)}, false);
    for (int64_t until = now_ns() + 5000000000LL; !traced(tid) && now_ns() < until;)
        usleep(1000);
    bool attached = traced(tid);
    long d0 = dispatches.load();
    if (attached)
        usleep(static_cast<useconds_t>(secs * 1e6));
    long d1 = dispatches.load();
    kill(child, attached ? SIGINT : SIGKILL);
    waitpid(child, nullptr, 0);
    std::ifstream f(file);
    unlink(file);
    if (!attached)
        return o.str("error", "strace did not attach");
    // strace -c: one line per call, "... calls [errors] name", then a total.
    double total = 0, waits = 0, d = static_cast<double>(d1 - d0);
    for (std::string line; std::getline(f, line);) {
        std::istringstream ss(line);
        std::vector<std::string> w{std::istream_iterator<std::string>(ss), std::istream_iterator<std::string>()};
        if (w.size() >= 5 && isdigit(static_cast<unsigned char>(w[0][0])) && w.back() != "total") {
            total += atof(w[3].c_str());
            waits += w.back() == "rt_sigtimedwait" ? atof(w[3].c_str()) : 0;
        }
    }
    return o.num("dispatches", d).num("syscalls", total).num("per_dispatch", total / d)
        .num("rt_sigtimedwait", waits).num("waits_per_dispatch", waits / d);
}

// The child's timer, and the same work for both loops; the last dispatch
// wanted disarms. CHRONELS_BENCH_ALLOCATE proves the allocator count sees calls.
Either timer;
bool allocates = false;
void dispatched(void *) {
    if (allocates) {
        void *volatile p = malloc(static_cast<size_t>(dispatches.load() % 64 + 16));
        free(p);
    }
    if (dispatches.fetch_add(1) + 1 == target.load())
        timer.arm(0, 0);
}

// Instructions, allocator calls and dispatches of a child under callgrind,
// collecting only inside the timer thread's loop.
struct Count { double ir = NAN, alloc_calls = NAN, dispatches = NAN; };
Count callgrind_once(const std::string &impl, long n) {
    Count c;
    std::string out = "/tmp/chronels-cg-" + std::to_string(getpid()) + "-" + impl + "-" + std::to_string(n);
    std::string fn = impl == "lib" ? "*chronel_thread_loop*" : "raw_loop";
    if (run_child({"valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, "--toggle-collect=" + fn,
                   "--compress-strings=no", self_exe(), "--dispatch-child", impl, std::to_string(n), out + ".count"}) != 0)
        return c;
    std::ifstream(out + ".count") >> c.dispatches;
    // The calls into the allocator made from collected code: a "calls="
    // line follows the "cfn=" line naming the callee.
    std::ifstream f(out);
    std::string cfn;
    c.alloc_calls = 0;
    for (std::string line; std::getline(f, line);) {
        if (line.rfind("totals:", 0) == 0 || line.rfind("summary:", 0) == 0)
            c.ir = atof(line.c_str() + line.find(':') + 1);
        if (line.rfind("cfn=", 0) == 0)
            cfn = line.substr(4);
        else if (line.rfind("calls=", 0) == 0 && (cfn == "malloc" || cfn == "calloc" || cfn == "realloc" || cfn == "free"))
            c.alloc_calls += atof(line.c_str() + 6);
    }
    unlink(out.c_str());
    unlink((out + ".count").c_str());
    return c;
}

} // namespace

std::string syscalls() {
    if (!opt.strace || run_child({"strace", "-V"}) != 0)
        return "";
    Obj out;
    for (bool lib : {true, false}) {
        Either t{lib};
        t.make(count, nullptr);
        t.arm(1000000, 1000000);
        out.obj(lib ? "chronels" : "posix_signal", strace_thread(lib ? lib_tid : raw_tid, opt.expiries >= 2000 ? 3.0 : 0.5));
        t.remove();
    }
    return out.render();
}

// args: lib|raw, n dispatches of a 0.5 ms periodic timer, file for the count
int dispatch_child(const std::vector<std::string> &a) {
    block_signals();
    start_both();
    target = atol(a.at(1).c_str());
    allocates = getenv("CHRONELS_BENCH_ALLOCATE") != nullptr;
    timer.lib = a[0] == "lib";
    timer.make(dispatched, nullptr);
    timer.arm(500000, 500000);
    while (dispatches.load() < target)
        usleep(5000);
    usleep(50000);
    if (FILE *f = fopen(a.at(2).c_str(), "w"))
        fprintf(f, "%ld\n", dispatches.load()), fclose(f);
    fflush(nullptr);
    _exit(0);
}

// Two runs with different n, so that start-up and shut-down cancel.
std::string instructions() {
    if (!opt.callgrind)
        return "";
    Obj out;
    if (run_child({"valgrind", "--version"}) != 0)
        return out.str("error", "valgrind not found").render();
    const long n1 = 250, n2 = 1250;
    double per[2];
    for (int k = 0; k < 2; k++) {
        const char *impl = k == 0 ? "lib" : "raw";
        Count a = callgrind_once(impl, n1), b = callgrind_once(impl, n2);
        double dd = b.dispatches - a.dispatches;
        per[k] = (b.ir - a.ir) / dd;
        out.obj(k == 0 ? "chronels" : "posix_signal",
                Obj().num("instructions_per_dispatch", per[k])
                    .num("allocator_calls_per_dispatch", (b.alloc_calls - a.alloc_calls) / dd));
    }
    return out.num("ratio", per[0] / per[1]).render();
}

} // namespace cb
