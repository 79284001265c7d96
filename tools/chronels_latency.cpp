// SPDX-License-Identifier: MIT
// chronels-latency: how late this board's libchronels callbacks run.
//
// Runs N periodic timers of the library and reports, per timer, how long
// after its due time each callback started, in the words and layout of
// cyclictest, so that scripts written for one read the other. Each timer is
// armed from the timer thread itself, so its schedule is known to the
// nanosecond it was set. When the system merges expiries that came too late
// into one signal, the callback counts against the oldest one it serves.
// A run whose timer thread did not get the scheduling asked for measures
// nothing: a figure taken at SCHED_OTHER passed off as SCHED_FIFO's is worse
// than none.
#include "chronels.h"

#include <errno.h>
#include <getopt.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

timespec ts_of(int64_t ns) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

// Only the timer thread writes these, one callback at a time; the main
// thread reads them after deleting every timer, which waits for the timer
// thread and so orders the writes before the reads.
struct Timer {
    chronel h{};
    int64_t start = 0, period = 0, last_k = 0;
    long count = 0, merged = 0;
    int64_t min = INT64_MAX, max = 0, act = 0, sum = 0; // microseconds
    std::vector<long> hist;                            // histogram buckets, 1 us each
    long overflows = 0;
    std::vector<long> overflow_at; // cycle numbers, as many as there are buckets
};

struct Options {
    int threads = 1, priority = 0, hist_us = 0;
    int64_t interval_us = 1000, distance_us = 500, duration_s = 0;
    long loops = 0;
    bool lock = false, quiet = false;
    const char *json = nullptr;
} opt;

struct Figures {
    long count;
    int64_t min, act, max, sum;
};

// What the terminal shows while the run goes on: a copy of a timer's
// figures that the timer thread refreshes after each callback and the main
// thread reads. The timer thread only tries the lock and, when the main
// thread holds it (or was preempted holding it), leaves this copy for the
// next callback: the display never delays a callback.
struct Shown {
    std::mutex lock;
    Figures fig{0, 0, 0, 0, 0};
};

std::vector<Timer> timers;
std::unique_ptr<Shown[]> shown; // null when nothing is shown during the run
std::atomic<int> unfinished{0};
pthread_t main_thread;
std::atomic<pid_t> timer_tid{0};
std::atomic<int> timer_policy{SCHED_OTHER}, timer_prio{0};
std::atomic<bool> sched_as_asked{false};

Figures figures(const Timer &tm) { return Figures{tm.count, tm.count ? tm.min : 0, tm.act, tm.max, tm.sum}; }

void publish(Shown &sh, const Timer &tm) {
    if (sh.lock.try_lock()) {
        sh.fig = figures(tm);
        sh.lock.unlock();
    }
}

Figures snapshot(Shown &sh) {
    std::lock_guard<std::mutex> hold(sh.lock);
    return sh.fig;
}

void tick(void *arg) {
    int64_t t = now_ns();
    Timer &tm = *static_cast<Timer *>(arg);
    if (opt.loops > 0 && tm.count >= opt.loops)
        return;
    // Against the oldest expiry not yet served, as cyclictest measures a
    // wake-up against the deadline it slept for; the later ones the system
    // merged into the same callback are counted apart.
    // A callback that ran more than a period late was taken for a merge;
    // one that comes before the next deadline shows it was not: the
    // previous one had been delayed after taking its own expiry.
    int64_t k = (t - tm.start) / tm.period, due = tm.last_k + 1;
    if (k < due && tm.merged > 0) {
        tm.merged--;
        due = k;
    }
    int64_t late = std::max<int64_t>(0, t - (tm.start + due * tm.period)) / 1000;
    if (k > due)
        tm.merged += k - due;
    tm.last_k = std::max(k, due);
    tm.act = late;
    tm.min = std::min(tm.min, late);
    tm.max = std::max(tm.max, late);
    tm.sum += late;
    if (opt.hist_us > 0) {
        if (late < opt.hist_us) {
            tm.hist[static_cast<size_t>(late)]++;
        } else {
            if (tm.overflow_at.size() < static_cast<size_t>(opt.hist_us))
                tm.overflow_at.push_back(tm.count);
            tm.overflows++;
        }
    }
    ++tm.count;
    if (shown)
        publish(shown[static_cast<size_t>(&tm - timers.data())], tm);
    if (tm.count == opt.loops) {
        chronel_control(&tm.h, false);
        if (unfinished.fetch_sub(1) == 1)
            pthread_kill(main_thread, SIGUSR1);
    }
}

