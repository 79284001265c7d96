// Shared by the test programs: log capture, polling waits, small helpers.
#pragma once
#include <chronels.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace t {

// Every syslog call of the library lands here, formatted (the library's own
// %m included), with its priority.
struct Entry { int prio; std::string text; };
std::vector<Entry> logs();
void clear_logs();
// The whole message the library prints for `body` from any of its logging
// statements with that format, e.g. msg("Invalid chronel\n"). Empty when the
// source has no such statement.
std::vector<std::string> expected(const std::string &format_body);
// True when some captured message is exactly "[src/chronels_ru.cpp:L] text"
// with L a line of a logging statement whose format is `format_body`.
bool logged(const std::string &format_body, const std::string &text);
inline bool logged(const std::string &body) { return logged(body, body); }

// Polls `cond` every millisecond until it holds or `seconds` pass.
bool wait_until(const std::function<bool()> &cond, double seconds = 10);
void sleep_ms(int ms);
inline pid_t gettid_() { return static_cast<pid_t>(syscall(SYS_gettid)); }
inline timespec ms(long v) { return timespec{v / 1000, (v % 1000) * 1000000L}; }
// POSIX timers of this process as /proc/self/timers lists them.
int system_timers();
bool under_sanitizer();
bool under_valgrind();
bool under_qemu();

} // namespace t
