#include "session_end.h"

#ifdef _WIN32

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include <windows.h>

#include "interrupt.h"
#include "service_hold.h"

namespace zarvik {

namespace {

std::atomic<bool> ending{false};
std::atomic<HWND> window{nullptr};

bool at_stake()
{
    return InterruptWatch::watching() || ServiceHold::holding_now();
}

// Every update stops at once and the service hold ends; returns at once.
void stop_at_once()
{
    ending.store(true);
    InterruptWatch::stop_all_at_once();
    ServiceHold::interrupt_all();
}

LRESULT CALLBACK on_message(HWND self, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_QUERYENDSESSION:
        if (!at_stake()) {
            ::ShutdownBlockReasonDestroy(self);
            return TRUE;
        }
        ::ShutdownBlockReasonCreate(self, end_block_reason);
        if ((static_cast<DWORD>(lparam) & ENDSESSION_CRITICAL) == 0)
            return FALSE;
        stop_at_once();  // it ends whatever the answer: no time is lost
        return TRUE;
    case WM_ENDSESSION:
        if (!wparam) {
            // The end was called off: the updates go on, and what starts
            // from now on holds the printers again.
            ending.store(false);
            ::ShutdownBlockReasonDestroy(self);
            return 0;
        }
        stop_at_once();
        // The process ends once this returns: not before every printer is
        // given back and the service runs again.
        InterruptWatch::wait_until_none();
        ServiceHold::wait_until_none();
        ::ShutdownBlockReasonDestroy(self);
        return 0;
    default:
        return ::DefWindowProcW(self, message, wparam, lparam);
    }
}

void run_window(std::promise<void> made)
{
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    WNDCLASSW kind{};
    kind.lpfnWndProc = on_message;
    kind.hInstance = instance;
    kind.lpszClassName = L"zarvik session end";
    ::RegisterClassW(&kind);
    // Top-level and never shown: a message-only window is not told of the
    // session's end.
    window.store(::CreateWindowExW(0, kind.lpszClassName, L"zarvik", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                   instance, nullptr));
    made.set_value();
    if (!window.load())
        return;
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

}  // namespace

void watch_session_end()
{
    static std::once_flag once;
    std::call_once(once, [] {
        std::promise<void> made;
        std::future<void> ready = made.get_future();
        std::thread(run_window, std::move(made)).detach();
        ready.wait();
    });
}

void* session_end_window()
{
    return window.load();
}

bool session_ending()
{
    return ending.load();
}

}  // namespace zarvik

#endif
