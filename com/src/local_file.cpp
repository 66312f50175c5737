#include "com/local_file.h"

#include "platform/platform.h"

#include <stdexcept>

namespace com {

LocalFile::LocalFile(const std::string& path, bool readable, bool writable, bool appending)
    : path(path), readable(readable), writable(writable), appending(appending), is_open(false),
      file_handle(platform::invalid_file)
{
    if ((!readable && !writable) || (appending && (readable || !writable)))
        throw std::runtime_error("Invalid file mode");
}

LocalFile::~LocalFile()
{
    close();
}

bool LocalFile::open()
{
    if (is_open)
        return true;
    const platform::FileHandle handle =
        appending ? platform::file_open_append(path) : platform::file_open(path, readable, writable);
    if (handle == platform::invalid_file)
        return false;
    file_handle = handle;
    is_open = true;
    return true;
}

bool LocalFile::close()
{
    if (file_handle != platform::invalid_file)
        platform::file_close(file_handle);
    file_handle = platform::invalid_file;
    is_open = false;
    return true;
}

std::int64_t LocalFile::size()
{
    return platform::file_size(file_handle);
}

bool LocalFile::read(void* buffer, unsigned length, unsigned* count)
{
    unsigned done = 0;
    while (done < length) {
        unsigned got = 0;
        if (!is_open || !platform::file_read(file_handle, static_cast<char*>(buffer) + done, length - done, &got))
            return false;
        if (got == 0)
            break;
        done += got;
    }
    *count = done;
    return true;
}

bool LocalFile::write(const void* data, unsigned length, unsigned* count)
{
    unsigned done = 0;
    while (done < length) {
        unsigned put = 0;
        if (!is_open || !platform::file_write(file_handle, static_cast<const char*>(data) + done, length - done, &put))
            return false;
        if (put == 0)
            break;
        done += put;
    }
    *count = done;
    return true;
}

}  // namespace com
