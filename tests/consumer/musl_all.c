// SPDX-License-Identifier: MIT
/* Built with musl-gcc by cmake/musl-test.sh and run against the library
 * built there for musl: every function of chronels.h once, each result
 * checked. Exits 0 only when every call did what it should. */
#define _POSIX_C_SOURCE 200809L /* for -std=c11: nanosleep, SIGRTMIN */
#include <chronels.h>
#include <errno.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <syslog.h>
#include <time.h>

static int failures;
static void check(int ok, const char *what) {
    printf("musl_all: %-58s %s\n", what, ok ? "ok" : "FAILED");
    failures += !ok;
}

static atomic_int ticks, inner_ticks, made_in_callback = -1, set_in_callback = -1, overrun_seen = -1;
static chronel inner; /* made by a callback, deleted by main */

/* The first one formats a double and logs, as callbacks do, on the timer
 * thread's own stack (128 KiB by default under musl). */
static void tick(void *arg) {
    atomic_store(&overrun_seen, chronel_overrun());
    if (atomic_fetch_add((atomic_int *)arg, 1) == 0) {
        char text[320];
        snprintf(text, sizeof text, "%.6f", 1e300 / 3.0);
        syslog(LOG_DEBUG, "musl_all: first tick %s", text);
    }
}

/* The way to create from a callback: in place, on the timer thread. */
static void spawn(void *arg) {
    struct timespec first = {0, 1000000};
    (void)arg;
    atomic_store(&made_in_callback, chronel_create_cs(&inner, tick, &inner_ticks));
    atomic_store(&set_in_callback, chronel_settime(&inner, &first, NULL));
}

/* Polls for up to ten seconds: a loaded machine may be slow, never this slow. */
static int reaches(atomic_int *n, int want) {
    struct timespec step = {0, 1000000};
    for (int i = 0; i < 10000 && atomic_load(n) < want; i++)
        nanosleep(&step, NULL);
    return atomic_load(n) >= want;
}

int main(void) {
    chronel periodic = {NULL, 0, 0}, once = {NULL, 0, 0};
    struct timespec ms = {0, 1000000}, quiet = {0, 50000000};
    setvbuf(stdout, NULL, _IOLBF, 0); /* every line out before a crash */

    check(chronel_init(0, SIGRTMIN + 4) == 0, "chronel_init(0, SIGRTMIN + 4)");
    check(chronel_create(&periodic, tick, &ticks) == 0 && periodic.magic == CHRONEL_MAGIC, "chronel_create");
    check(chronel_settime(&periodic, &ms, &ms) == 0, "chronel_settime, 1 ms period");
    check(reaches(&ticks, 3), "three callbacks");

    struct timespec left = {9, 9}, period = {9, 9}, now;
    check(chronel_gettime(&periodic, &left, &period) == 0 && period.tv_nsec == 1000000 && left.tv_sec == 0 &&
              left.tv_nsec <= 1000000, "chronel_gettime, armed");
    check(chronel_overrun() == -1 && errno == EPERM, "chronel_overrun outside a callback");
    clock_gettime(CLOCK_MONOTONIC, &now);
    now.tv_nsec = now.tv_nsec >= 999000000 ? 999999999 : now.tv_nsec + 1000000;
    check(chronel_settime_abs(&periodic, &now, &ms) == 0, "chronel_settime_abs, 1 ms from now");
    check(reaches(&ticks, atomic_load(&ticks) + 2), "callbacks after the absolute setting");
    check(atomic_load(&overrun_seen) >= 0, "chronel_overrun in a callback");

    check(chronel_control(&periodic, false) == 0, "chronel_control(false)");
    int paused = atomic_load(&ticks);
    nanosleep(&quiet, NULL);
    check(atomic_load(&ticks) == paused, "no callback while disabled");
    check(chronel_control(&periodic, true) == 0, "chronel_control(true)");
    check(reaches(&ticks, paused + 2), "callbacks again after enabling");

    check(chronel_create(&once, spawn, NULL) == 0, "chronel_create, one-shot");
    check(chronel_settime(&once, &ms, NULL) == 0, "chronel_settime, one-shot");
    check(reaches(&inner_ticks, 1), "callback of the timer made in a callback");
    check(atomic_load(&made_in_callback) == 0 && inner.magic == CHRONEL_MAGIC, "chronel_create_cs in a callback");
    check(atomic_load(&set_in_callback) == 0, "chronel_settime in a callback");

    check(chronel_delete(&inner) == 0 && inner.magic == 0, "chronel_delete, made in place");
    check(chronel_delete(&once) == 0 && once.magic == 0, "chronel_delete, one-shot");
    check(chronel_delete(&periodic) == 0 && periodic.magic == 0, "chronel_delete, periodic");
    check(chronel_delete(&periodic) == -1, "chronel_delete again refused");
    chronel_shutdown();
    check(chronel_create(&once, spawn, NULL) == -1, "chronel_create refused after chronel_shutdown");

    check(chronel_init_default() == 0, "chronel_init_default");
    int before = atomic_load(&ticks);
    check(chronel_create(&periodic, tick, &ticks) == 0, "chronel_create on the new thread");
    check(chronel_settime(&periodic, &ms, &ms) == 0, "chronel_settime on the new thread");
    check(reaches(&ticks, before + 1), "callback from the new thread");
    check(chronel_delete(&periodic) == 0, "chronel_delete on the new thread");
    chronel_shutdown();

    printf("musl_all: %d of the checks failed\n", failures);
    return failures != 0;
}
