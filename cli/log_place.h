// Where zarvik keeps its diagnostic logs when --log does not say.
//
// Beside the program, in `log`, where it can be written and the program is
// not installed in the system's own folders: the portable folder and the
// Windows zip keep everything in one place.  Otherwise the user's own state
// folder: on POSIX $XDG_STATE_HOME/zarvik/log (by default
// ~/.local/state/zarvik/log), for root /var/log/zarvik; on Windows
// %LOCALAPPDATA%\zarvik\log.
#pragma once

#include <functional>
#include <string>

namespace zarvik {

// What the choice depends on, read from the process by default_log_dir.
struct LogPlaceFacts {
    std::string program_dir;     // UTF-8
    bool root = false;           // POSIX: the effective user is root
    std::string state_home;      // POSIX: $XDG_STATE_HOME, "" when unset
    std::string home;            // POSIX: the user's home folder
    std::string local_app_data;  // Windows: the user's local application data folder
    // True when files can be made in this folder (made first if missing).
    std::function<bool(const std::string&)> writable;
};

// The log folder for these facts.
std::string choose_log_dir(const LogPlaceFacts& facts);

// The log folder for this process, beside the program in `program_dir` or in
// the user's state folder.
std::string default_log_dir(const std::string& program_dir);

}  // namespace zarvik
