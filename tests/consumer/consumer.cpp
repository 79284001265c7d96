// Built against an installed libchronels from C++: the header's extern "C"
// and a timer made in place (chronel_create_cs) that fires once.
#include <chronels.h>

#include <chrono>
#include <cstdio>
#include <future>

int main() {
    std::promise<void> fired;
    chronel t{};
    timespec first{0, 1000000};
    if (chronel_init_default() != 0 ||
        chronel_create_cs(&t, [](void *p) { static_cast<std::promise<void> *>(p)->set_value(); }, &fired) != 0 ||
        chronel_settime(&t, &first, nullptr) != 0)
        return 1;
    // A deadline only so that a broken install fails instead of hanging.
    if (fired.get_future().wait_for(std::chrono::seconds(30)) != std::future_status::ready)
        return 1;
    if (chronel_delete(&t) != 0)
        return 1;
    chronel_shutdown();
    std::puts("C++ consumer: one callback");
    return 0;
}
