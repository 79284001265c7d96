#include "support.h"

#include <dirent.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace {
std::mutex log_lock;
std::vector<t::Entry> captured;

void capture(int prio, const char *fmt, va_list ap) {
    char buf[1024];
    vsnprintf(buf, sizeof buf, fmt, ap);
    std::lock_guard<std::mutex> g(log_lock);
    captured.push_back({prio, buf});
}
} // namespace

extern "C" {
void vsyslog(int prio, const char *fmt, va_list ap) { capture(prio, fmt, ap); }
void syslog(int prio, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    capture(prio, fmt, ap);
    va_end(ap);
}
void __vsyslog_chk(int prio, int, const char *fmt, va_list ap) { capture(prio, fmt, ap); }
void __syslog_chk(int prio, int, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    capture(prio, fmt, ap);
    va_end(ap);
}
}

namespace t {

std::vector<Entry> logs() {
    std::lock_guard<std::mutex> g(log_lock);
    return captured;
}

void clear_logs() {
    std::lock_guard<std::mutex> g(log_lock);
    captured.clear();
}

std::vector<std::string> expected(const std::string &body) {
    std::string esc;
    for (char c : body)
        esc += c == '\n' ? std::string("\\n") : std::string(1, c);
    std::ifstream src(CHRONELS_SOURCE);
    std::vector<std::string> out;
    std::string line;
    for (int n = 1; std::getline(src, line); n++)
        if (line.find("LOG(\"" + esc + "\"") != std::string::npos)
            out.push_back("[src/chronels_ru.cpp:" + std::to_string(n) + "] ");
    return out;
}

bool logged(const std::string &format_body, const std::string &text) {
    for (const std::string &prefix : expected(format_body))
        for (const Entry &e : logs())
            if (e.prio == LOG_CRIT && e.text == prefix + text)
                return true;
    return false;
}

bool wait_until(const std::function<bool()> &cond, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        sleep_ms(1);
    }
    return true;
}

void sleep_ms(int v) {
    timespec ts = ms(v);
    while (nanosleep(&ts, &ts) != 0) {
    }
}

int system_timers() {
    std::ifstream f("/proc/self/timers");
    std::string line;
    int n = 0;
    while (std::getline(f, line))
        n += line.rfind("ID:", 0) == 0;
    return n;
}

bool under_sanitizer() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

bool under_valgrind() {
    const char *p = getenv("LD_PRELOAD");
    return p != nullptr && strstr(p, "vgpreload") != nullptr;
}

bool under_qemu() {
    std::ifstream f("/proc/self/maps");
    std::stringstream s;
    s << f.rdbuf();
    return s.str().find("qemu") != std::string::npos || getenv("CHRONELS_EMULATED") != nullptr;
}

} // namespace t

// ---------------------------------------------------------------------------
// The watchdog: a test that has not finished within its deadline prints the
// stack of every thread and fails the process, so a hang in CI shows where.
// ---------------------------------------------------------------------------
namespace {
std::atomic<long> deadline{0};

long now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

void *watchdog(void *) {
    for (;;) {
        t::sleep_ms(200);
        long d = deadline.load();
        if (d == 0 || now_s() < d)
            continue;
        fprintf(stderr, "\nwatchdog: test still running after its deadline; stacks follow\n");
        char cmd[128];
        snprintf(cmd, sizeof cmd, "timeout -k 5 30 gdb -nx -p %d -batch -ex 'thread apply all bt' 2>&1 | grep -v '^\\[' >&2",
                 static_cast<int>(getpid()));
        if (system(cmd) != 0)
            fprintf(stderr, "watchdog: gdb not available\n");
        _exit(3);
    }
    return nullptr;
}

struct Deadline : testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override {
        const char *s = getenv("CHRONELS_WATCHDOG_S");
        deadline = now_s() + (s != nullptr ? atol(s) : 30);
    }
    void OnTestEnd(const testing::TestInfo &) override { deadline = 0; }
};
} // namespace

int main(int argc, char **argv) {
    // The watchdog must never take a signal meant for the timer thread.
    sigset_t all;
    sigfillset(&all);
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &all, &old);
    pthread_t w;
    pthread_create(&w, nullptr, watchdog, nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    // SIGIO ends the timer thread; it must reach no other thread.
    sigset_t io;
    sigemptyset(&io);
    sigaddset(&io, SIGIO);
    pthread_sigmask(SIG_BLOCK, &io, nullptr);
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new Deadline);
    return RUN_ALL_TESTS();
}
