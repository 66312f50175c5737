// The service stop against the system's service control manager, with real
// services (zarvik_test_service.exe) that stop in the ways a background
// service may: at once, slowly with growing checkpoints, through a change of
// pending state, not at all, or not on request.
//
// The calls the stop makes to the service manager and to Sleep are watched
// through this executable's import table (import_hook.h): which rights it
// asks for, which handles it closes, every status it was given, every pause
// it took.  While watched, CloseServiceHandle changes the last error after
// closing, as any successful call may, so that an error read after a close
// shows up as the wrong code.
//
// Every test installs services of its own, named ZarvikTestSvc-*, and the
// fixture removes them again whatever the outcome.  The service manager is
// shared by the whole wine prefix: ctest runs these tests one at a time
// (RESOURCE_LOCK).
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "import_hook.h"
#include "service/background_service.h"
#include "service/service_control.h"
#include "service_admin.h"

namespace {

// GetTickCount moves in steps of about 16 ms (on Windows and under wine):
// durations measured with it may read that much short.
constexpr ULONGLONG tick_ms = 16;

// What CloseServiceHandle leaves as the last error while watched.
constexpr DWORD clobbered_error = ERROR_GEN_FAILURE;

struct Query {
    SERVICE_STATUS status;
    ULONGLONG at;  // GetTickCount64 when it returned
};

struct Calls {
    std::vector<DWORD> manager_access;
    std::vector<DWORD> service_access;
    std::vector<SC_HANDLE> opened;
    std::vector<SC_HANDLE> closed;
    std::vector<DWORD> control_errors;  // per ControlService call: 0 or its error
    std::vector<Query> queries;         // the statuses QueryServiceStatus gave
    std::size_t query_calls = 0;
    std::vector<DWORD> sleeps;

    // When set, query number `fail_query` (counting from 1) fails with
    // `fail_error` without reaching the service manager.
    std::size_t fail_query = 0;
    DWORD fail_error = 0;
};

Calls* g_calls = nullptr;

struct Originals {
    decltype(&OpenSCManagerW) open_manager;
    decltype(&OpenServiceW) open_service;
    decltype(&ControlService) control;
    decltype(&QueryServiceStatus) query;
    decltype(&CloseServiceHandle) close;
    decltype(&Sleep) sleep;
} g_original;

SC_HANDLE WINAPI watched_open_manager(LPCWSTR machine, LPCWSTR database, DWORD access)
{
    g_calls->manager_access.push_back(access);
    SC_HANDLE handle = g_original.open_manager(machine, database, access);
    const DWORD error = GetLastError();
    if (handle)
        g_calls->opened.push_back(handle);
    SetLastError(error);
    return handle;
}

SC_HANDLE WINAPI watched_open_service(SC_HANDLE manager, LPCWSTR name, DWORD access)
{
    g_calls->service_access.push_back(access);
    SC_HANDLE handle = g_original.open_service(manager, name, access);
    const DWORD error = GetLastError();
    if (handle)
        g_calls->opened.push_back(handle);
    SetLastError(error);
    return handle;
}

BOOL WINAPI watched_control(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    const BOOL ok = g_original.control(service, control, status);
    const DWORD error = GetLastError();
    g_calls->control_errors.push_back(ok ? ERROR_SUCCESS : error);
    SetLastError(error);
    return ok;
}

BOOL WINAPI watched_query(SC_HANDLE service, LPSERVICE_STATUS status)
{
    if (++g_calls->query_calls == g_calls->fail_query) {
        SetLastError(g_calls->fail_error);
        return FALSE;
    }
    const BOOL ok = g_original.query(service, status);
    const DWORD error = GetLastError();
    if (ok)
        g_calls->queries.push_back(Query{*status, GetTickCount64()});
    SetLastError(error);
    return ok;
}

BOOL WINAPI watched_close(SC_HANDLE handle)
{
    g_calls->closed.push_back(handle);
    const BOOL ok = g_original.close(handle);
    SetLastError(clobbered_error);
    return ok;
}

VOID WINAPI watched_sleep(DWORD ms)
{
    g_calls->sleeps.push_back(ms);
    g_original.sleep(ms);
}

// Watches this executable's calls to the service manager and to Sleep for
// the life of the object.  Only one at a time.
class Watch {
public:
    Watch()
        : open_manager_("advapi32.dll", "OpenSCManagerW", reinterpret_cast<void*>(&watched_open_manager)),
          open_service_("advapi32.dll", "OpenServiceW", reinterpret_cast<void*>(&watched_open_service)),
          control_("advapi32.dll", "ControlService", reinterpret_cast<void*>(&watched_control)),
          query_("advapi32.dll", "QueryServiceStatus", reinterpret_cast<void*>(&watched_query)),
          close_("advapi32.dll", "CloseServiceHandle", reinterpret_cast<void*>(&watched_close)),
          sleep_("kernel32.dll", "Sleep", reinterpret_cast<void*>(&watched_sleep))
    {
        g_original.open_manager = reinterpret_cast<decltype(&OpenSCManagerW)>(open_manager_.original());
        g_original.open_service = reinterpret_cast<decltype(&OpenServiceW)>(open_service_.original());
        g_original.control = reinterpret_cast<decltype(&ControlService)>(control_.original());
        g_original.query = reinterpret_cast<decltype(&QueryServiceStatus)>(query_.original());
        g_original.close = reinterpret_cast<decltype(&CloseServiceHandle)>(close_.original());
        g_original.sleep = reinterpret_cast<decltype(&Sleep)>(sleep_.original());
        g_calls = &calls;
    }
    ~Watch() { g_calls = nullptr; }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    bool complete() const
    {
        return open_manager_.installed() && open_service_.installed() && control_.installed() && query_.installed() &&
               close_.installed() && sleep_.installed();
    }

