// SPDX-License-Identifier: MIT
// chronels_bench: the library measured beside what a user would write
// instead, in one process, the contenders' rounds interleaved so that the
// machine's noise falls on all of them alike. Every figure goes to one JSON
// file; bench/run.sh turns three of them into the table and the plot.
// Only one waiter runs at a time, and every waiter blocks: a thread that
// polled would keep a CPU out of idle and flatter whoever ran beside it.
#include "common.h"

#include <gnu/libc-version.h>
#include <stdarg.h>
#include <sys/utsname.h>

namespace cb {

Options opt;
std::vector<std::string> options_given;

void say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    if (opt.verbose)
        vfprintf(stderr, fmt, ap);
    va_end(ap);
}

void pin(pid_t tid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (long c = 0, n = sysconf(_SC_NPROCESSORS_ONLN); c < n; c++)
        if (cpu < 0 || c == cpu)
            CPU_SET(static_cast<int>(c), &set);
    sched_setaffinity(tid, sizeof set, &set);
}

std::string jstr(const std::string &s) {
    std::string o = "\"";
    for (char c : s)
        o += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, static_cast<unsigned char>(c) < 0x20 ? ' ' : c);
    return o + "\"";
}
Obj &Obj::num(const std::string &k, double v) {
    char b[64];
    snprintf(b, sizeof b, "%.6g", v);
    return raw(k, std::isfinite(v) ? b : "null");
}

// Nearest rank, in microseconds.
double q_us(const std::vector<int64_t> &s, double q) {
    size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(s.size())));
    return static_cast<double>(s[std::min(std::max<size_t>(rank, 1), s.size()) - 1]) / 1e3;
}
double mean_us(const std::vector<int64_t> &v) {
    double s = 0;
    for (int64_t x : v)
        s += static_cast<double>(x);
    return s / static_cast<double>(v.size()) / 1e3;
}
Obj dist_obj(std::vector<int64_t> v, const std::vector<int64_t> *ref, bool quantiles, bool deciles) {
    Obj o;
    o.num("n", static_cast<double>(v.size()));
    if (v.empty())
        return o;
    std::sort(v.begin(), v.end());
    o.num("median_us", q_us(v, 0.5)).num("p99_us", q_us(v, 0.99)).num("p999_us", q_us(v, 0.999))
        .num("max_us", q_us(v, 1)).num("min_us", q_us(v, 0)).num("mean_us", mean_us(v));
    if (ref != nullptr && !ref->empty()) {
        std::vector<int64_t> r = *ref;
        std::sort(r.begin(), r.end());
        for (auto [key, q] : {std::pair<const char *, double>{"ratio_median", 0.5}, {"ratio_p99", 0.99},
                              {"ratio_p999", 0.999}, {"ratio_max", 1.0}})
            o.num(key, q_us(v, q) / q_us(r, q));
        o.num("ratio_mean", mean_us(v) / mean_us(r));
    }
    for (auto [key, steps, from, to] : {std::tuple<const char *, int, int, int>{"deciles_us", 10, 1, 9},
                                        {"quantiles_us", 1000, 0, 1000}}) {
        if (!(steps == 10 ? deciles : quantiles))
            continue;
        std::string s = "[";
        for (int i = from; i <= to; i++) {
            char b[32];
            snprintf(b, sizeof b, "%s%.2f", i > from ? "," : "", q_us(v, i / static_cast<double>(steps)));
            s += b;
        }
        o.raw(key, s + "]");
    }
    return o;
}
double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? NAN : v[v.size() / 2];
}

long proc_value(const char *path, const char *key, int field) {
    std::ifstream f(path);
    std::string k;
    for (int i = 0; f >> k; i++)
        if (key ? k == key : i == field)
            return key ? (f >> k, atol(k.c_str())) : atol(k.c_str());
    return 0;
}
std::string read_first(const char *path) {
    std::ifstream f(path);
    std::string s;
    std::getline(f, s);
    return s;
}
std::string self_exe() {
    char b[4096];
    ssize_t n = readlink("/proc/self/exe", b, sizeof b - 1);
    b[n > 0 ? n : 0] = 0;
    return b;
}
pid_t spawn(const std::vector<std::string> &args, bool quiet) {
    pid_t child = fork();
    if (child == 0) {
        int fd = open("/dev/null", O_WRONLY);
        if (quiet)
            dup2(fd, 1), dup2(fd, 2);
        std::vector<char *> av;
        for (const std::string &a : args)
            av.push_back(const_cast<char *>(a.c_str()));
        av.push_back(nullptr);
        execvp(av[0], av.data());
        _exit(127);
    }
    return child;
}
int run_child(const std::vector<std::string> &args, bool quiet) {
    int st = 0;
    waitpid(spawn(args, quiet), &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

Obj machine() {
    utsname u;
    uname(&u);
    std::string model, line;
    std::ifstream f("/proc/cpuinfo");
    while (model.empty() && std::getline(f, line))
        if (line.rfind("model name", 0) == 0)
            model = line.substr(line.find(':') + 2);
    char date[64];
    time_t now = time(nullptr);
    strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
    rlimit rl{};
    getrlimit(RLIMIT_SIGPENDING, &rl);
    return Obj().str("uname", std::string(u.sysname) + " " + u.nodename + " " + u.release + " " + u.version + " " + u.machine)
        .str("cpu_model", model).num("nproc", static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN)))
        .str("date", date).str("glibc", gnu_get_libc_version()).str("compiler", __VERSION__)
        .str("clocksource", read_first("/sys/devices/system/clocksource/clocksource0/current_clocksource"))
        .num("rlimit_sigpending", static_cast<double>(rl.rlim_cur))
        .num("mem_total_kb", static_cast<double>(proc_value("/proc/meminfo", "MemTotal:", 0)))
        .str("loadavg_at_start", read_first("/proc/loadavg"));
}

