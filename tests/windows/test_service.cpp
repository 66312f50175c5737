// zarvik_test_service: a real Windows service whose way of stopping is chosen
// when it is installed, for testing the tool's service stop against the
// system's service control manager.
//
//   zarvik_test_service install NAME [BEHAVIOUR...]   installs NAME (demand start)
//   zarvik_test_service start NAME                    starts it, waits until it runs
//   zarvik_test_service release NAME                  lets a stuck or refusing service stop
//   zarvik_test_service delete NAME                   stops it (however) and deletes it
//   zarvik_test_service state NAME                    prints its state and process id:
//                                                     "running 1234", "stopped 0", "missing 0"
//   zarvik_test_service run NAME [BEHAVIOUR...]       the service itself (its binary path)
//
// BEHAVIOUR, words of the form key=value:
//   stop=at-once   (default) the stop handler reports SERVICE_STOPPED itself
//   stop=pending   STOP_PENDING with checkpoint 1 from the handler, then
//                  checkpoints 2..steps, then STOPPED: checkpoint k (k >= 2)
//                  at (k - 1.5) * hint ms after the stop, STOPPED at
//                  (steps - 0.5) * hint ms.  Half a hint ahead of a caller
//                  that polls every `hint` ms, so that it sees checkpoints
//                  1, 2, ..., steps and then STOPPED.
//   stop=change    PAUSE_PENDING checkpoint 7 from the handler, STOP_PENDING
//                  checkpoint 1 at hint/2, checkpoint 2 at 1.5 hints, STOPPED
//                  at 2.5 hints: one pending state, then another with a lower
//                  checkpoint.
//   stop=stuck     like stop=pending up to checkpoint `steps`, which it then
//                  keeps until released (or `give-up` ms after the stop),
//                  when it reports STOPPED.
//   stop=refuse    does not accept SERVICE_CONTROL_STOP; reports STOPPED when
//                  released (or `give-up` ms after it started).
//   steps=N        (default 5) checkpoints of stop=pending and stop=stuck
//   hint=MS        (default 200) the wait hint of every pending status
//   give-up=MS     (default 120000) see stop=stuck and stop=refuse
//   start-steps=N  (default 0) START_PENDING checkpoints 1..N before RUNNING,
//                  timed like stop=pending (checkpoint 1 at once)
//   start-hint=MS  (default 100) their wait hint
//
// The release event (service_admin.h) is created when the service starts.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>  // before the headers that build on it

#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "service_admin.h"

namespace {

enum class StopKind { at_once, pending, change, stuck, refuse };

struct Behaviour {
    StopKind stop = StopKind::at_once;
    DWORD steps = 5;
    DWORD hint = 200;
    DWORD start_steps = 0;
    DWORD start_hint = 100;
    DWORD give_up = 120000;
};

bool parse_number(const std::wstring& text, DWORD* value)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of(L"0123456789") != std::wstring::npos)
        return false;
    *value = static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 10));
    return true;
}

