// The link library's view of the operating system.
//
// Everything the library needs from the machine it runs on goes through this
// header: file handles, UTF-8 paths, UTC time, the folder search used to prune
// old logs, file deletion, SHA-256, a millisecond tick counter and sleep.  There is a
// POSIX side (platform/posix) and a Win32 side (platform/win32); both follow
// the same contract, written down next to each function.
//
// The clock functions (utc_now, tick_count, sleep_ms, wait_ready) live in their own
// translation unit on each side so that a test executable can link a clock it
// drives itself instead of the real one.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace com {
namespace platform {

// --- paths -----------------------------------------------------------------

// A path must fit, as UTF-16 with its terminating zero, in this many units.
constexpr unsigned max_path_units = 1024;

// The separator placed between a folder and a name: '\\' on Windows, '/' elsewhere.
char path_separator();

// Number of UTF-16 code units that `utf8` converts to (without a terminating
// zero), or -1 when it is not well-formed UTF-8.  Both sides use this to apply
// the same limit before they touch the file system.
long utf16_units(const std::string& utf8);

// True when `utf8` is well-formed and its UTF-16 form plus a terminating zero
// fits in `max_path_units`.
bool path_fits(const std::string& utf8);

// --- files -----------------------------------------------------------------

// An open file: a descriptor on POSIX, a HANDLE on Windows.  Both sides use -1
// for "no file" (INVALID_HANDLE_VALUE on Windows).
using FileHandle = std::intptr_t;
constexpr FileHandle invalid_file = -1;

// Opens a file by its UTF-8 path.
//   readable only:        read access, the file must exist and be a regular
//                         file (a FIFO, a device or a pipe is refused, never
//                         waited for);
//   writable only:        write access, created empty when missing, never truncated;
//   readable and writable: both accesses, created empty when missing, never truncated.
// Other processes may read the file while it is open.  The position starts at
// the first byte.  Folders are refused.  Returns invalid_file on any failure,
// a path that does not fit included.
FileHandle file_open(const std::string& utf8_path, bool readable, bool writable);

// Opens a file by its UTF-8 path for appending: write access only, created
// empty when missing, never truncated.  Every write lands whole at the end of
// the file, also while other writers append to it: several processes may hold
// it open for appending at once, and others may read it.  Returns
// invalid_file on any failure.
//
// This is how logs are opened, and a log's name is easy to foresee, so what
// is found at the name must be a plain file with that one name: a link
// (symbolic, a hard link, a reparse point on Windows) is never written
// through, and on POSIX the file must belong to the effective user.
FileHandle file_open_append(const std::string& utf8_path);

// One system read of at most `length` bytes at the file position.  On success
// stores the count read (0 at the end of the file) and returns true.
bool file_read(FileHandle file, void* buffer, unsigned length, unsigned* count);

// One system write of at most `length` bytes at the file position.  On success
// stores the count written and returns true.
bool file_write(FileHandle file, const void* data, unsigned length, unsigned* count);

// Size of the open file in bytes, or -1 when the system cannot report it.
std::int64_t file_size(FileHandle file);

// Releases the handle.  Does nothing for invalid_file.
void file_close(FileHandle file);

// Deletes one file by its UTF-8 path.  Failures are reported by the result only.
bool file_delete(const std::string& utf8_path);

// --- folder search -----------------------------------------------------------

struct DirEntry {
    std::string name;  // UTF-8, no folder
    bool is_directory = false;
    std::uint64_t last_write = 0;  // 100 ns intervals since 1601-01-01 UTC
};

// True when the UTF-8 `name` matches the wildcard `pattern`: '*' any run of
// characters, '?' exactly one character, anything else itself (case counts).
// Both sides filter with this, so that a pattern finds the same names on every
// system (the Windows search alone would also let '?' match nothing before a
// dot, ignore case and match short 8.3 names).
bool name_matches(const std::string& pattern, const std::string& name);

// Calls `visit` for every entry of `utf8_dir` whose name matches `pattern`
// (see name_matches), in the order the system reports them.  Returns true when
// the folder was searched, matches or not; false, without calling `visit`,
// when it cannot be converted or searched (a missing folder included).
bool find_entries(const std::string& utf8_dir, const std::string& pattern,
                  const std::function<void(const DirEntry&)>& visit);

// --- SHA-256 ---------------------------------------------------------------

// The hash comes from the system's own cryptography, never from code of ours:
// libcrypto's digest interface on POSIX, CNG (bcrypt) on Windows.

constexpr std::size_t sha256_bytes = 32;

// One running SHA-256; nullptr is "none".
using Sha256Handle = void*;

// A hash over no bytes yet, or nullptr when the system cannot make one.
Sha256Handle sha256_begin();

// Adds `length` bytes.  False when the system fails; the hash is then of no
// further use but must still be released.
bool sha256_add(Sha256Handle hash, const void* data, std::size_t length);

// Stores the digest of every byte added.  Ends the hash: no more bytes may be
// added.  False when the system fails.
bool sha256_finish(Sha256Handle hash, std::uint8_t* digest /* sha256_bytes */);

// Releases the hash.  Does nothing for nullptr.
void sha256_free(Sha256Handle hash);

// --- time ------------------------------------------------------------------

struct UtcTime {
    int year = 1601;
    int month = 1;        // 1..12
    int day = 1;          // 1..31
    int hour = 0;         // 0..23
    int minute = 0;       // 0..59
    int second = 0;       // 0..59
    int millisecond = 0;  // 0..999
};

// The same instant as 100 ns intervals since 1601-01-01 UTC.
std::uint64_t utc_to_filetime(const UtcTime& time);
// The inverse, for whole instants after 1601.
UtcTime filetime_to_utc(std::uint64_t filetime);

// --- clock (replaceable by tests) --------------------------------------------

// The current date and time in UTC.
UtcTime utc_now();

// The system's 32-bit millisecond tick counter; it wraps after about 49.7 days.
std::uint32_t tick_count();

// Blocks the calling thread for `milliseconds`.
void sleep_ms(unsigned milliseconds);

// Waits on `condition`, with `lock` held on entry and on return, until
// `ready()` holds or `milliseconds` have passed on this clock; returns
// ready().  Another thread makes it ready and notifies `condition`.
bool wait_ready(std::condition_variable& condition, std::unique_lock<std::mutex>& lock, unsigned milliseconds,
                const std::function<bool()>& ready);

}  // namespace platform
}  // namespace com
