// The Win32 side's one conversion between SYSTEMTIME and the platform layer's UtcTime.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "../platform.h"

namespace com {
namespace platform {

inline UtcTime from_system_time(const SYSTEMTIME& st)
{
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

}  // namespace platform
}  // namespace com