// The first expiry of the starter arms every timer from the timer thread,
// their first expiries spread over the shortest interval, so that they do
// not all fall due at the same instant on the one thread that serves them.
// It arms none when the thread runs other than asked: what the library
// made of the priority is seen only here, on the thread itself.
void start_all(void *) {
    sched_param sp{};
    int pol = SCHED_OTHER;
    pthread_getschedparam(pthread_self(), &pol, &sp);
    timer_policy = pol;
    timer_prio = sp.sched_priority;
    timer_tid = static_cast<pid_t>(syscall(SYS_gettid));
    bool ok = pol == (opt.priority > 0 ? SCHED_FIFO : SCHED_OTHER) && sp.sched_priority == opt.priority;
    int64_t n = ok ? static_cast<int64_t>(timers.size()) : 0;
    for (int64_t i = 0; i < n; i++) {
        Timer &tm = timers[static_cast<size_t>(i)];
        tm.period = (opt.interval_us + i * opt.distance_us) * 1000;
        int64_t offset = i * opt.interval_us * 1000 / n;
        tm.start = now_ns() + offset;
        timespec first = ts_of(tm.period + offset), every = ts_of(tm.period);
        chronel_settime(&tm.h, &first, &every);
    }
    // Published after the periods, which the main thread prints from now on.
    sched_as_asked = ok;
    pthread_kill(main_thread, SIGUSR1);
}

[[noreturn]] void usage(int status, const char *why = nullptr) {
    FILE *f = status == 0 ? stdout : stderr;
    if (why != nullptr)
        fprintf(f, "chronels-latency: %s\n", why);
    fprintf(f,
            "usage: chronels-latency [options]\n"
            "Runs periodic libchronels timers and reports how late their callbacks ran (us).\n\n"
            "  -t, --threads[=N]     N timers (1; -t alone: one per CPU)\n"
            "  -i, --interval=US     interval of the first timer (1000)\n"
            "  -d, --distance=US     each further timer's interval is this much longer (500)\n"
            "  -l, --loops=N         stop each timer after N expiries (0: no limit)\n"
            "  -D, --duration=TIME   stop after TIME seconds; suffix s, m, h or d\n"
            "  -p, --priority=PRIO   SCHED_FIFO priority of the timer thread, 1 to one below\n"
            "                        SCHED_FIFO's maximum (98), given to chronel_init; 0: normal\n"
            "                        scheduling. A run not granted it stops with status 1\n"
            "  -m, --mlockall        lock current and future memory\n"
            "  -h, --histogram=US    print a histogram of lateness up to US, 1 us per bucket\n"
            "  -q, --quiet           the summary only (on a terminal, no lines during the run)\n"
            "      --json=FILE       write the results to FILE as JSON\n"
            "      --help            this text\n"
            "Without -l or -D it runs until interrupted (SIGINT, SIGTERM).\n");
    exit(status);
}

int64_t number(const char *s, int64_t lo, int64_t hi, const char *what) {
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi)
        usage(2, (std::string("bad ") + what + ": '" + s + "'").c_str());
    return v;
}

int64_t duration(const char *s) {
    std::string v(s);
    int64_t unit = 1;
    if (!v.empty() && strchr("smhd", v.back()) != nullptr) {
        unit = v.back() == 's' ? 1 : v.back() == 'm' ? 60 : v.back() == 'h' ? 3600 : 86400;
        v.pop_back();
    }
    return number(v.c_str(), 1, 366 * 86400 / unit, "duration") * unit;
}

