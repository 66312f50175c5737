// Win32 side of the platform clock.
#include "../platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace com {
namespace platform {

UtcTime utc_now()
{
    SYSTEMTIME st;
    GetSystemTime(&st);
    UtcTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.millisecond = st.wMilliseconds;
    return t;
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
