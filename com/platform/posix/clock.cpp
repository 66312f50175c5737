// POSIX side of the platform clock: wall time in UTC, a 32-bit millisecond
// tick counter, sleep and waits.
#include "../platform.h"

#include <cerrno>
#include <chrono>
#include <ctime>

namespace com {
namespace platform {

UtcTime utc_now()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm broken{};
    ::gmtime_r(&now.tv_sec, &broken);
    UtcTime t;
    t.year = broken.tm_year + 1900;
    t.month = broken.tm_mon + 1;
    t.day = broken.tm_mday;
    t.hour = broken.tm_hour;
    t.minute = broken.tm_min;
    t.second = broken.tm_sec > 59 ? 59 : broken.tm_sec;  // a leap second reads as :59
    t.millisecond = static_cast<int>(now.tv_nsec / 1000000);
    return t;
}

std::uint32_t tick_count()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);  // wraps like the Windows tick count
}

void sleep_ms(unsigned milliseconds)
{
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

bool wait_ready(std::condition_variable& condition, std::unique_lock<std::mutex>& lock, unsigned milliseconds,
                const std::function<bool()>& ready)
{
    return condition.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
}

}  // namespace platform
}  // namespace com
