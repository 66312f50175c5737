#include "service/service_control.h"

#include <cstdint>

#include "service/service_wait.h"

namespace {

// What a poll of the wait needs of the service's status.
void take_status(const SERVICE_STATUS& status, service::PollStatus* poll)
{
    poll->state = status.dwCurrentState;
    poll->checkpoint = status.dwCheckPoint;
    poll->wait_hint = status.dwWaitHint;
}

// Opens the named service with `access` through a connection to the service
// control manager, which `*manager` gets.  nullptr when either cannot be
// opened: `*error` then gets the system's error, and nothing stays open.
SC_HANDLE open_service(const wchar_t* name, DWORD access, SC_HANDLE* manager, DWORD* error)
{
    *manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!*manager) {
        *error = GetLastError();
        return nullptr;
    }
    SC_HANDLE service = OpenServiceW(*manager, name, access);
    if (!service) {
        // Read before the close, which may overwrite it.
        *error = GetLastError();
        CloseServiceHandle(*manager);
        *manager = nullptr;
    }
    return service;
}

}  // namespace

bool waitForServiceState(SC_HANDLE service, DWORD wanted_state, SERVICE_STATUS* status)
{
    const service::WaitOutcome outcome = service::wait_for_state(
        wanted_state,
        [&](service::PollStatus* poll) {
            if (!QueryServiceStatus(service, status))
                return false;
            take_status(*status, poll);
            return true;
        },
        [](std::uint32_t ms) { Sleep(ms); });
    if (outcome == service::WaitOutcome::no_progress)
        SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
    return outcome == service::WaitOutcome::reached;
}

DWORD stopService(const wchar_t* name, bool* was_running)
{
    if (was_running)
        *was_running = false;
    SC_HANDLE manager = nullptr;
    DWORD open_error = ERROR_SUCCESS;
    SC_HANDLE service = open_service(name, SERVICE_STOP | SERVICE_QUERY_STATUS, &manager, &open_error);
    if (!service)
        return open_error;

    SERVICE_STATUS status{};
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        if (was_running)
            *was_running = true;
    } else {
        const DWORD error = GetLastError();
        // Already stopped counts as an accepted stop; anything else ends here.
        if (error != ERROR_SERVICE_NOT_ACTIVE) {
            CloseServiceHandle(service);
            CloseServiceHandle(manager);
            return error;
        }
    }

    const bool stopped = waitForServiceState(service, SERVICE_STOPPED, &status);
    const DWORD error = stopped ? ERROR_SUCCESS : GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    // A failed wait must never read as success.
    return stopped ? ERROR_SUCCESS : (error != ERROR_SUCCESS ? error : ERROR_SERVICE_REQUEST_TIMEOUT);
}

DWORD startService(const wchar_t* name)
{
    SC_HANDLE manager = nullptr;
    DWORD open_error = ERROR_SUCCESS;
    SC_HANDLE service = open_service(name, SERVICE_START | SERVICE_QUERY_STATUS, &manager, &open_error);
    if (!service)
        return open_error;

    SERVICE_STATUS status{};
    DWORD query_error = ERROR_SUCCESS;
    const auto query = [&](service::PollStatus* poll) {
        if (!QueryServiceStatus(service, &status)) {
            query_error = GetLastError();
            return false;
        }
        take_status(status, poll);
        return true;
    };
    const auto sleep = [](std::uint32_t ms) { Sleep(ms); };
    const auto now = [] { return static_cast<std::uint64_t>(GetTickCount64()); };

    // A service whose stop was taken but not waited out may still be
    // stopping: it can be started once it has stopped.  If it cannot, the
    // start request says why.
    service::wait_out_stop(query, sleep, now);
    DWORD result = ERROR_SUCCESS;
    if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        result = GetLastError();
    } else {
        const service::StartOutcome outcome = service::wait_until_running(query, sleep, now);
        switch (outcome) {
        case service::StartOutcome::running:
            break;
        case service::StartOutcome::stopped:
            result = status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR || status.dwWin32ExitCode == ERROR_SUCCESS
                         ? ERROR_SERVICE_NOT_ACTIVE
                         : status.dwWin32ExitCode;
            break;
        case service::StartOutcome::query_failed:
            result = query_error != ERROR_SUCCESS ? query_error : ERROR_SERVICE_REQUEST_TIMEOUT;
            break;
        case service::StartOutcome::no_progress:
            result = ERROR_SERVICE_REQUEST_TIMEOUT;
            break;
        }
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}
