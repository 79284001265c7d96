// Test programs that link interpose.cpp replace calloc, free,
// pthread_create and the timer calls with wrappers that count records and
// fail on demand. Under a sanitizer the wrappers are left out: its runtime
// replaces the same functions, and only counting is lost.
#pragma once
#include <atomic>

namespace fault {
// An errno value makes the next call of that function fail with it (0: off).
extern std::atomic<int> calloc_err, pthread_create_err, timer_create_err, timer_settime_err, timer_delete_err;
extern std::atomic<int> pthread_create_delay_ms;
// Scheduling asked of the last pthread_create.
extern std::atomic<int> last_policy, last_priority;
// calloc'd blocks not yet freed; -1 when not counted.
long live_callocs();
} // namespace fault
