// Start-up's step that makes sure the background service that would hold the
// printer is not running.
#pragma once

#include "service/background.h"

// True when the service is stopped afterwards or is not installed.  On
// failure it has told the user so with a warning box.  Where there is no
// such service (any system but Windows) it returns true at once.
bool stopBackgroundService();
