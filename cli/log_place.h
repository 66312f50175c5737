// Where zarvik keeps its diagnostic logs when --log does not say, and its
// update history when --history does not.
//
// Beside the program, in `log`, where it can be written and the program is
// not installed in the system's own folders: the portable folder and the
// Windows zip keep everything in one place.  Otherwise the user's own state
// folder: on POSIX $XDG_STATE_HOME/zarvik/log (by default
// ~/.local/state/zarvik/log), for root /var/log/zarvik; on Windows
// %LOCALAPPDATA%\zarvik\log.
//
// Root, who can write anywhere, logs beside the program only where no one
// else can place a name: in a folder of another account a planted link would
// have root's lines appended to a file of that account's choice.
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
    // POSIX, asked for root: see root_alone_writes.
    std::function<bool(const std::string&)> root_alone;
};

// POSIX: true when `dir` is an absolute path of real folders (no link on the
// way) that all belong to root, where no one but root can write in `dir`
// itself, and where every folder above it is either written by root alone or
// shared with the sticky bit (as /tmp is), so that no one else can move away
// or replace what lies beneath.  Always false on Windows.
bool root_alone_writes(const std::string& dir);

// The log folder for these facts.
std::string choose_log_dir(const LogPlaceFacts& facts);

// The facts of this process, for a program in `program_dir`.
LogPlaceFacts log_place_facts(const std::string& program_dir);

// The log folder for this process, beside the program in `program_dir` or in
// the user's state folder.
std::string default_log_dir(const std::string& program_dir);

// The update history's file when --history does not say: beside the program
// where the log goes there too (the same choice), otherwise in the user's
// state folder: $XDG_STATE_HOME/zarvik/history.sqlite (by default
// ~/.local/state/zarvik/), /var/lib/zarvik/history.sqlite for root,
// %LOCALAPPDATA%\zarvik\history.sqlite on Windows.
inline constexpr char history_file_name[] = "history.sqlite";
std::string choose_history_file(const LogPlaceFacts& facts);
std::string default_history_file(const std::string& program_dir);

}  // namespace zarvik
