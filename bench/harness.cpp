// chronels_bench: the library measured beside what a user would write
// instead, in one process, the contenders' rounds interleaved so that the
// machine's noise falls on all of them alike. Every figure goes to one JSON
// file; bench/run.sh turns three of them into the table and the plot.
// Only one waiter runs at a time, and every waiter blocks: a thread that
// polled would keep a CPU out of idle and flatter whoever ran beside it.
#include "common.h"

#include <errno.h>
#include <fcntl.h>
#include <gnu/libc-version.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

namespace cb {

Options opt;
std::vector<Contender> &contenders() { static std::vector<Contender> v; return v; }
std::vector<Section> &sections() { static std::vector<Section> v; return v; }
std::vector<Child> &children() { static std::vector<Child> v; return v; }

void say(const char *fmt, ...) {
    if (!opt.verbose)
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

void pin(pid_t tid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    for (long c = 0; c < n; c++)
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
Obj &Obj::str(const std::string &k, const std::string &v) { return raw(k, jstr(v)); }
double Obj::get(const std::string &k) const {
    for (const auto &p : kv)
        if (p.first == k)
            return atof(p.second.c_str());
    return NAN;
}
std::string Obj::render() const {
    std::string o = "{";
    for (size_t i = 0; i < kv.size(); i++)
        o += (i ? ", " : "") + jstr(kv[i].first) + ": " + kv[i].second;
    return o + "}";
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
    return v.empty() ? NAN : s / static_cast<double>(v.size()) / 1e3;
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
    auto arr = [&](const char *key, int steps, int from, int to) {
        std::string s = "[";
        for (int i = from; i <= to; i++) {
            char b[32];
            snprintf(b, sizeof b, "%s%.2f", i > from ? "," : "", q_us(v, i / static_cast<double>(steps)));
            s += b;
        }
        o.raw(key, s + "]");
    };
    if (deciles)
        arr("deciles_us", 10, 1, 9);
    if (quantiles)
        arr("quantiles_us", 1000, 0, 1000);
    return o;
}
double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? NAN : v[v.size() / 2];
}

std::string self_exe() {
    char b[4096];
    ssize_t n = readlink("/proc/self/exe", b, sizeof b - 1);
    b[n > 0 ? n : 0] = 0;
    return b;
}
int run_child(const std::vector<std::string> &args, bool quiet) {
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
    int st = 0;
    waitpid(child, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string read_first(const char *path) {
    std::ifstream f(path);
    std::string s;
    std::getline(f, s);
    return s;
}
Obj machine() {
    utsname u;
    uname(&u);
    std::string model, line, k, unit;
    std::ifstream f("/proc/cpuinfo"), mi("/proc/meminfo");
    while (model.empty() && std::getline(f, line))
        if (line.rfind("model name", 0) == 0)
            model = line.substr(line.find(':') + 2);
    long kb = 0, v;
    while (mi >> k >> v >> unit)
        kb = k == "MemTotal:" ? v : kb;
    char date[64];
    time_t now = time(nullptr);
    strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now));
    rlimit rl{};
    getrlimit(RLIMIT_SIGPENDING, &rl);
    Obj m;
    m.str("uname", std::string(u.sysname) + " " + u.nodename + " " + u.release + " " + u.version + " " + u.machine)
        .str("cpu_model", model).num("nproc", static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN)))
        .str("date", date).str("glibc", gnu_get_libc_version()).str("compiler", __VERSION__)
        .str("clocksource", read_first("/sys/devices/system/clocksource/clocksource0/current_clocksource"))
        .num("rlimit_sigpending", static_cast<double>(rl.rlim_cur)).num("mem_total_kb", static_cast<double>(kb))
        .str("loadavg_at_start", read_first("/proc/loadavg"));
    return m;
}

