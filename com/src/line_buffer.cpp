#include "line_buffer.h"

#include <cstring>
#include <new>

namespace com {

bool LineBuffer::allocate()
{
    storage_.reset(new (std::nothrow) std::uint8_t[capacity]);
    clear();
    return storage_ != nullptr;
}

LineBuffer::Take LineBuffer::take_line(char* out, int out_size, int* length)
{
    std::uint8_t* start = storage_.get() + read_;
    const auto* lf = static_cast<const std::uint8_t*>(std::memchr(start, '\n', buffered()));
    if (!lf)
        return Take::no_line;
    auto line = static_cast<std::uint32_t>(lf - start);
    if (line > 0 && start[line - 1] == '\r')
        --line;
    *length = static_cast<int>(line);
    if (out_size < 0 || static_cast<std::uint32_t>(out_size) < line + 1)
        return Take::too_small;
    std::memcpy(out, start, line);
    out[line] = '\0';
    read_ = static_cast<std::uint32_t>(lf - storage_.get()) + 1;
    if (read_ == fill_)
        clear();
    return Take::line;
}

std::uint32_t LineBuffer::room(std::uint32_t packet_bytes)
{
    if (read_ > 0) {
        const std::uint32_t kept = buffered();
        std::memmove(storage_.get(), storage_.get() + read_, kept);
        read_ = 0;
        fill_ = kept;
    }
    if (packet_bytes == 0)
        return 0;
    return (capacity - fill_) / packet_bytes * packet_bytes;
}

}  // namespace com
