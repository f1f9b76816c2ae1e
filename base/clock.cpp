// The one clock of the program: CLOCK_MONOTONIC, which no one can set back.
#include "base.h"

#include <ctime>

volatile std::sig_atomic_t g_stop_signal = 0;

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
constexpr std::int64_t kNanosPerMilli = 1'000'000;

}  // namespace

std::int64_t monotonic_ns()
{
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return -1;
    return std::int64_t{now.tv_sec} * kNanosPerSecond + now.tv_nsec;
}

long long monotonic_ms()
{
    const std::int64_t now = monotonic_ns();
    return now < 0 ? -1 : static_cast<long long>(now / kNanosPerMilli);
}
