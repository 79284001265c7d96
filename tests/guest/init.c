// SPDX-License-Identifier: MIT
// The guest's PID 1. Each line of /tests is a test, tab-separated: name,
// seconds, directory, its variables (KEY=VALUE), argv from an absolute path.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(void) {
    mount("proc", "/proc", "proc", 0, NULL);
    mount("sysfs", "/sys", "sysfs", 0, NULL);
    mount("devtmpfs", "/dev", "devtmpfs", 0, NULL);
    // The kernel sizes it by memory: a small guest's would shrink the tests sized by it.
    setrlimit(RLIMIT_SIGPENDING, &(struct rlimit){16384, 16384});
    struct utsname u;
    uname(&u);
    printf("GUEST-BOOT %s %s cpus=%ld\n", u.release, u.machine, sysconf(_SC_NPROCESSORS_ONLN));
    FILE *list = fopen("/tests", "r");
    static char line[1 << 16], *f[257]; // f[256] stays NULL
    while (list && fgets(line, sizeof line, list)) {
        int n = 0, status;
        while ((f[n] = strtok(n ? NULL : line, "\t\n")) && n < 255)
            n++;
        time_t end = time(NULL) + atoi(f[1]);
        pid_t pid = fork(), p;
        if (pid == 0) {
            setpgid(0, 0), freopen("/tmp/guest-out", "w", stdout) && dup2(1, 2); // the serial console would slow it
            for (n = 3; f[n][0] != '/'; n++)
                putenv(f[n]);
            if (chdir(f[2]) == 0)
                execv(f[n], f + n);
            perror(f[0]), _exit(127);
        }
        // Reaps, as PID 1 must, what earlier tests left orphaned too.
        while ((p = waitpid(-1, &status, WNOHANG)) != pid && time(NULL) < end)
            if (p <= 0)
                usleep(20000);
        if (p != pid)
            kill(-pid, SIGKILL), waitpid(pid, NULL, 0);
        FILE *out = fopen("/tmp/guest-out", "r");
        for (int c; (c = getc(out)) != EOF;)
            putchar(c);
        fclose(out);
        printf("\nGUEST-RESULT %s %d\n", f[0], p != pid ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    reboot(RB_POWER_OFF); // else PID 1's exit panics, and panic=-1 under qemu's -no-reboot ends it too
}
