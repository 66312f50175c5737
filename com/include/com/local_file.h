// One local file, opened by a UTF-8 path in one of three modes.
#pragma once

#include <cstdint>
#include <string>

namespace com {

class LocalFile {
public:
    // Throws std::runtime_error "Invalid file mode" when neither flag is set.
    // Touches no file.  With `appending` (writable only) every write goes to
    // the end of the file whole, also while another writer appends to it.
    LocalFile(const std::string& path, bool readable, bool writable, bool appending = false);
    ~LocalFile();

    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;

    // Opens the file (see platform::file_open for the modes).  True on success
    // or when it is already open.
    bool open();
    // Closes the file if it is open.  Always true.
    bool close();
    // Size in bytes, or -1.
    std::int64_t size();
    // Reads until `length` bytes or the end of the file; `*count` gets the total.
    bool read(void* buffer, unsigned length, unsigned* count);
    // Writes until `length` bytes or the system stops taking them; `*count` gets the total.
    bool write(const void* data, unsigned length, unsigned* count);

    bool opened() const { return is_open; }

private:
    std::string path;
    bool readable;
    bool writable;
    bool appending;
    bool is_open;
    std::intptr_t file_handle;  // the platform layer's handle; -1 while closed
};

}  // namespace com
