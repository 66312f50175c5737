// Stopping a Windows service through the service control manager.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// Stops the named service and waits until it reports that it has stopped.
// Returns 0 on success, otherwise a system error code: 1060 when the service
// is not installed; ERROR_SERVICE_REQUEST_TIMEOUT when it stopped making
// progress while stopping.
DWORD stopService(const wchar_t* name);

// Polls the service until it is in `wanted_state` (true).  False when a query
// fails (GetLastError tells why) or the service stops making progress (the
// last error is then ERROR_SERVICE_REQUEST_TIMEOUT).
bool waitForServiceState(SC_HANDLE service, DWORD wanted_state, SERVICE_STATUS* status);

#endif