bool parse_behaviour(const std::vector<std::wstring>& words, Behaviour* behaviour)
{
    for (const std::wstring& word : words) {
        const std::size_t equals = word.find(L'=');
        if (equals == std::wstring::npos)
            return false;
        const std::wstring key = word.substr(0, equals);
        const std::wstring value = word.substr(equals + 1);
        if (key == L"stop") {
            if (value == L"at-once")
                behaviour->stop = StopKind::at_once;
            else if (value == L"pending")
                behaviour->stop = StopKind::pending;
            else if (value == L"change")
                behaviour->stop = StopKind::change;
            else if (value == L"stuck")
                behaviour->stop = StopKind::stuck;
            else if (value == L"refuse")
                behaviour->stop = StopKind::refuse;
            else
                return false;
        } else if (key == L"steps") {
            if (!parse_number(value, &behaviour->steps) || behaviour->steps == 0)
                return false;
        } else if (key == L"hint") {
            if (!parse_number(value, &behaviour->hint))
                return false;
        } else if (key == L"start-steps") {
            if (!parse_number(value, &behaviour->start_steps))
                return false;
        } else if (key == L"start-hint") {
            if (!parse_number(value, &behaviour->start_hint))
                return false;
        } else if (key == L"give-up") {
            if (!parse_number(value, &behaviour->give_up))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

// --- the service --------------------------------------------------------------

Behaviour g_behaviour;
std::wstring g_name;
SERVICE_STATUS_HANDLE g_status_handle = nullptr;
HANDLE g_stop_requested = nullptr;
HANDLE g_released = nullptr;
std::mutex g_status_mutex;
SERVICE_STATUS g_status{};

// Reports a status; the handler and the service's thread both report.
void report(DWORD state, DWORD checkpoint = 0, DWORD hint = 0)
{
    std::lock_guard<std::mutex> lock(g_status_mutex);
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted =
        (state == SERVICE_RUNNING && g_behaviour.stop != StopKind::refuse) ? SERVICE_ACCEPT_STOP : 0;
    g_status.dwWin32ExitCode = NO_ERROR;
    g_status.dwServiceSpecificExitCode = 0;
    g_status.dwCheckPoint = checkpoint;
    g_status.dwWaitHint = hint;
    SetServiceStatus(g_status_handle, &g_status);
}

DWORD WINAPI handler(DWORD control, DWORD, void*, void*)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
        // The first status after a stop is reported before the control is
        // answered: the caller's first query sees it.
        switch (g_behaviour.stop) {
        case StopKind::at_once:
            report(SERVICE_STOPPED);
            break;
        case StopKind::pending:
        case StopKind::stuck:
            report(SERVICE_STOP_PENDING, 1, g_behaviour.hint);
            break;
        case StopKind::change:
            report(SERVICE_PAUSE_PENDING, 7, g_behaviour.hint);
            break;
        case StopKind::refuse:
            return ERROR_CALL_NOT_IMPLEMENTED;  // not offered; the manager refuses it first
        }
        SetEvent(g_stop_requested);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Checkpoints 2..steps of `state` after checkpoint 1 was reported: k at
// (k - 1.5) * hint.  Returns (steps - 0.5) * hint after checkpoint 1.
void advance(DWORD state, DWORD steps, DWORD hint)
{
    Sleep(hint / 2);
    for (DWORD k = 2; k <= steps; ++k) {
        report(state, k, hint);
        Sleep(hint);
    }
}

// Waits for the release event until `give_up` ms after `since` (GetTickCount64).
void hold(ULONGLONG since, DWORD give_up)
{
    const ULONGLONG elapsed = GetTickCount64() - since;
    WaitForSingleObject(g_released, elapsed < give_up ? static_cast<DWORD>(give_up - elapsed) : 0);
}

void WINAPI service_main(DWORD, LPWSTR*)
{
    // Both before the handler can be called.
    g_stop_requested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_released = CreateEventW(nullptr, TRUE, FALSE, testservice::release_event_name(g_name).c_str());
    g_status_handle = RegisterServiceCtrlHandlerExW(g_name.c_str(), handler, nullptr);
    if (!g_status_handle)
        return;

    const Behaviour& b = g_behaviour;
    if (b.start_steps > 0) {
        report(SERVICE_START_PENDING, 1, b.start_hint);
        advance(SERVICE_START_PENDING, b.start_steps, b.start_hint);
    }
    report(SERVICE_RUNNING);

    if (b.stop == StopKind::refuse) {
        hold(GetTickCount64(), b.give_up);
        report(SERVICE_STOPPED);
        return;
    }
    WaitForSingleObject(g_stop_requested, INFINITE);
    const ULONGLONG stop_requested = GetTickCount64();
    switch (b.stop) {
    case StopKind::at_once:
    case StopKind::refuse:
        break;  // reported by the handler
    case StopKind::pending:
        advance(SERVICE_STOP_PENDING, b.steps, b.hint);
        report(SERVICE_STOPPED);
        break;
    case StopKind::change:
        Sleep(b.hint / 2);
        report(SERVICE_STOP_PENDING, 1, b.hint);
        Sleep(b.hint);
        report(SERVICE_STOP_PENDING, 2, b.hint);
        Sleep(b.hint);
        report(SERVICE_STOPPED);
        break;
    case StopKind::stuck:
        advance(SERVICE_STOP_PENDING, b.steps, b.hint);
        hold(stop_requested, b.give_up);
        report(SERVICE_STOPPED);
        break;
    }
}

int run(const std::wstring& name, const std::vector<std::wstring>& words)
{
    if (!parse_behaviour(words, &g_behaviour)) {
        std::fwprintf(stderr, L"bad behaviour for %ls\n", name.c_str());
        return 2;
    }
    g_name = name;
    SERVICE_TABLE_ENTRYW table[] = {{&g_name[0], service_main}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        std::fwprintf(stderr, L"not started as a service: error %lu\n", GetLastError());
        return 1;
    }
    return 0;
}

int usage()
{
    std::fwprintf(stderr, L"usage: zarvik_test_service (install NAME [BEHAVIOUR...] | start NAME | release NAME |\n"
                          L"                            delete NAME | state NAME | run NAME [BEHAVIOUR...])\n");
    return 2;
}

int result(const wchar_t* what, const std::wstring& name, DWORD error)
{
    if (error != ERROR_SUCCESS) {
        std::fwprintf(stderr, L"%ls %ls: error %lu\n", what, name.c_str(), error);
        return 1;
    }
    return 0;
}

std::vector<std::wstring> arguments()
{
    std::vector<std::wstring> words;
    int count = 0;
    LPWSTR* list = CommandLineToArgvW(GetCommandLineW(), &count);
    if (list) {
        for (int i = 0; i < count; ++i)
            words.emplace_back(list[i]);
        LocalFree(list);
    }
    return words;
}

}  // namespace

int main()
{
    const std::vector<std::wstring> args = arguments();
    if (args.size() < 3)
        return usage();
    const std::wstring& verb = args[1];
    const std::wstring& name = args[2];
    const std::vector<std::wstring> words(args.begin() + 3, args.end());

    if (verb == L"run")
        return run(name, words);
    if (verb == L"install") {
        Behaviour check;
        if (!parse_behaviour(words, &check))
            return usage();
        std::wstring behaviour;
        for (const std::wstring& word : words)
            behaviour += (behaviour.empty() ? L"" : L" ") + word;
        return result(L"install", name, testservice::install(name, behaviour));
    }
    if (words.empty()) {
        if (verb == L"start")
            return result(L"start", name, testservice::start(name));
        if (verb == L"release") {
            testservice::release(name);
            return 0;
        }
        if (verb == L"delete")
            return result(L"delete", name, testservice::remove(name));
        if (verb == L"state") {
            const DWORD state = testservice::current_state(name);
            const wchar_t* word = state == 0                      ? L"missing"
                                  : state == SERVICE_RUNNING      ? L"running"
                                  : state == SERVICE_STOPPED      ? L"stopped"
                                  : state == SERVICE_STOP_PENDING ? L"stop-pending"
                                                                  : L"pending";
            std::wprintf(L"%ls %lu\n", word,
                         state == 0 ? 0ul : static_cast<unsigned long>(testservice::process_id(name)));
            return 0;
        }
    }
    return usage();
}
