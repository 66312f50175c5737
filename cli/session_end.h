// Windows: the end of the user's session (logoff, shutdown, restart).
//
// A console program that loads user32.dll, as zarvik.exe does, is not sent
// the console's logoff and shutdown events: the system tells it only through
// window messages, and then ends it.  So a hidden top-level window, on a
// thread of its own, answers them while printers are held or the background
// service is stopped:
//   WM_QUERYENDSESSION  refuses the end, with the reason "updating printer
//                       firmware" for the system to show; an end that cannot
//                       be refused (ENDSESSION_CRITICAL) starts the stop at once;
//   WM_ENDSESSION       when the session does end: stops every update at once,
//                       as a second Ctrl-C does, and returns only once every
//                       printer is given back and the service runs again.
// Nothing held: the end is let through at once.
#pragma once

#ifdef _WIN32

namespace zarvik {

// The reason the system shows for a refused end of the session.
constexpr const wchar_t* end_block_reason = L"updating printer firmware";

// Makes the window and its thread, once per process, and returns when the
// window exists; later calls return at once.
void watch_session_end();

// The window (an HWND), or nullptr before watch_session_end.
void* session_end_window();

// True once the session ends: what starts afterwards holds nothing.
bool session_ending();

}  // namespace zarvik

#endif