std::string out = "chronels_bench.json", note, only;
const std::pair<const char *, std::string (*)()> sections[] = {
    {"lateness", lateness}, {"roundtrip", roundtrip}, {"create_delete", create_delete},
    {"syscalls", syscalls}, {"instructions", instructions}, {"scale", scale}};
// kind: i an int, d a double, s a string, o turns the flag off
struct Flag { const char *name; char kind; void *p; };
const Flag flags[] = {
    {"--out", 's', &out}, {"--note", 's', &note}, {"--only", 's', &only}, {"--quiet", 'o', &opt.verbose},
    {"--expiries", 'i', &opt.expiries}, {"--rounds", 'i', &opt.rounds}, {"--calls", 'i', &opt.calls},
    {"--cd-ms", 'i', &opt.cd_ms}, {"--cd-rounds", 'i', &opt.cd_rounds}, {"--scale", 's', &opt.scale},
    {"--no-max", 'o', &opt.scale_max}, {"--saturate", 'i', &opt.sat_timers}, {"--scale-secs", 'd', &opt.scale_secs},
    {"--no-strace", 'o', &opt.strace}, {"--no-callgrind", 'o', &opt.callgrind}};

int usage(int status) {
    FILE *f = status ? stderr : stdout;
    fprintf(f, "usage: chronels_bench [--smoke]");
    for (const Flag &x : flags)
        fprintf(f, " [%s%s]", x.name, x.kind == 'o' ? "" : " X");
    fprintf(f, "\nsections:");
    for (const auto &s : sections)
        fprintf(f, " %s", s.first);
    fprintf(f, "\n");
    return status;
}

int parse_options(const std::vector<std::string> &a) {
    options_given = a;
    for (size_t i = 0; i < a.size(); i++) {
        const Flag *f = nullptr;
        for (const Flag &x : flags)
            f = a[i] == x.name ? &x : f;
        if (a[i] == "--smoke") {
            opt.expiries = 200, opt.rounds = 2, opt.calls = 400, opt.cd_ms = 50, opt.cd_rounds = 1, opt.scale = "200";
            opt.scale_max = false, opt.sat_timers = 2000, opt.scale_secs = 0.3, opt.callgrind = false;
        } else if (f == nullptr) {
            return usage(a[i] == "--help" || a[i] == "-h" ? 0 : 2);
        } else if (f->kind == 'o') {
            *static_cast<bool *>(f->p) = false;
        } else {
            std::string v = i + 1 < a.size() ? a[++i] : "";
            if (f->kind == 's')
                *static_cast<std::string *>(f->p) = v;
            else if (f->kind == 'i')
                *static_cast<int *>(f->p) = atoi(v.c_str());
            else
                *static_cast<double *>(f->p) = atof(v.c_str());
        }
    }
    opt.rounds = std::max(1, opt.rounds);
    return -1;
}

} // namespace cb

using namespace cb;

int main(int argc, char **argv) {
    std::vector<std::string> a(argv + 1, argv + argc);
    if (!a.empty() && (a[0] == "--dispatch-child" || a[0] == "--scale-child"))
        return (a[0] == "--scale-child" ? scale_child : dispatch_child)(std::vector<std::string>(a.begin() + 1, a.end()));
    int status = parse_options(a);
    if (status >= 0)
        return status;
    block_signals();
    start_both();
    Obj root;
    root.obj("machine", machine());
    root.obj("config", Obj().num("expiries", opt.expiries).num("rounds", opt.rounds).num("calls", opt.calls)
                           .num("cd_ms", opt.cd_ms).num("scale_secs", opt.scale_secs).str("note", note));
    for (const auto &s : sections) {
        if (!only.empty() && ("," + only + ",").find("," + std::string(s.first) + ",") == std::string::npos)
            continue;
        say("%s\n", s.first);
        std::string o = s.second();
        if (!o.empty())
            root.raw(s.first, o);
    }
    root.str("loadavg_at_end", read_first("/proc/loadavg"));
    std::ofstream(out) << root.render() << "\n";
    say("wrote %s\n", out.c_str());
    stop_both();
    return 0;
}
