// SPDX-License-Identifier: MIT
/* Built against an installed libchronels, as C and as C++: one callback,
 * then clean up. */
#include <chronels.h>
#include <stdio.h>
#include <unistd.h>

static int fds[2];
static void tick(void *arg) { (void)!write(fds[1], &arg, 1); }

int main(void) {
    chronel t = {NULL, 0, 0};
    struct timespec first = {0, 1000000};
    char byte;
    if (pipe(fds) != 0 || chronel_init_default() != 0 || chronel_create(&t, tick, NULL) != 0 ||
        chronel_settime(&t, &first, NULL) != 0 || read(fds[0], &byte, 1) != 1 || chronel_delete(&t) != 0 || t.magic != 0)
        return 1;
    chronel_shutdown();
    puts(sizeof(char) == sizeof 'c' ? "C++ consumer: one callback" : "C consumer: one callback");
    return 0;
}