void parse(int argc, char **argv) {
    enum { JSON = 256, HELP };
    static const option longs[] = {
        {"threads", optional_argument, nullptr, 't'}, {"interval", required_argument, nullptr, 'i'},
        {"distance", required_argument, nullptr, 'd'}, {"loops", required_argument, nullptr, 'l'},
        {"duration", required_argument, nullptr, 'D'}, {"priority", required_argument, nullptr, 'p'},
        {"mlockall", no_argument, nullptr, 'm'},       {"histogram", required_argument, nullptr, 'h'},
        {"quiet", no_argument, nullptr, 'q'},          {"json", required_argument, nullptr, JSON},
        {"help", no_argument, nullptr, HELP},          {nullptr, 0, nullptr, 0}};
    int c;
    opterr = 0;
    while ((c = getopt_long(argc, argv, ":t::i:d:l:D:p:mh:q", longs, nullptr)) != -1) {
        switch (c) {
        case 't':
            // "-t 4" as well as "-t4": a number in the next word belongs to -t.
            if (optarg == nullptr && optind < argc && argv[optind][0] >= '0' && argv[optind][0] <= '9')
                optarg = argv[optind++];
            opt.threads = optarg != nullptr ? static_cast<int>(number(optarg, 1, 100000, "timer count"))
                                            : static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
            break;
        case 'i': opt.interval_us = number(optarg, 1, 3600000000LL, "interval"); break;
        case 'd': opt.distance_us = number(optarg, 0, 3600000000LL, "distance"); break;
        case 'l': opt.loops = static_cast<long>(number(optarg, 0, 0x7fffffffL, "loop count")); break;
        case 'D': opt.duration_s = duration(optarg); break;
        case 'p': opt.priority = static_cast<int>(number(optarg, 0, 1000000, "priority")); break;
        case 'm': opt.lock = true; break;
        case 'h': opt.hist_us = static_cast<int>(number(optarg, 1, 1000000, "histogram range")); break;
        case 'q': opt.quiet = true; break;
        case JSON: opt.json = optarg; break;
        case HELP: usage(0);
        case ':': usage(2, "an option lacks its value");
        default: usage(2, "unknown option");
        }
    }
    if (optind < argc)
        usage(2, (std::string("unexpected argument '") + argv[optind] + "'").c_str());
    // The library runs its thread SCHED_FIFO only below the policy's maximum
    // and takes any other value for SCHED_OTHER (saying so in its log); a
    // cyclictest user's -p 99 is refused here rather than run at 98, so that
    // the priority on every line is the one typed, and a comparison with a
    // run at 99 is never made at unequal priorities unnoticed.
    int lo = sched_get_priority_min(SCHED_FIFO), hi = sched_get_priority_max(SCHED_FIFO);
    if (opt.priority == hi)
        usage(2, ("priority " + std::to_string(hi) + " is SCHED_FIFO's maximum, which the library's timer thread "
                  "never takes; -p " + std::to_string(hi - 1) + " is the highest it runs at")
                     .c_str());
    if (opt.priority != 0 && (opt.priority < lo || opt.priority > hi))
        usage(2, ("bad priority: " + std::to_string(opt.priority) + ": 0 (SCHED_OTHER) or " + std::to_string(lo) +
                  " to " + std::to_string(hi - 1) + " (SCHED_FIFO)")
                     .c_str());
    // As in cyclictest: the columns of a histogram are of timers alike.
    if (opt.hist_us > 0)
        opt.distance_us = 0;
    if (opt.interval_us + (opt.threads - 1) * opt.distance_us > 3600000000LL)
        usage(2, "the last timer's interval is over an hour");
    if (static_cast<int64_t>(opt.hist_us) * opt.threads > 64 * 1024 * 1024)
        usage(2, "histogram range times timers is over 64 Mi buckets");
}

