// Installing, starting and removing the test service (zarvik_test_service.exe)
// through the service control manager.  Used by the test service's own
// command line and by the tests.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

namespace testservice {

// The test service's executable: zarvik_test_service.exe beside the calling
// program.
std::wstring service_executable();

// Installs `name` as a demand-start service of its own process that runs
// `executable` with the behaviour `behaviour` (the words after "run NAME" on
// the service's command line, see test_service.cpp).  Returns 0 or the
// system error code.
DWORD install(const std::wstring& name, const std::wstring& behaviour,
              const std::wstring& executable = service_executable());

// Starts `name` and waits up to `timeout_ms` until it reports that it runs.
// Returns 0, the system error code, or ERROR_SERVICE_REQUEST_TIMEOUT.
DWORD start(const std::wstring& name, DWORD timeout_ms = 10000);

// Lets a service that holds on to its stop (`stop=stuck`, `stop=refuse`)
// report that it has stopped.  The event is the service's and the caller's:
// whoever comes first creates it.
std::wstring release_event_name(const std::wstring& name);
void release(const std::wstring& name);

// Removes `name` whatever its state: releases it, asks it to stop, waits up to
// `timeout_ms`, ends its process if it still runs, deletes it, and waits until
// the service manager no longer knows it.  Returns 0 once it is gone (or was
// never installed), otherwise the system error code of the step that failed.
DWORD remove(const std::wstring& name, DWORD timeout_ms = 10000);

// The current state of `name` (SERVICE_STOPPED, SERVICE_RUNNING, ...), or 0
// when it cannot be queried.
DWORD current_state(const std::wstring& name, SERVICE_STATUS* status = nullptr);

// The id of the process that runs `name`, or 0 when none runs it.
DWORD process_id(const std::wstring& name);

}  // namespace testservice
