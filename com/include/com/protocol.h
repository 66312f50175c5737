// What the printer's command protocol fixes that more than the link needs to
// know: where installed files go, how long command and reply lines may be,
// the progress scale of an install, and what a command argument may hold.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>

namespace com {
namespace protocol {

// The printer's system folder, where an install stores its file.
constexpr char system_folder[] = "0:/sys/";

// A command line the link sends, its line end included, at most.
constexpr int command_line_bytes = 256;
// A reply line the link reads, with its terminating zero, at most.
constexpr int reply_line_bytes = 128;

// An upload request begins so, its size and remote path after it.
constexpr char upload_command_prefix[] = "~M28 ";

// The printer answers an upload request with "Writing to file: " and the
// remote path in one reply line, so the name of a file installed in the
// system folder can have at most this many bytes.
constexpr char writing_to_file_echo[] = "Writing to file: ";
constexpr std::size_t max_system_file_name_bytes =
    static_cast<std::size_t>(reply_line_bytes) - 1 - (sizeof writing_to_file_echo - 1) - (sizeof system_folder - 1);

// File data goes to the printer in transfers of this many bytes (the last
// one of a file shorter).
constexpr unsigned upload_piece_bytes = 4096;

// An install's upload reports 0 to this percentage; the printer's take-up
// of the file brings it to 100.
constexpr int install_progress_scale = 99;

// A byte no text of a command line may hold: it would end the command early
// or start another one on the printer.  Output that shows such text escapes
// the same bytes.
constexpr bool is_control_byte(unsigned char byte)
{
    return byte < 0x20 || byte == 0x7F;
}

// True when `text` can stand in a command line.
inline bool safe_command_argument(const std::string& text)
{
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return is_control_byte(static_cast<unsigned char>(c)); });
}

}  // namespace protocol
}  // namespace com
