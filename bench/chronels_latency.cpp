// chronels-latency: how late this board's timer callbacks run.
//
// Runs N periodic timers of the library for a while and prints a histogram
// of how long after its due time each callback started. Each timer is armed
// from the timer thread itself, so its schedule is known to the nanosecond
// it was set; when the system merges expiries that came too late, the
// callback counts against the latest one due, and the merge is counted.
#include "chronels.h"
#include "common.h"

#include <getopt.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <atomic>
#include <vector>

namespace {

struct Timer {
    chronel h;
    int64_t start, period; // first expiry is start + period
    int64_t last_k;
};

int64_t period_ns = 1000000;
int nbuckets = 1000;       // 1 us buckets
std::vector<long> hist;    // [nbuckets] counts overflow
std::vector<Timer> timers;
int64_t min_ns = INT64_MAX, max_ns = 0, sum_ns = 0;
long samples = 0, merged = 0;
std::atomic<bool> stop{false};
std::atomic<int> policy{-1}, prio{-1};

void tick(void *arg) {
    int64_t t = cb::now_ns();
    Timer *tm = static_cast<Timer *>(arg);
    if (stop.load(std::memory_order_relaxed))
        return;
    int64_t k = (t - tm->start) / tm->period;
    if (k > tm->last_k + 1)
        merged += k - tm->last_k - 1;
    tm->last_k = k;
    int64_t late = t - (tm->start + k * tm->period);
    int64_t b = late / 1000;
    hist[static_cast<size_t>(b < nbuckets ? b : nbuckets)]++;
    min_ns = std::min(min_ns, late);
    max_ns = std::max(max_ns, late);
    sum_ns += late;
    samples++;
}

// The first expiry of the starter arms every timer, staggered over one
// period, from the timer thread.
chronel starter{};
std::atomic<bool> started{false};
void start_all(void *) {
    sched_param sp{};
    int pol = 0;
    pthread_getschedparam(pthread_self(), &pol, &sp);
    policy = pol;
    prio = sp.sched_priority;
    size_t n = timers.size();
    for (size_t i = 0; i < n; i++) {
        Timer &tm = timers[i];
        int64_t offset = static_cast<int64_t>(i) * period_ns / static_cast<int64_t>(n);
        tm.start = cb::now_ns() + offset;
        tm.period = period_ns;
        tm.last_k = 0;
        timespec first = cb::ts_of(period_ns + offset), every = cb::ts_of(period_ns);
        chronel_settime(&tm.h, &first, &every);
    }
    started = true;
}

void usage(FILE *f) {
    fprintf(f,
            "usage: chronels-latency [options]\n"
            "Runs periodic timers of libchronels and prints how late their callbacks ran.\n\n"
            "  -n, --timers N      number of timers (1)\n"
            "  -i, --interval US   period of each timer in microseconds (1000)\n"
            "  -d, --duration S    how long to run, in seconds (10)\n"
            "  -p, --priority P    SCHED_FIFO priority of the timer thread, given to\n"
            "                      chronel_init (0: normal scheduling; needs root)\n"
            "  -b, --buckets N     histogram range in microseconds, 1 us per bucket (1000)\n"
            "  -m, --mlock         lock all memory first (mlockall)\n"
            "  -q, --quiet         summary only, no histogram\n"
            "  -h, --help          this text\n\n"
            "Lateness is the callback's start on CLOCK_MONOTONIC minus the expiry it\n"
            "serves. Compare a run with -p 80 against one without, on an idle and on a\n"
            "loaded board.\n");
}

} // namespace

