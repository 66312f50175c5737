#include "service_admin.h"

#include <vector>

namespace testservice {

namespace {

// Closes a service manager handle at the end of a scope.
class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
    ~ScHandle()
    {
        if (handle_)
            CloseServiceHandle(handle_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;

    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

// Polls `service` every few milliseconds until it is in `wanted` or
// `timeout_ms` have passed.
bool poll_until(SC_HANDLE service, DWORD wanted, DWORD timeout_ms, SERVICE_STATUS* status)
{
    const ULONGLONG end = GetTickCount64() + timeout_ms;
    for (;;) {
        if (!QueryServiceStatus(service, status))
            return false;
        if (status->dwCurrentState == wanted)
            return true;
        if (GetTickCount64() >= end)
            return false;
        Sleep(10);
    }
}

}  // namespace

std::wstring service_executable()
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::wstring();
        if (length < path.size()) {
            std::wstring self(path.data(), length);
            return self.substr(0, self.find_last_of(L"\\/") + 1) + L"zarvik_test_service.exe";
        }
        path.resize(path.size() * 2);
    }
}

DWORD install(const std::wstring& name, const std::wstring& behaviour, const std::wstring& executable)
{
    // The name travels unquoted on the service's command line.
    if (name.empty() || name.find_first_of(L" \t\"") != std::wstring::npos)
        return ERROR_INVALID_NAME;
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager)
        return GetLastError();
    const std::wstring command = L"\"" + executable + L"\" run " + name + L" " + behaviour;
    ScHandle service(CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_QUERY_STATUS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                    command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    return service ? ERROR_SUCCESS : GetLastError();
}

DWORD start(const std::wstring& name, DWORD timeout_ms)
{
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return GetLastError();
    ScHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service)
        return GetLastError();
    if (!StartServiceW(service.get(), 0, nullptr))
        return GetLastError();
    SERVICE_STATUS status{};
    if (poll_until(service.get(), SERVICE_RUNNING, timeout_ms, &status))
        return ERROR_SUCCESS;
    return status.dwCurrentState == SERVICE_STOPPED ? ERROR_SERVICE_NOT_ACTIVE : ERROR_SERVICE_REQUEST_TIMEOUT;
}

std::wstring release_event_name(const std::wstring& name)
{
    return L"Global\\" + name + L"-release";
}

void release(const std::wstring& name)
{
    // The running service holds the event open, so setting it and closing the
    // handle at once is enough.
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, release_event_name(name).c_str());
    if (event) {
        SetEvent(event);
        CloseHandle(event);
    }
}

DWORD remove(const std::wstring& name, DWORD timeout_ms)
{
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return GetLastError();
    {
        ScHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
        if (!service) {
            const DWORD error = GetLastError();
            return error == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SUCCESS : error;
        }

        // Held until the service is gone, so that a service that has not
        // opened the event yet still finds it set.
        HANDLE released = CreateEventW(nullptr, TRUE, TRUE, release_event_name(name).c_str());
        if (released)
            SetEvent(released);

        SERVICE_STATUS status{};
        if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
            ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
            if (!poll_until(service.get(), SERVICE_STOPPED, timeout_ms, &status)) {
                // It does not stop: end its process.
                SERVICE_STATUS_PROCESS process{};
                DWORD size = 0;
                if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                                         sizeof process, &size) &&
                    process.dwProcessId != 0) {
                    HANDLE handle = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.dwProcessId);
                    if (handle) {
                        TerminateProcess(handle, 1);
                        WaitForSingleObject(handle, timeout_ms);
                        CloseHandle(handle);
                    }
                }
                poll_until(service.get(), SERVICE_STOPPED, timeout_ms, &status);
            }
        }

        const bool deleted = DeleteService(service.get()) || GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
        const DWORD delete_error = GetLastError();
        if (released)
            CloseHandle(released);
        if (!deleted)
            return delete_error;
    }

    // The service manager forgets a deleted service once its last handle is
    // closed.
    const ULONGLONG end = GetTickCount64() + timeout_ms;
    for (;;) {
        ScHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
        if (!service) {
            const DWORD error = GetLastError();
            return error == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SUCCESS : error;
        }
        if (GetTickCount64() >= end)
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        Sleep(10);
    }
}

namespace {

// What `query` gives for the service `name` opened for status queries; 0
// when it cannot be opened.
template <class Query>
DWORD query_service(const std::wstring& name, Query query)
{
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return 0;
    ScHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    return service ? query(service.get()) : 0;
}

}  // namespace

DWORD current_state(const std::wstring& name, SERVICE_STATUS* status)
{
    SERVICE_STATUS own{};
    if (!status)
        status = &own;
    return query_service(name, [&](SC_HANDLE service) -> DWORD {
        return QueryServiceStatus(service, status) ? status->dwCurrentState : 0;
    });
}

DWORD process_id(const std::wstring& name)
{
    return query_service(name, [](SC_HANDLE service) -> DWORD {
        SERVICE_STATUS_PROCESS process{};
        DWORD size = 0;
        return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process), sizeof process,
                                    &size)
                   ? process.dwProcessId
                   : 0;
    });
}

}  // namespace testservice
