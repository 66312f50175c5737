// Win32 side of the platform clock.
#include "../platform.h"
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

}  // namespace platform
}  // namespace com
