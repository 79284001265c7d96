/* Built against an installed libchronels, as C and as C++: one callback,
 * then clean up. */
#include <chronels.h>
#include <errno.h>
#include <semaphore.h>
#include <stdio.h>

static sem_t fired;

static void tick(void *arg) { sem_post((sem_t *)arg); }

int main(void) {
    chronel t = {NULL, 0, 0};
    struct timespec first = {0, 1000000};
    sem_init(&fired, 0, 0);
    if (chronel_init_default() != 0 || chronel_create(&t, tick, &fired) != 0 ||
        chronel_settime(&t, &first, NULL) != 0)
        return 1;
    while (sem_wait(&fired) != 0 && errno == EINTR) {
    }
    if (chronel_delete(&t) != 0 || t.magic != 0)
        return 1;
    chronel_shutdown();
    puts(sizeof(char) == sizeof 'c' ? "C++ consumer: one callback" : "C consumer: one callback");
    return 0;
}