double avg(const Timer &tm) { return tm.count ? static_cast<double>(tm.sum) / static_cast<double>(tm.count) : 0; }

const char *sched_name(int policy) {
    return policy == SCHED_FIFO    ? "SCHED_FIFO"
           : policy == SCHED_RR    ? "SCHED_RR"
           : policy == SCHED_OTHER ? "SCHED_OTHER"
                                   : "another policy";
}

const char *policy_name() {
    return timer_policy == SCHED_FIFO ? "fifo" : timer_policy == SCHED_RR ? "rr" : "other";
}

std::string timer_line(size_t i, const Figures &v) {
    char line[160];
    snprintf(line, sizeof line, "T:%2zu (%5d) P:%2d I:%lld C:%7ld Min:%7lld Act:%5lld Avg:%5.0f Max:%8lld", i,
             static_cast<int>(timer_tid.load()), timer_prio.load(), static_cast<long long>(timers[i].period / 1000),
             v.count, static_cast<long long>(v.min), static_cast<long long>(v.act),
             v.count ? static_cast<double>(v.sum) / static_cast<double>(v.count) : 0.0, static_cast<long long>(v.max));
    return line;
}

std::string policy_line() {
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    char line[96];
    snprintf(line, sizeof line, "policy: %s: loadavg: %.2f %.2f %.2f", policy_name(), load[0], load[1], load[2]);
    return line;
}

void summary(FILE *f) {
    for (size_t i = 0; i < timers.size(); i++)
        fprintf(f, "%s\n", timer_line(i, figures(timers[i])).c_str());
}

// On a terminal the lines are rewritten in place: the cursor goes back up
// over the lines drawn last time. A block taller than the terminal could not
// be gone back over, so only as many timers as fit are shown; every one is
// in the report at the end.
int drawn = 0;

void draw() {
    size_t n = timers.size(), fit = n;
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && n + 3 > ws.ws_row)
        fit = ws.ws_row > 4 ? ws.ws_row - 4u : 0;
    std::string out;
    if (drawn > 0)
        out += "\033[" + std::to_string(drawn) + "A";
    out += policy_line() + "\033[K\n\033[K\n";
    for (size_t i = 0; i < fit; i++)
        out += timer_line(i, snapshot(shown[i])) + "\033[K\n";
    if (fit < n)
        out += "(" + std::to_string(n - fit) + " more timers: every one in the report at the end)\033[K\n";
    drawn = static_cast<int>(fit + 2 + (fit < n ? 1 : 0));
    fwrite(out.data(), 1, out.size(), stdout);
    fflush(stdout);
}

void histogram(FILE *f) {
    auto row = [&](const char *title, auto value) {
        fprintf(f, "# %s:", title);
        for (const Timer &tm : timers)
            value(tm);
        fputc('\n', f);
    };
    fprintf(f, "# Histogram\n");
    for (int b = 0; b < opt.hist_us; b++) {
        fprintf(f, "%06d", b);
        for (size_t i = 0; i < timers.size(); i++)
            fprintf(f, "%s%06ld", i ? "\t" : " ", timers[i].hist[static_cast<size_t>(b)]);
        fputc('\n', f);
    }
    row("Total", [&](const Timer &tm) { fprintf(f, " %09ld", tm.count - tm.overflows); });
    row("Min Latencies", [&](const Timer &tm) { fprintf(f, " %05lld", static_cast<long long>(tm.count ? tm.min : 0)); });
    row("Avg Latencies", [&](const Timer &tm) { fprintf(f, " %05.0f", avg(tm)); });
    row("Max Latencies", [&](const Timer &tm) { fprintf(f, " %05lld", static_cast<long long>(tm.max)); });
    row("Histogram Overflows", [&](const Timer &tm) { fprintf(f, " %05ld", tm.overflows); });
    fprintf(f, "# Histogram Overflow at cycle number:\n");
    for (size_t i = 0; i < timers.size(); i++) {
        fprintf(f, "# Thread %zu:", i);
        for (long at : timers[i].overflow_at)
            fprintf(f, " %05ld", at);
        long rest = timers[i].overflows - static_cast<long>(timers[i].overflow_at.size());
        if (rest > 0)
            fprintf(f, " # %05ld others", rest);
        fputc('\n', f);
    }
    fputc('\n', f);
}

