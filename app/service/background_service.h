// Start-up's step that makes sure the background service that would hold the
// printer is not running.
#pragma once

// True when the service is stopped afterwards or is not installed.  On
// failure it has told the user so with a warning box.  Where there is no
// such service (any system but Windows) it returns true at once.
bool stopBackgroundService();

// Whether start-up may go on after stopping the service returned `code`:
// 0 (stopped) and 1060 (not installed) let it start.
inline bool serviceStopAllowsStart(unsigned long code)
{
    return code == 0 || code == 1060;
}
