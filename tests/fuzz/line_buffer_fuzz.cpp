// Fuzz target: the link's line buffer against a plain model of it.
//
// Whatever bytes arrive, cut into transfers however, and whatever buffer
// sizes the caller hands over, the line buffer gives out exactly the lines a
// simple reading of the byte stream gives, never writes past the caller's
// buffer, and asks for room only in whole packets that fit.
//
// The input is a script:
//   byte 0    the packet size: 8 << (byte % 8)  (8 to 1024)
//   then records:
//     n < 0xF0  the n bytes that follow arrive in one transfer (cut to the room offered)
//     0xF0 s    hand out a line into a buffer of s bytes
//     0xF1      drop everything (a drain)
//   anything else is skipped.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "line_buffer.h"

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "line_buffer_fuzz: %s\n", what);
        std::abort();
    }
}

// The same buffer read plainly: bytes in, lines out.
struct Model {
    std::string pending;

    // The next line as the buffer hands it out, or false without a line end.
    bool next_line(std::string* line, std::size_t* consumed) const
    {
        const std::size_t lf = pending.find('\n');
        if (lf == std::string::npos)
            return false;
        std::size_t end = lf;
        if (end > 0 && pending[end - 1] == '\r')
            --end;
        *line = pending.substr(0, end);
        *consumed = lf + 1;
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint32_t packet = 8u << (data[0] % 8);
    com::LineBuffer buffer;
    require(buffer.allocate(), "no memory");
    Model model;

    std::size_t i = 1;
    while (i < size) {
        const std::uint8_t op = data[i++];
        if (op < 0xF0) {
            const std::size_t n = std::min<std::size_t>(op, size - i);
            const std::uint32_t room = buffer.room(packet);
            require(room % packet == 0, "room is not whole packets");
            require(room + buffer.buffered() <= com::LineBuffer::capacity, "room beyond the capacity");
            const std::uint32_t take = std::min<std::uint32_t>(room, static_cast<std::uint32_t>(n));
            std::memcpy(buffer.write_position(), data + i, take);
            buffer.received(take);
            model.pending.append(reinterpret_cast<const char*>(data + i), take);
            i += n;
        } else if (op == 0xF0 && i < size) {
            const int out_size = data[i++];
            std::vector<char> out(static_cast<std::size_t>(out_size) + 16, '\x5A');
            int length = -1;
            std::string expected;
            std::size_t consumed = 0;
            const bool has_line = model.next_line(&expected, &consumed);
            switch (buffer.take_line(out.data(), out_size, &length)) {
            case com::LineBuffer::Take::line:
                require(has_line, "a line without a line end");
                require(length == static_cast<int>(expected.size()), "wrong length");
                require(std::memcmp(out.data(), expected.data(), expected.size()) == 0, "wrong line");
                require(out[expected.size()] == '\0', "no terminator");
                model.pending.erase(0, consumed);
                break;
            case com::LineBuffer::Take::too_small:
                require(has_line, "too small without a line");
                require(length == static_cast<int>(expected.size()), "wrong length of a line too long");
                require(static_cast<int>(expected.size()) + 1 > out_size, "a line that fits called too long");
                break;
            case com::LineBuffer::Take::no_line:
                require(!has_line, "a complete line not handed out");
                break;
            }
            for (std::size_t k = static_cast<std::size_t>(out_size); k < out.size(); ++k)
                require(out[k] == '\x5A', "written past the caller's buffer");
        } else if (op == 0xF1) {
            buffer.clear();
            model.pending.clear();
        }
        require(buffer.buffered() == model.pending.size(), "bytes lost or made up");
        require(buffer.empty() == model.pending.empty(), "empty disagrees");
    }
    return 0;
}
