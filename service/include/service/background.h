// The printer maker's background service, which holds the printers while it
// runs: its name, and the rule by which a stop lets the printers be used.
#pragma once

namespace service {

// The service's name, as the service manager knows it; written once, for
// the texts that name it too.
#define ZARVIK_BACKGROUND_SERVICE "SpoolHub"
constexpr const char* background_name = ZARVIK_BACKGROUND_SERVICE;
constexpr const wchar_t* background_wide_name = L"" ZARVIK_BACKGROUND_SERVICE;

}  // namespace service

// Whether the printers may be used after stopping the service returned
// `code`: 0 (stopped) and 1060 (not installed).
inline bool serviceStopAllowsStart(unsigned long code)
{
    return code == 0 || code == 1060;
}
