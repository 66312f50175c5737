// Reply bytes received from the printer and not yet handed out as lines.
//
// The printer answers every command with lines that end in LF (mostly CR LF).
// One transfer may carry several lines, and one line may arrive over several
// transfers.  The buffer keeps what has arrived, hands out one complete line
// at a time, and says where the next transfer can put its bytes: always a
// whole number of the endpoint's packets, since a transfer that ends inside a
// packet the printer sends overflows and loses that packet.
//
// No USB here: the link makes the transfers, this class only keeps the bytes.
#pragma once

#include <cstdint>
#include <memory>

namespace com {

class LineBuffer {
public:
    static constexpr std::uint32_t capacity = 4096;

    // Allocates the storage; false when memory is short.
    bool allocate();

    bool empty() const { return fill_ == 0; }
    // Bytes received and not yet handed out.
    std::uint32_t buffered() const { return fill_ - read_; }
    // Drops every buffered byte.
    void clear() { read_ = fill_ = 0; }

    enum class Take {
        line,       // a complete line was copied out and consumed
        too_small,  // a complete line is buffered but does not fit: it stays
        no_line,    // no line end is buffered
    };
    // Hands out the next complete line, without its LF and a CR right before
    // it, into `out` (`out_size` bytes, terminating NUL included).  `*length`
    // gets the line's length for `line` and `too_small`.
    Take take_line(char* out, int out_size, int* length);

    // Prepares room for the next transfer: a line not yet complete moves to
    // the front.  Returns how many bytes the transfer may ask for, a whole
    // number of `packet_bytes` packets; 0 when not one packet fits any more.
    std::uint32_t room(std::uint32_t packet_bytes);
    // Where the next transfer puts its bytes.
    std::uint8_t* write_position() { return storage_.get() + fill_; }
    // Takes `count` bytes that a transfer put at write_position().
    void received(std::uint32_t count) { fill_ += count; }

private:
    std::unique_ptr<std::uint8_t[]> storage_;
    // Either read_ < fill_, or both are 0.
    std::uint32_t read_ = 0;
    std::uint32_t fill_ = 0;
};

}  // namespace com
