// User-space instructions and allocator calls per dispatch: callgrind,
// collecting only inside each timer thread's loop, in a child process that
// dispatches a 0.5 ms periodic timer n times; run twice with different n
// so that start-up and shut-down cancel.
#include "common.h"

#include <stdio.h>
#include <stdlib.h>

#include <cmath>
#include <fstream>
#include <map>

using namespace cb;
namespace {

std::atomic<long> dispatches{0}, target{0};
Either timer;
bool allocates = false; // CHRONELS_BENCH_ALLOCATE: proves the allocator count sees calls

// The same work for both loops; the last dispatch wanted disarms.
void dispatched(void *) {
    if (allocates) {
        void *volatile p = malloc(static_cast<size_t>(dispatches.load() % 64 + 16));
        free(p);
    }
    if (dispatches.fetch_add(1) + 1 == target.load())
        timer.arm(0, 0);
}

// args: lib|raw, n, file to write the count to
int child(const std::vector<std::string> &a) {
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
    if (FILE *f = fopen(a.at(2).c_str(), "w")) {
        fprintf(f, "%ld\n", dispatches.load());
        fclose(f);
    }
    fflush(nullptr);
    _exit(0);
}
Add<Child> reg_child{{"--dispatch-child", child}};

struct Count { double ir = NAN, alloc_calls = NAN, dispatches = NAN; };

Count callgrind_once(const std::string &impl, long n) {
    Count c;
    std::string out = "/tmp/chronels-cg-" + std::to_string(getpid()) + "-" + impl + "-" + std::to_string(n);
    std::string fn = impl == "lib" ? "*chronel_thread_loop*" : "raw_loop";
    if (run_child({"valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, "--toggle-collect=" + fn,
                   self_exe(), "--dispatch-child", impl, std::to_string(n), out + ".count"}) != 0)
        return c;
    std::ifstream(out + ".count") >> c.dispatches;
    // The calls into the allocator made from collected code; names are
    // compressed to "(id)" after their first use.
    std::ifstream f(out);
    std::string cfn;
    std::map<std::string, std::string> names;
    c.alloc_calls = 0;
    for (std::string line; std::getline(f, line);) {
        if (line.rfind("totals:", 0) == 0 || line.rfind("summary:", 0) == 0)
            c.ir = atof(line.c_str() + line.find(':') + 1);
        bool callee = line.rfind("cfn=", 0) == 0;
        if (callee || line.rfind("fn=", 0) == 0) {
            std::string s = line.substr(callee ? 4 : 3);
            if (s[0] == '(') {
                std::string id = s.substr(0, s.find(')') + 1);
                if (id.size() < s.size())
                    names[id] = s.substr(id.size() + 1);
                s = names[id];
            }
            cfn = callee ? s : cfn;
        } else if (line.rfind("calls=", 0) == 0 &&
                   (cfn == "malloc" || cfn == "calloc" || cfn == "realloc" || cfn == "free")) {
            c.alloc_calls += atof(line.c_str() + 6);
        }
    }
    unlink(out.c_str());
    unlink((out + ".count").c_str());
    return c;
}

std::string instructions() {
    if (!opt.callgrind)
        return "";
    Obj out;
    if (run_child({"valgrind", "--version"}) != 0)
        return out.str("error", "valgrind not found").render();
    long n1 = std::max(100, opt.callgrind_dispatches / 4), n2 = opt.callgrind_dispatches + n1;
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
    out.num("ratio", per[0] / per[1]);
    say("  instructions per dispatch: chronels %.1f, bare %.1f (x%.3f)\n", per[0], per[1], per[0] / per[1]);
    return out.render();
}
Add<Section> reg{{"instructions", 5, instructions}};

} // namespace
