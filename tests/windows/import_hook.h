// Redirects a function that this executable imports from a system DLL, by
// rewriting its entry in the executable's import address table.  Code linked
// into the executable (the service stop, from a static library) calls the
// system through that table, so a test can watch and steer those calls; the
// system DLLs themselves are untouched.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace testservice {

class ImportHook {
public:
    // Replaces `function` imported by name from `dll` (case-insensitive, e.g.
    // "advapi32.dll").  installed() is false when the executable does not
    // import it so.
    ImportHook(const char* dll, const char* function, void* replacement);
    ~ImportHook();  // puts the original back
    ImportHook(const ImportHook&) = delete;
    ImportHook& operator=(const ImportHook&) = delete;

    bool installed() const { return slot_ != nullptr; }
    // The address the table held before: the system's function.
    void* original() const { return original_; }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

}  // namespace testservice
