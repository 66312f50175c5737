// Stopping and starting a Windows service through the service control manager.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// Stops the named service and waits until it reports that it has stopped.
// Returns 0 on success, otherwise a system error code: 1060 when the service
// is not installed; ERROR_SERVICE_REQUEST_TIMEOUT when it stopped making
// progress while stopping.  With `was_running`, tells whether the service
// took the stop request, that is, whether it ran before (a service that was
// not running is stopped already: 0, and false).
DWORD stopService(const wchar_t* name, bool* was_running = nullptr);

// Polls the service until it is in `wanted_state` (true).  False when a query
// fails (GetLastError tells why) or the service stops making progress (the
// last error is then ERROR_SERVICE_REQUEST_TIMEOUT).
bool waitForServiceState(SC_HANDLE service, DWORD wanted_state, SERVICE_STATUS* status);

// Starts the named service and waits until it reports that it runs (see
// service::wait_until_running); one that is still stopping is first waited
// out (service::wait_out_stop).  Returns 0 when it runs (already running
// counts), otherwise a system error code: that of the start request, the
// service's own exit code when it stopped again (ERROR_SERVICE_NOT_ACTIVE
// when it gave none), or ERROR_SERVICE_REQUEST_TIMEOUT when it stopped
// making progress while starting.
DWORD startService(const wchar_t* name);

#endif