bool write_json(const char *path, const std::string &cmdline, time_t t0, time_t t1) {
    FILE *f = fopen(path, "w");
    if (f == nullptr)
        return false;
    char b0[64], b1[64];
    strftime(b0, sizeof b0, "%a, %d %b %Y %T %z", localtime(&t0));
    strftime(b1, sizeof b1, "%a, %d %b %Y %T %z", localtime(&t1));
    utsname u{};
    uname(&u);
    std::string cmd;
    for (char ch : cmdline)
        cmd += ch == '"' || ch == '\\' ? std::string("\\") + ch : std::string(1, ch);
    fprintf(f,
            "{\n  \"file_version\": 1,\n  \"cmdline\": \"%s\",\n  \"start_time\": \"%s\",\n  \"end_time\": \"%s\",\n"
            "  \"sysinfo\": {\"sysname\": \"%s\", \"release\": \"%s\", \"machine\": \"%s\"},\n"
            "  \"num_threads\": %zu,\n  \"policy\": \"%s\",\n  \"priority\": %d,\n  \"thread\": {\n",
            cmd.c_str(), b0, b1, u.sysname, u.release, u.machine, timers.size(),
            policy_name(), timer_prio.load());
    for (size_t i = 0; i < timers.size(); i++) {
        const Timer &tm = timers[i];
        fprintf(f, "    \"%zu\": {\n      \"histogram\": {", i);
        const char *sep = "";
        for (size_t b = 0; b < tm.hist.size(); b++)
            if (tm.hist[b] != 0) {
                fprintf(f, "%s\"%zu\": %ld", sep, b, tm.hist[b]);
                sep = ", ";
            }
        fprintf(f,
                "},\n      \"interval\": %lld,\n      \"cycles\": %ld,\n      \"min\": %lld,\n      \"max\": %lld,\n"
                "      \"avg\": %.2f,\n      \"overflows\": %ld,\n      \"merged\": %ld\n    }%s\n",
                static_cast<long long>(tm.period / 1000), tm.count, static_cast<long long>(tm.count ? tm.min : 0),
                static_cast<long long>(tm.max), avg(tm), tm.overflows, tm.merged, i + 1 < timers.size() ? "," : "");
    }
    fprintf(f, "  }\n}\n");
    return fclose(f) == 0;
}

} // namespace