    Calls calls;

private:
    testservice::ImportHook open_manager_, open_service_, control_, query_, close_, sleep_;
};

#define ASSERT_WATCHING(watch) ASSERT_TRUE((watch).complete()) << "an import of the test executable was not found"

// Only the rights the stop needs, and every handle it opened closed again.
void expect_narrow_rights_and_no_leak(const Calls& calls)
{
    EXPECT_EQ(calls.manager_access, std::vector<DWORD>{SC_MANAGER_CONNECT});
    for (DWORD access : calls.service_access)
        EXPECT_EQ(access, static_cast<DWORD>(SERVICE_STOP | SERVICE_QUERY_STATUS));
    std::vector<SC_HANDLE> opened = calls.opened, closed = calls.closed;
    std::sort(opened.begin(), opened.end());
    std::sort(closed.begin(), closed.end());
    EXPECT_EQ(closed, opened) << "every handle closed, once";
}

std::vector<DWORD> states(const Calls& calls)
{
    std::vector<DWORD> result;
    for (const Query& q : calls.queries)
        result.push_back(q.status.dwCurrentState);
    return result;
}

std::string describe(const Calls& calls)
{
    std::string text = "statuses seen (state/checkpoint/hint):";
    for (const Query& q : calls.queries)
        text += " " + std::to_string(q.status.dwCurrentState) + "/" + std::to_string(q.status.dwCheckPoint) + "/" +
                std::to_string(q.status.dwWaitHint);
    text += "; sleeps:";
    for (DWORD ms : calls.sleeps)
        text += " " + std::to_string(ms);
    return text;
}

// Services of the test's own, removed in TearDown whether the test passed or not.
class ServiceManagerFixture : public ::testing::Test {
protected:
    // Installs ZarvikTestSvc-<suffix> with `behaviour` (see test_service.cpp)
    // and, with `run`, starts it.  Call through ASSERT_NO_FATAL_FAILURE.
    void add_service(const std::wstring& suffix, const std::wstring& behaviour, bool run, std::wstring* name)
    {
        *name = L"ZarvikTestSvc-" + suffix;
        // A run that was killed may have left it behind.
        ASSERT_EQ(testservice::remove(*name), 0u) << "a leftover service that cannot be removed";
        names_.push_back(*name);
        ASSERT_EQ(testservice::install(*name, behaviour), 0u);
        if (run) {
            ASSERT_EQ(testservice::start(*name), 0u);
            ASSERT_EQ(testservice::current_state(*name), static_cast<DWORD>(SERVICE_RUNNING));
        } else {
            ASSERT_EQ(testservice::current_state(*name), static_cast<DWORD>(SERVICE_STOPPED));
        }
    }

