/* SPDX-License-Identifier: MIT */
/* chronels.h - callback timers served by one timer thread per process.
 *
 * Every callback runs on the library's timer thread, one at a time.
 * Call chronel_init() (or chronel_init_default()) before starting other
 * threads, or block its three real-time signals in them yourself.
 * Results are 0 for success and -1 for failure; reasons go to syslog
 * at LOG_CRIT.
 */
#ifndef CHRONELS_H
#define CHRONELS_H

#include <stdbool.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The handle. Zero it before its first create; the library writes it only
 * on a successful create (ptr, magic) and on delete (cleared). */
typedef struct {
    void *ptr;         /* the library's record for this timer */
    int32_t magic;     /* CHRONEL_MAGIC while the handle holds a timer */
    int32_t isabstime; /* set to 1 by chronel_create_cs(); never read */
} chronel;

#define CHRONEL_MAGIC 0x1ace0324

/* The version of this header; the functions of a minor version are there
 * when CHRONELS_VERSION_MINOR is at least that minor (1.1 added
 * chronel_gettime, chronel_settime_abs and chronel_overrun). */
#define CHRONELS_VERSION_MAJOR 1
#define CHRONELS_VERSION_MINOR 1
#define CHRONELS_VERSION_PATCH 0

/* The width of time_t that the library was built with: 64 wherever the C
 * library offers it. Its struct timespec must be the caller's, or a time
 * passed in is read as another. On 32-bit glibc targets that means building
 * with -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64, which `pkg-config --cflags
 * chronels` and the CMake target chronels::chronels hand on. */
#define CHRONELS_TIME_BITS 64
#define CHRONELS_TIME_T_MISMATCH "time_t differs from libchronels's: build with the flags of `pkg-config --cflags chronels` (-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64 on 32-bit targets)"
#if defined(__cplusplus) && __cplusplus >= 201103L
static_assert(sizeof(time_t) * 8 == CHRONELS_TIME_BITS, CHRONELS_TIME_T_MISMATCH);
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(time_t) * 8 == CHRONELS_TIME_BITS, CHRONELS_TIME_T_MISMATCH);
#else
typedef char chronels_time_t_must_match_build_with_pkg_config_cflags_chronels_D_TIME_BITS_64
    [sizeof(time_t) * 8 == CHRONELS_TIME_BITS ? 1 : -1];
#endif

int chronel_init(int priority, int timer_signo);
int chronel_init_default(void);
void chronel_shutdown(void);

int chronel_create(chronel *user, void (*callback)(void *), void *arg);
int chronel_settime(chronel *user, struct timespec *itime, struct timespec *rtime);
int chronel_control(chronel *user, bool enable);
int chronel_delete(chronel *user);
int chronel_create_cs(chronel *user, void (*callback)(void *), void *arg);

/* Since 1.1. */
int chronel_gettime(chronel *user, struct timespec *remaining, struct timespec *period);
int chronel_settime_abs(chronel *user, struct timespec *deadline, struct timespec *period);
int chronel_overrun(void);

#ifdef __cplusplus
}
#endif

#endif /* CHRONELS_H */
