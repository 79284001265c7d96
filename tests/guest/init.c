// The guest's init: mounts what the tests read, runs each test of
// /guest/tests in turn under its deadline, prints its output and one result
// line on the console for the host, and powers the machine off.
//   E<TAB>KEY=VALUE                                   for every test
//   T<TAB>name seconds workdir nenv KEY=VALUE... argv...   (tab-separated)
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void run(char **f, int nf) {
    int limit = atoi(f[2]), nenv = atoi(f[4]), status = 0;
    if (nf < 6 + nenv)
        return;
    double start = now();
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int out = open("/tmp/guest-test.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1), dup2(out, 2);
        for (int i = 0; i < nenv; i++)
            putenv(f[5 + i]);
        if (chdir(f[3]) != 0)
            perror(f[3]);
        execv(f[5 + nenv], f + 5 + nenv);
        perror(f[5 + nenv]);
        _exit(127);
    }
    const char *result = "hang";
    while (now() - start < limit) { // as process 1 this also reaps what tests leave orphaned
        pid_t p = waitpid(-1, &status, WNOHANG);
        if (p == pid) {
            result = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "pass" : "fail";
            break;
        }
        if (p <= 0)
            usleep(20000);
    }
    int rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (strcmp(result, "hang") == 0) {
        kill(-pid, SIGKILL), kill(pid, SIGKILL);
        waitpid(pid, NULL, 0);
        rc = -1;
    }
    printf("GUEST-OUTPUT-BEGIN %s\n", f[1]); // for the log, and skip and failure messages
    fflush(stdout);
    int log = open("/tmp/guest-test.log", O_RDONLY);
    while (log >= 0 && sendfile(1, log, NULL, 1 << 20) > 0) {
    }
    close(log);
    printf("\nGUEST-OUTPUT-END %s\nGUEST-RESULT %s %s %d %.2f\n", f[1], f[1], result, rc, now() - start);
}

int main(void) {
    // /tmp stays on the root file system, already in memory and writable: a
    // build tree under /tmp is in the archive there.
    const char *fs[][2] = {{"proc", "/proc"}, {"sysfs", "/sys"}, {"devtmpfs", "/dev"}};
    mkdir("/tmp", 01777);
    for (int i = 0; i < 3; i++)
        if ((mkdir(fs[i][1], 0755) != 0 && errno != EEXIST) || mount(fs[i][0], fs[i][1], fs[i][0], 0, NULL) != 0)
            printf("GUEST-WARNING cannot mount %s: %s\n", fs[i][1], strerror(errno));
    setvbuf(stdout, NULL, _IOLBF, 0);
    // The kernel sizes the signal-slot limit by memory; a small guest's would
    // shrink the tests that size themselves by it below the host's run.
    struct rlimit slots = {16384, 16384};
    setrlimit(RLIMIT_SIGPENDING, &slots);
    struct utsname u;
    uname(&u);
    printf("GUEST-BOOT %s %s cpus=%ld\n", u.release, u.machine, sysconf(_SC_NPROCESSORS_ONLN));

    FILE *list = fopen("/guest/tests", "r");
    char *line = NULL, *fields[256];
    size_t cap = 0;
    while (list && getline(&line, &cap, list) > 0) {
        int nf = 0;
        line[strcspn(line, "\n")] = 0;
        for (char *s = strtok(strdup(line), "\t"); s && nf < 255; s = strtok(NULL, "\t"))
            fields[nf++] = s;
        fields[nf] = NULL;
        if (nf == 2 && strcmp(fields[0], "E") == 0)
            putenv(fields[1]);
        else if (nf >= 6 && strcmp(fields[0], "T") == 0)
            run(fields, nf);
    }
    printf("GUEST-DONE\n");
    sync();
    // Power-off where the machine has it; else a reset, which ends qemu under -no-reboot.
    reboot(RB_POWER_OFF);
    reboot(RB_AUTOBOOT);
    for (;;)
        pause();
}