    void TearDown() override
    {
        for (const std::wstring& name : names_)
            EXPECT_EQ(testservice::remove(name), 0u) << "service not removed";
    }

private:
    std::vector<std::wstring> names_;
};

// --- stopService ----------------------------------------------------------------

using StopService = ServiceManagerFixture;

TEST_F(StopService, AServiceThatIsNotInstalledGives1060AndStartUpGoesOn)
{
    // The background service itself is never installed in the test prefix.
    for (const wchar_t* name : {L"ZarvikTestSvc-NotInstalled", L"SpoolHub"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        Watch watch;
        ASSERT_WATCHING(watch);
        const DWORD code = stopService(name);
        EXPECT_EQ(code, static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
        EXPECT_TRUE(serviceStopAllowsStart(code));
        EXPECT_EQ(watch.calls.opened.size(), 1u) << "the manager only";
        EXPECT_EQ(watch.calls.service_access.size(), 1u);
        EXPECT_TRUE(watch.calls.control_errors.empty());
        EXPECT_EQ(watch.calls.query_calls, 0u);
        expect_narrow_rights_and_no_leak(watch.calls);
    }
}

TEST_F(StopService, AnInstalledServiceThatIsNotRunningCountsAsStopped)
{
    std::wstring name;
    ASSERT_NO_FATAL_FAILURE(add_service(L"NotRunning", L"", false, &name));

    Watch watch;
    ASSERT_WATCHING(watch);
    const DWORD code = stopService(name.c_str());
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(watch.calls.control_errors, std::vector<DWORD>{ERROR_SERVICE_NOT_ACTIVE});
    EXPECT_EQ(states(watch.calls), std::vector<DWORD>{SERVICE_STOPPED}) << "one query, already stopped";
    EXPECT_TRUE(watch.calls.sleeps.empty());
    EXPECT_EQ(watch.calls.opened.size(), 2u);
    expect_narrow_rights_and_no_leak(watch.calls);
}

TEST_F(StopService, AServiceThatStopsAtOnceNeedsOneQuery)
{
    std::wstring name;
    ASSERT_NO_FATAL_FAILURE(add_service(L"AtOnce", L"stop=at-once", true, &name));
    {
        Watch watch;
        ASSERT_WATCHING(watch);
        EXPECT_EQ(stopService(name.c_str()), 0u);
        EXPECT_EQ(watch.calls.control_errors, std::vector<DWORD>{ERROR_SUCCESS});
        EXPECT_EQ(states(watch.calls), std::vector<DWORD>{SERVICE_STOPPED});
        EXPECT_TRUE(watch.calls.sleeps.empty());
        expect_narrow_rights_and_no_leak(watch.calls);
    }
    EXPECT_EQ(testservice::current_state(name), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(StopService, AStopPendingServiceIsPolledWithItsWaitHintUntilItHasStopped)
{
    // Five checkpoints, 200 ms apart, the service half a hint ahead of the
    // polls: on an idle machine the stop sees checkpoints 1 to 5, sleeps
    // five times 200 ms and finds it stopped on the sixth query.
    constexpr DWORD steps = 5, hint = 200;
    std::wstring name;
    ASSERT_NO_FATAL_FAILURE(
        add_service(L"StopPending", L"stop=pending steps=" + std::to_wstring(steps) + L" hint=" + std::to_wstring(hint),
                    true, &name));

    ULONGLONG elapsed = 0;
    Calls calls;
    {
        Watch watch;
        ASSERT_WATCHING(watch);
        const ULONGLONG begin = GetTickCount64();
        const DWORD code = stopService(name.c_str());
        elapsed = GetTickCount64() - begin;
        EXPECT_EQ(code, 0u);
        calls = watch.calls;
    }
    SCOPED_TRACE(describe(calls));
    expect_narrow_rights_and_no_leak(calls);

    ASSERT_GE(calls.queries.size(), 2u);
    EXPECT_EQ(calls.queries.back().status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    for (std::size_t i = 0; i + 1 < calls.queries.size(); ++i) {
        const SERVICE_STATUS& s = calls.queries[i].status;
        EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING)) << "query " << i;
        EXPECT_EQ(s.dwWaitHint, hint) << "query " << i;
        if (i == 0)
            EXPECT_EQ(s.dwCheckPoint, 1u) << "the handler's status comes first";
        else
            EXPECT_GT(s.dwCheckPoint, calls.queries[i - 1].status.dwCheckPoint) << "query " << i;
    }

    // One sleep of the full hint between two queries, never after the last.
    EXPECT_EQ(calls.sleeps.size(), calls.queries.size() - 1);
    for (DWORD ms : calls.sleeps)
        EXPECT_EQ(ms, hint);
    // Exactly `steps` when the machine is idle; a busy machine may shift one
    // poll either way.
    EXPECT_GE(calls.sleeps.size(), steps - 1);
    EXPECT_LE(calls.sleeps.size(), steps + 1);

    // The pauses were really taken: queries at least a hint apart, and the
    // whole stop at least as long as its sleeps and as the service's own
    // schedule (stopped (steps - 1/2) hints after the stop).
    for (std::size_t i = 1; i < calls.queries.size(); ++i)
        EXPECT_GE(calls.queries[i].at - calls.queries[i - 1].at, hint - tick_ms)
            << "between queries " << i - 1 << " and " << i;
    EXPECT_GE(elapsed + tick_ms, calls.sleeps.size() * hint);
    EXPECT_GE(elapsed + tick_ms, steps * hint - hint / 2);
    // And nothing else waits: the queries themselves take a few milliseconds.
    EXPECT_LT(elapsed, calls.sleeps.size() * hint + 1000);

    EXPECT_EQ(testservice::current_state(name), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(StopService, AChangeFromOnePendingStateToAnotherCountsAsProgress)
{
    // PAUSE_PENDING at checkpoint 7, then STOP_PENDING at 1 and 2, then
    // stopped: the lower checkpoint of the new state is no reason to give up.
    std::wstring name;
    ASSERT_NO_FATAL_FAILURE(add_service(L"ChangesState", L"stop=change hint=200", true, &name));

    Watch watch;
    ASSERT_WATCHING(watch);
    const DWORD code = stopService(name.c_str());
    const Calls calls = watch.calls;
    SCOPED_TRACE(describe(calls));
    ASSERT_FALSE(calls.queries.empty());
    EXPECT_EQ(calls.queries.front().status.dwCurrentState, static_cast<DWORD>(SERVICE_PAUSE_PENDING));
    EXPECT_EQ(calls.queries.front().status.dwCheckPoint, 7u);
    ASSERT_TRUE(std::any_of(calls.queries.begin(), calls.queries.end(), [](const Query& q) {
        return q.status.dwCurrentState == SERVICE_STOP_PENDING && q.status.dwCheckPoint < 7;
    })) << "the stop polled too late to see the second pending state";
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(calls.queries.back().status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(calls.sleeps, std::vector<DWORD>(calls.queries.size() - 1, 200));
    expect_narrow_rights_and_no_leak(calls);
}

TEST_F(StopService, AServiceThatStopsMakingProgressFailsAndStartUpStops)
{
    std::wstring name;
    ASSERT_NO_FATAL_FAILURE(add_service(L"Stuck", L"stop=stuck steps=1 hint=200", true, &name));
    {
        Watch watch;
        ASSERT_WATCHING(watch);
        const ULONGLONG begin = GetTickCount64();
        const DWORD code = stopService(name.c_str());
        const ULONGLONG elapsed = GetTickCount64() - begin;
        SCOPED_TRACE(describe(watch.calls));
        EXPECT_EQ(code, static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
        EXPECT_FALSE(serviceStopAllowsStart(code)) << "start-up shows the warning and ends";
        // The same checkpoint on the second query ends the wait.
        ASSERT_EQ(watch.calls.queries.size(), 2u);
        for (const Query& q : watch.calls.queries) {
            EXPECT_EQ(q.status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
            EXPECT_EQ(q.status.dwCheckPoint, 1u);
        }
        EXPECT_EQ(watch.calls.sleeps, std::vector<DWORD>{200});
        EXPECT_GE(elapsed + tick_ms, 200u);
        expect_narrow_rights_and_no_leak(watch.calls);
    }
    EXPECT_EQ(testservice::current_state(name), static_cast<DWORD>(SERVICE_STOP_PENDING));

    // Asked again, the manager refuses a second stop of a stopping service:
    // a refused control ends the stop at once, without polling.
    {
        Watch watch;
        ASSERT_WATCHING(watch);
        const DWORD code = stopService(name.c_str());
        EXPECT_EQ(code, static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
        EXPECT_FALSE(serviceStopAllowsStart(code));
        EXPECT_EQ(watch.calls.control_errors, std::vector<DWORD>{ERROR_SERVICE_CANNOT_ACCEPT_CTRL});
        EXPECT_EQ(watch.calls.query_calls, 0u);
        EXPECT_TRUE(watch.calls.sleeps.empty());
        EXPECT_EQ(watch.calls.opened.size(), 2u);
        expect_narrow_rights_and_no_leak(watch.calls);
    }
}

TEST_F(StopService, AServiceThatHangsAfterSomeProgressFails)
{
    // Checkpoints 1 to 3, 200 ms apart, then it hangs at 3; left alone it
    // would report stopped 3 s after the stop.  Each poll is compared with
    // the one before it, not with the first.
    std::wstring name;
    ASSERT_NO_FATAL_FAILURE(add_service(L"Hangs", L"stop=stuck steps=3 hint=200 give-up=3000", true, &name));

    Watch watch;
    ASSERT_WATCHING(watch);
    const ULONGLONG begin = GetTickCount64();
    const DWORD code = stopService(name.c_str());
    const ULONGLONG elapsed = GetTickCount64() - begin;
    const Calls calls = watch.calls;
    SCOPED_TRACE(describe(calls));
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    EXPECT_FALSE(serviceStopAllowsStart(code));
    EXPECT_LT(elapsed, 3000u) << "gave up only when the service stopped by itself";
    ASSERT_GE(calls.queries.size(), 3u);
    const std::size_t last = calls.queries.size() - 1;
    for (std::size_t i = 0; i <= last; ++i)
        EXPECT_EQ(calls.queries[i].status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING)) << "query " << i;
    EXPECT_EQ(calls.queries[last].status.dwCheckPoint, 3u);
    EXPECT_EQ(calls.queries[last - 1].status.dwCheckPoint, 3u) << "the same checkpoint twice ends the wait";
    EXPECT_LT(calls.queries[last - 2].status.dwCheckPoint, 3u) << "and not earlier";
    EXPECT_EQ(calls.sleeps, std::vector<DWORD>(last, 200));
    expect_narrow_rights_and_no_leak(calls);
}

TEST_F(StopService, AServiceThatDoesNotAcceptStopFailsAtOnce)
{
    std::wstring name;
    ASSERT_NO_FATAL_FAILURE(add_service(L"NoStop", L"stop=refuse", true, &name));
    {
        Watch watch;
        ASSERT_WATCHING(watch);
        const DWORD code = stopService(name.c_str());
        EXPECT_EQ(code, static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
        EXPECT_FALSE(serviceStopAllowsStart(code));
        EXPECT_EQ(watch.calls.query_calls, 0u);
        EXPECT_TRUE(watch.calls.sleeps.empty());
        EXPECT_EQ(watch.calls.opened.size(), 2u);
        expect_narrow_rights_and_no_leak(watch.calls);
    }
    EXPECT_EQ(testservice::current_state(name), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(StopService, AFailedStatusQueryIsReturnedAndNeverReadsAsStopped)
{
    std::wstring name;
    ASSERT_NO_FATAL_FAILURE(add_service(L"QueryFails", L"stop=at-once", true, &name));
    {
        Watch watch;
        ASSERT_WATCHING(watch);
        watch.calls.fail_query = 1;
        watch.calls.fail_error = ERROR_INVALID_HANDLE;
        EXPECT_EQ(stopService(name.c_str()), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_TRUE(watch.calls.sleeps.empty());
        expect_narrow_rights_and_no_leak(watch.calls);
    }

    // A failed query that leaves no error behind must not pass for success.
    ASSERT_EQ(testservice::start(name), 0u);
    {
        Watch watch;
        ASSERT_WATCHING(watch);
        watch.calls.fail_query = 1;
        watch.calls.fail_error = ERROR_SUCCESS;
        const DWORD code = stopService(name.c_str());
        EXPECT_NE(code, 0u);
        EXPECT_FALSE(serviceStopAllowsStart(code)) << code;
        expect_narrow_rights_and_no_leak(watch.calls);
    }
}

// --- waitForServiceState ----------------------------------------------------------

// A handle of the test's own on a service, closed at the end of the scope.
class ServiceHandle {
public:
    ServiceHandle(const std::wstring& name, DWORD access)
    {
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (manager_)
            service_ = OpenServiceW(manager_, name.c_str(), access);
    }
    ~ServiceHandle()
    {
        if (service_)
            CloseServiceHandle(service_);
        if (manager_)
            CloseServiceHandle(manager_);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;

    SC_HANDLE get() const { return service_; }

private:
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

using WaitForServiceState = ServiceManagerFixture;

TEST_F(WaitForServiceState, WaitsForTheStateAskedFor)
{
    // Started, the service stays START_PENDING for checkpoints 1 to 4, 150 ms
    // apart, then runs.
    std::wstring name;
    ASSERT_NO_FATAL_FAILURE(add_service(L"SlowStart", L"start-steps=4 start-hint=150", false, &name));
    ServiceHandle service(name, SERVICE_START | SERVICE_QUERY_STATUS);
    ASSERT_TRUE(service.get());
    ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
    // Until the service's own first status, the manager reports the start
    // without checkpoints: wait for checkpoint 1.
    SERVICE_STATUS status{};
    const ULONGLONG end = GetTickCount64() + 10000;
    while (QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_START_PENDING &&
           status.dwCheckPoint == 0 && GetTickCount64() < end)
        Sleep(5);
    ASSERT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    ASSERT_EQ(status.dwCheckPoint, 1u);

    Watch watch;
    ASSERT_WATCHING(watch);
    status = SERVICE_STATUS{};
    EXPECT_TRUE(waitForServiceState(service.get(), SERVICE_RUNNING, &status));
    SCOPED_TRACE(describe(watch.calls));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << "the last status is handed back";
    EXPECT_EQ(status.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    ASSERT_FALSE(watch.calls.queries.empty());
    for (std::size_t i = 0; i + 1 < watch.calls.queries.size(); ++i)
        EXPECT_EQ(watch.calls.queries[i].status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_GE(watch.calls.sleeps.size(), 2u) << "running comes 3.5 hints after checkpoint 1";
    EXPECT_EQ(watch.calls.sleeps, std::vector<DWORD>(watch.calls.queries.size() - 1, 150));
}

TEST_F(WaitForServiceState, NoProgressLeavesRequestTimeoutAsTheLastError)
{
    std::wstring name;
    ASSERT_NO_FATAL_FAILURE(add_service(L"StuckWait", L"stop=stuck steps=1 hint=100", true, &name));
    ServiceHandle service(name, SERVICE_STOP | SERVICE_QUERY_STATUS);
    ASSERT_TRUE(service.get());
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();

    Watch watch;
    ASSERT_WATCHING(watch);
    SetLastError(ERROR_SUCCESS);
    status = SERVICE_STATUS{};
    const bool reached = waitForServiceState(service.get(), SERVICE_STOPPED, &status);
    const DWORD error = GetLastError();
    EXPECT_FALSE(reached);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(status.dwCheckPoint, 1u);
    EXPECT_EQ(watch.calls.query_calls, 2u);
    EXPECT_EQ(watch.calls.sleeps, std::vector<DWORD>{100});
}

TEST_F(WaitForServiceState, AFailedQueryKeepsTheManagersError)
{
    // A handle without SERVICE_QUERY_STATUS: the manager refuses the query.
    std::wstring name;
    ASSERT_NO_FATAL_FAILURE(add_service(L"NoQueryRight", L"", false, &name));
    ServiceHandle service(name, SERVICE_STOP);
    ASSERT_TRUE(service.get());

    Watch watch;
    ASSERT_WATCHING(watch);
    SetLastError(ERROR_SUCCESS);
    SERVICE_STATUS status{};
    const bool reached = waitForServiceState(service.get(), SERVICE_STOPPED, &status);
    const DWORD error = GetLastError();
    EXPECT_FALSE(reached);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(watch.calls.query_calls, 1u);
    EXPECT_TRUE(watch.calls.sleeps.empty());
}

}  // namespace