int main(int argc, char **argv) {
    long ntimers = 1;
    double duration = 10;
    int priority = 0;
    bool quiet = false, lock = false;
    static const option longs[] = {{"timers", required_argument, nullptr, 'n'},
                                   {"interval", required_argument, nullptr, 'i'},
                                   {"duration", required_argument, nullptr, 'd'},
                                   {"priority", required_argument, nullptr, 'p'},
                                   {"buckets", required_argument, nullptr, 'b'},
                                   {"mlock", no_argument, nullptr, 'm'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "n:i:d:p:b:mqh", longs, nullptr)) != -1) {
        switch (c) {
        case 'n': ntimers = atol(optarg); break;
        case 'i': period_ns = static_cast<int64_t>(atof(optarg) * 1000); break;
        case 'd': duration = atof(optarg); break;
        case 'p': priority = atoi(optarg); break;
        case 'b': nbuckets = atoi(optarg); break;
        case 'm': lock = true; break;
        case 'q': quiet = true; break;
        case 'h': usage(stdout); return 0;
        default: usage(stderr); return 2;
        }
    }
    if (ntimers < 1 || period_ns < 1000 || duration <= 0 || nbuckets < 1) {
        usage(stderr);
        return 2;
    }
    if (lock && mlockall(MCL_CURRENT | MCL_FUTURE) != 0)
        perror("mlockall");
    hist.assign(static_cast<size_t>(nbuckets) + 1, 0);
    timers.assign(static_cast<size_t>(ntimers), Timer{});

    if (chronel_init(priority, SIGRTMIN) != 0) {
        fprintf(stderr, "chronel_init failed (see syslog)\n");
        return 1;
    }
    for (Timer &tm : timers)
        if (chronel_create(&tm.h, tick, &tm) != 0) {
            fprintf(stderr, "chronel_create failed after %ld timers (see syslog)\n",
                    static_cast<long>(&tm - timers.data()));
            return 1;
        }
    chronel_create(&starter, start_all, nullptr);
    timespec soon = cb::ts_of(1000000);
    chronel_settime(&starter, &soon, nullptr);
    while (!started.load())
        usleep(1000);
    timespec d = cb::ts_of(static_cast<int64_t>(duration * 1e9));
    clock_nanosleep(CLOCK_MONOTONIC, 0, &d, nullptr);
    stop = true;
    for (Timer &tm : timers)
        chronel_delete(&tm.h);
    chronel_delete(&starter);
    chronel_shutdown();

    const char *pol = policy == SCHED_FIFO ? "SCHED_FIFO" : policy == SCHED_RR ? "SCHED_RR" : "SCHED_OTHER";
    printf("# chronels-latency: %ld timer(s), period %.0f us, %.1f s\n", ntimers, static_cast<double>(period_ns) / 1e3,
           duration);
    printf("# timer thread: %s priority %d%s\n", pol, prio.load(),
           priority > 0 && policy != SCHED_FIFO ? " (asked for SCHED_FIFO: needs root and 1..98)" : "");
    if (!quiet) {
        printf("# lateness_us  count\n");
        for (int b = 0; b < nbuckets; b++)
            if (hist[static_cast<size_t>(b)] != 0)
                printf("%6d %10ld\n", b, hist[static_cast<size_t>(b)]);
        if (hist[static_cast<size_t>(nbuckets)] != 0)
            printf(">%5d %10ld\n", nbuckets, hist[static_cast<size_t>(nbuckets)]);
    }
    // Percentiles from the histogram: the bucket's upper edge.
    auto pct = [&](double q) {
        long want = static_cast<long>(q * static_cast<double>(samples) + 0.999999), seen = 0;
        for (int b = 0; b <= nbuckets; b++) {
            seen += hist[static_cast<size_t>(b)];
            if (seen >= want)
                return b;
        }
        return nbuckets;
    };
    if (samples == 0) {
        printf("# no expiries\n");
        return 1;
    }
    printf("# samples %ld  merged %ld  overflow(>%d us) %ld\n", samples, merged, nbuckets,
           hist[static_cast<size_t>(nbuckets)]);
    printf("# min %.1f us  avg %.1f us  max %.1f us\n", static_cast<double>(min_ns) / 1e3,
           static_cast<double>(sum_ns) / static_cast<double>(samples) / 1e3, static_cast<double>(max_ns) / 1e3);
    auto show = [&](const char *name, double q) {
        int b = pct(q);
        if (b >= nbuckets)
            printf("  %s > %d us", name, nbuckets);
        else
            printf("  %s < %d us", name, b + 1);
    };
    printf("#");
    show("median", 0.5);
    show("p99", 0.99);
    show("p99.9", 0.999);
    show("p99.99", 0.9999);
    printf("\n");
    return 0;
}
