#include <time.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "platform.h"

namespace platform {

std::uint32_t tick_ms() {
    // Monotonic: a change of the wall clock must not stretch or cut a wait.
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    const std::uint64_t ms = static_cast<std::uint64_t>(t.tv_sec) * 1000u + static_cast<std::uint64_t>(t.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void pause_ms(std::uint32_t milliseconds) {
    timespec want{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    timespec left{};
    while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}

std::int64_t calendar_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

}  // namespace platform