int usage(int status) {
    fprintf(status ? stderr : stdout,
            "usage: chronels_bench [--out FILE] [--note TEXT] [--only SECTION,...] [--smoke] [--quiet]\n"
            "  [--expiries N (6000)] [--rounds N (60)] [--calls N (24000)] [--cd-ms N (300)] [--cd-rounds N (4)]\n"
            "  [--scale N,... (1000,10000; none)] [--no-max] [--saturate N (50000; 0)] [--scale-secs S (2)]\n"
            "  [--no-strace] [--no-callgrind]\nsections:");
    for (const Section &s : sections())
        fprintf(status ? stderr : stdout, " %s", s.name);
    fprintf(status ? stderr : stdout, "\n");
    return status;
}

std::string out = "chronels_bench.json", note, only;
std::vector<std::string> options_given;

int parse_options(const std::vector<std::string> &a) {
    options_given = a;
    for (size_t i = 0; i < a.size(); i++) {
        auto next = [&] { return i + 1 < a.size() ? a[++i] : std::string(); };
        if (a[i] == "--out") out = next();
        else if (a[i] == "--expiries") opt.expiries = atoi(next().c_str());
        else if (a[i] == "--rounds") opt.rounds = std::max(1, atoi(next().c_str()));
        else if (a[i] == "--calls") opt.calls = atoi(next().c_str());
        else if (a[i] == "--cd-ms") opt.cd_ms = atoi(next().c_str());
        else if (a[i] == "--cd-rounds") opt.cd_rounds = atoi(next().c_str());
        else if (a[i] == "--scale") {
            opt.scale.clear();
            std::stringstream ss(next());
            for (std::string x; std::getline(ss, x, ',');)
                if (x != "none")
                    opt.scale.push_back(atoi(x.c_str()));
        } else if (a[i] == "--no-max") opt.scale_max = false;
        else if (a[i] == "--saturate") opt.sat_timers = atoi(next().c_str());
        else if (a[i] == "--scale-secs") opt.scale_secs = atof(next().c_str());
        else if (a[i] == "--no-strace") opt.strace = false;
        else if (a[i] == "--no-callgrind") opt.callgrind = false;
        else if (a[i] == "--note") note = next();
        else if (a[i] == "--quiet") opt.verbose = false;
        else if (a[i] == "--only") only = next();
        else if (a[i] == "--smoke") {
            opt.expiries = 200, opt.rounds = 2, opt.calls = 400, opt.cd_ms = 50, opt.cd_rounds = 1;
            opt.scale = {200}, opt.scale_max = false, opt.sat_timers = 2000, opt.scale_secs = 0.3, opt.callgrind = false;
        } else return usage(a[i] == "--help" || a[i] == "-h" ? 0 : 2);
    }
    return -1;
}

} // namespace cb

using namespace cb;

int main(int argc, char **argv) {
    std::vector<std::string> a(argv + 1, argv + argc);
    for (const Child &c : children())
        if (!a.empty() && a[0] == c.flag)
            return c.main(std::vector<std::string>(a.begin() + 1, a.end()));
    int status = parse_options(a);
    if (status >= 0)
        return status;
    block_signals();
    start_both();
    Obj root;
    root.obj("machine", machine());
    root.obj("config", Obj().num("expiries", opt.expiries).num("rounds", opt.rounds).num("calls", opt.calls)
                           .num("cd_ms", opt.cd_ms).num("scale_secs", opt.scale_secs).str("note", note));
    std::sort(sections().begin(), sections().end(), [](const Section &x, const Section &y) { return x.order < y.order; });
    for (const Section &s : sections()) {
        if (!only.empty() && ("," + only + ",").find("," + std::string(s.name) + ",") == std::string::npos)
            continue;
        say("%s\n", s.name);
        std::string o = s.run();
        if (!o.empty())
            root.raw(s.name, o);
    }
    root.str("loadavg_at_end", read_first("/proc/loadavg"));
    std::ofstream(out) << root.render() << "\n";
    say("wrote %s\n", out.c_str());
    raw_stop();
    chronel_shutdown();
    return 0;
}
