// Win32 side of the platform clock.
#include "../platform.h"

#include <chrono>

#include "system_time.h"  // and windows.h

namespace com {
namespace platform {

UtcTime utc_now()
{
    SYSTEMTIME st;
    GetSystemTime(&st);
    return from_system_time(st);
}

std::uint32_t tick_count()
{
    return GetTickCount();
}

void sleep_ms(unsigned milliseconds)
{
    Sleep(milliseconds);
}

bool wait_ready(std::condition_variable& condition, std::unique_lock<std::mutex>& lock, unsigned milliseconds,
                const std::function<bool()>& ready)
{
    return condition.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
}

}  // namespace platform
}  // namespace com