int main(int argc, char **argv) {
    std::string cmdline = argv[0];
    for (int i = 1; i < argc; i++)
        cmdline += std::string(" ") + argv[i];
    // The library reports why a call failed only to syslog, which on a board
    // often has no daemon: a copy on standard error puts the reason beside
    // the tool's own message.
    openlog("chronels-latency", LOG_PERROR | LOG_PID, LOG_USER);
    parse(argc, argv);
    if (opt.lock && mlockall(MCL_CURRENT | MCL_FUTURE) != 0)
        perror("chronels-latency: mlockall");

    // Blocked before the timer thread starts, so only sigtimedwait below
    // takes them: the end of the run, and the loops all done or started.
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, SIGINT);
    sigaddset(&wake, SIGTERM);
    sigaddset(&wake, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &wake, nullptr);
    main_thread = pthread_self();

    timers.resize(static_cast<size_t>(opt.threads));
    if (!opt.quiet && isatty(STDOUT_FILENO))
        shown.reset(new Shown[timers.size()]);
    for (Timer &tm : timers)
        tm.hist.assign(static_cast<size_t>(opt.hist_us), 0);
    unfinished = opt.threads;
    if (chronel_init(opt.priority, SIGRTMIN) != 0) {
        fprintf(stderr, "chronels-latency: chronel_init failed (the library's reason is above)\n");
        return 1;
    }
    for (Timer &tm : timers)
        if (chronel_create(&tm.h, tick, &tm) != 0) {
            fprintf(stderr,
                    "chronels-latency: chronel_create failed after %zu timers (the library's reason is above)\n",
                    static_cast<size_t>(&tm - timers.data()));
            return 1;
        }
    chronel starter{};
    timespec soon = ts_of(1000000);
    if (chronel_create(&starter, start_all, nullptr) != 0 || chronel_settime(&starter, &soon, nullptr) != 0) {
        fprintf(stderr, "chronels-latency: could not start the timers (the library's reason is above)\n");
        return 1;
    }
    while (sigwaitinfo(&wake, nullptr) != SIGUSR1) {
    }
    if (!sched_as_asked) {
        if (opt.priority > 0) {
            rlimit rt{};
            getrlimit(RLIMIT_RTPRIO, &rt);
            std::string limit = rt.rlim_cur == RLIM_INFINITY ? "unlimited" : std::to_string(rt.rlim_cur);
            std::string why = geteuid() == 0 ? "refused to root: has this control group no real-time run time?"
                                             : "SCHED_FIFO needs root, CAP_SYS_NICE or an RLIMIT_RTPRIO of at least " +
                                                   std::to_string(opt.priority) + "; ulimit -r here: " + limit;
            fprintf(stderr,
                    "chronels-latency: asked for SCHED_FIFO %d, the timer thread runs %s %d: nothing measured (%s)\n",
                    opt.priority, sched_name(timer_policy), timer_prio.load(), why.c_str());
        } else {
            fprintf(stderr, "chronels-latency: asked for SCHED_OTHER, the timer thread runs %s %d: nothing measured\n",
                    sched_name(timer_policy), timer_prio.load());
        }
        chronel_delete(&starter);
        for (Timer &tm : timers)
            chronel_delete(&tm.h);
        chronel_shutdown();
        return 1;
    }
    time_t t0 = time(nullptr);
    int64_t end = opt.duration_s > 0 ? now_ns() + opt.duration_s * 1000000000 : INT64_MAX;
    const int64_t redraw = 100000000; // as often as cyclictest's lines change
    int64_t next_draw = now_ns();
    for (;;) {
        // Checked before each wait too: the last timer's signal may have
        // merged with the starter's, still pending, when the loops are short.
        int64_t now = now_ns(), left = end - now;
        if (left <= 0 || (opt.loops > 0 && unfinished.load() == 0))
            break;
        int64_t nap = std::min<int64_t>(left, 3600LL * 1000000000);
        if (shown) {
            if (now >= next_draw) {
                draw();
                next_draw = now + redraw;
            }
            nap = std::min(nap, next_draw - now);
        }
        timespec wait = ts_of(nap);
        int sig = sigtimedwait(&wake, nullptr, &wait);
        if (sig == SIGINT || sig == SIGTERM || (sig == SIGUSR1 && unfinished.load() == 0))
            break;
    }
    for (Timer &tm : timers)
        chronel_delete(&tm.h);
    chronel_delete(&starter);
    chronel_shutdown();
    time_t t1 = time(nullptr);

    // The lines drawn during the run give way to the report, the same as
    // when the output is not a terminal.
    if (drawn > 0)
        printf("\033[%dA\033[J", drawn);
    if (!opt.quiet)
        printf("%s\n\n", policy_line().c_str());
    if (opt.hist_us > 0)
        histogram(stdout);
    if (opt.hist_us == 0 || !opt.quiet)
        summary(stdout);
    long merged = 0;
    for (const Timer &tm : timers)
        merged += tm.merged;
    if (merged > 0 && !opt.quiet)
        printf("# %ld late expiries merged into later ones\n", merged);
    if (opt.json != nullptr && !write_json(opt.json, cmdline, t0, t1)) {
        fprintf(stderr, "chronels-latency: could not write %s: %s\n", opt.json, strerror(errno));
        return 1;
    }
    return 0;
}
