// The USB link: opening, claiming and closing the printer, and the bulk
// transfers of the line I/O.  What is sent and expected lives in
// printer_commands.cpp.
#include "com/com_usb.h"

#include <cstring>
#include <stdexcept>

#include <libusb.h>

#include "com/devices.h"
#include "com/result.h"
#include "line_buffer.h"
#include "link_detail.h"
#include "platform/platform.h"

namespace com {

// How one kind of transfer reports its outcome.
struct TransferRules {
    // LIBUSB_ERROR_OVERFLOW is the operation's own COM_ERR_OVERFLOW, or just
    // one more unknown error (the reads of reply lines).
    enum class Overflow { own_code, unknown };
    // Which outcomes get a log line.  A read-on of a line not yet complete
    // logs its time-out itself: it means the line had no end.
    enum class Logged { everything, all_but_timeout, failures, nothing };

    const char* operation;  // the log prefix, "com_write: " and so on
    Overflow overflow;
    Logged logged;
};

namespace {

using Overflow = TransferRules::Overflow;
using Logged = TransferRules::Logged;

constexpr TransferRules command_out{detail::write_prefix, Overflow::own_code, Logged::everything};
constexpr TransferRules reply_in{detail::readline_prefix, Overflow::unknown, Logged::everything};
constexpr TransferRules reply_read_on{detail::readline_prefix, Overflow::unknown, Logged::all_but_timeout};
constexpr TransferRules drain_in{detail::clear_prefix, Overflow::unknown, Logged::everything};
constexpr TransferRules raw_in{"com_read: ", Overflow::own_code, Logged::nothing};
constexpr TransferRules file_data_out{detail::send_prefix, Overflow::own_code, Logged::failures};

// A line not yet complete is read on for at most this long in all.
constexpr std::uint32_t read_on_limit_ms = 1000;
// When the endpoint's descriptor cannot be read: a high-speed bulk packet,
// which every smaller power-of-two packet size divides.
constexpr unsigned fallback_packet_bytes = 512;

}  // namespace

ComUsb::ComUsb(std::uint16_t vendor_id, std::uint16_t product_id, std::string log_dir, bool log_enabled)
    : Com(std::move(log_dir), log_enabled), vendor_id(vendor_id), product_id(product_id)
{
    if (vendor_id == 0 || product_id == 0)
        throw std::runtime_error("not specify vid or pid");
    if (libusb_init(nullptr) < 0)
        throw std::runtime_error("init libusb failed");
}

ComUsb::~ComUsb()
{
    close_quietly();
    libusb_exit(nullptr);
}

void ComUsb::close_quietly() noexcept
{
    try {
        ComUsb::com_close();  // also from the destructor: this class's own, by name
    } catch (...) {
        // The log could not take the lines of the release handshake; the
        // printer is still released and closed.
        release_and_close();
    }
}

void ComUsb::release_and_close() noexcept
{
    if (!handle)
        return;
    libusb_release_interface(handle, 0);
    libusb_close(handle);
    handle = nullptr;
    endpoints = EndpointSet{0, 0, 0, 0};
    reply_packet = 0;
}

int ComUsb::com_open(unsigned timeout_ms, bool take_control)
{
    com_close();
    // A stopped link opens nothing: the printer is not taken.
    if (stop_flag.load())
        return COM_ERR_CANCELED;
    if (!find_supported_device(vendor_id, product_id))
        return COM_ERR_DISCONNECTED;
    handle = place ? open_at_place() : libusb_open_device_with_vid_pid(nullptr, vendor_id, product_id);
    if (!handle)
        return COM_ERR_CONNECT;
    endpoints = endpoints_for_product(product_id);
    // Before the claim: a kernel driver bound to interface 0 would refuse it.
    libusb_set_auto_detach_kernel_driver(handle, 1);
    if (libusb_claim_interface(handle, 0) != 0) {
        libusb_close(handle);
        handle = nullptr;
        endpoints = EndpointSet{0, 0, 0, 0};
        return COM_ERR_CONNECT;
    }
    const int packet = libusb_get_max_packet_size(libusb_get_device(handle), endpoints.cmd_in);
    reply_packet = packet > 0 ? static_cast<unsigned>(packet) : fallback_packet_bytes;
    replies().clear();
    return take_control ? Com::take_control(timeout_ms) : COM_SUCCESS;
}

int ComUsb::com_close()
{
    if (!handle)
        return COM_SUCCESS;
    give_back();
    release_and_close();
    return COM_SUCCESS;
}

int ComUsb::com_is_closed()
{
    return handle ? 0 : 1;
}

int ComUsb::transfer(const TransferRules& rules, std::uint8_t endpoint, void* data, int length, int* moved,
                     unsigned timeout_ms)
{
    int transferred = 0;
    const int result =
        libusb_bulk_transfer(handle, endpoint, static_cast<unsigned char*>(data), length, &transferred, timeout_ms);
    *moved = transferred;
    if (result == LIBUSB_SUCCESS) {
        if (rules.logged == Logged::everything || rules.logged == Logged::all_but_timeout)
            log_format("%s%.*s", rules.operation, transferred, static_cast<const char*>(data));
        return COM_SUCCESS;
    }

    int code = COM_ERR_UNKNOWN;
    const char* text = nullptr;
    switch (result) {
    case LIBUSB_ERROR_TIMEOUT:
        code = COM_ERR_TIMEOUT;
        text = "timeout";
        break;
    case LIBUSB_ERROR_NO_DEVICE:
        code = COM_ERR_DISCONNECTED;
        text = "no device";
        break;
    case LIBUSB_ERROR_PIPE:
        libusb_clear_halt(handle, endpoint);
        code = COM_ERR_HALTED;
        text = "device has halted";
        break;
    case LIBUSB_ERROR_OVERFLOW:
        if (rules.overflow == Overflow::own_code) {
            code = COM_ERR_OVERFLOW;
            text = "device buffer overflow";
        }
        break;
    default:
        break;
    }
    if (rules.logged != Logged::nothing && !(rules.logged == Logged::all_but_timeout && code == COM_ERR_TIMEOUT)) {
        if (text)
            log_format("%s: %s", rules.operation, text);
        else
            log_format("%s: other error, error code: %d", rules.operation, result);
    }
    return code;
}

int ComUsb::com_write(const void* data, int length, int* written, unsigned timeout_ms)
{
    const int code =
        transfer(command_out, endpoints.cmd_out, const_cast<void*>(data), length, &last_write_moved, timeout_ms);
    if (code == COM_SUCCESS)
        *written = last_write_moved;
    return code;
}

int ComUsb::write_data(const std::uint8_t* data, unsigned length, unsigned* moved, unsigned timeout_ms)
{
    int transferred = 0;
    const int code = transfer(file_data_out, endpoints.data_out, const_cast<std::uint8_t*>(data),
                              static_cast<int>(length), &transferred, timeout_ms);
    *moved = static_cast<unsigned>(transferred);
    return code;
}

int ComUsb::receive_replies(const TransferRules& rules, std::uint32_t room, unsigned timeout_ms)
{
    LineBuffer& lines = replies();
    int received = 0;
    const int code =
        transfer(rules, endpoints.cmd_in, lines.write_position(), static_cast<int>(room), &received, timeout_ms);
    if (code == COM_SUCCESS)
        lines.received(static_cast<std::uint32_t>(received));
    return code;
}

int ComUsb::com_readline(char* buffer, int buffer_size, int* line_length, unsigned timeout_ms)
{
    // No complete line to hand out: the caller's text is left empty, never
    // stale, so it equals no expected reply.
    auto no_line = [&]() {
        if (buffer_size > 0)
            buffer[0] = '\0';
        *line_length = 0;
        return COM_SUCCESS;
    };

    LineBuffer& lines = replies();
    if (lines.empty()) {
        const int code = receive_replies(reply_in, lines.room(reply_packet), timeout_ms);
        if (code != COM_SUCCESS)
            return code;
        if (lines.empty())
            return no_line();
    }

    std::uint32_t read_on_start = 0;
    bool reading_on = false;
    for (;;) {
        switch (lines.take_line(buffer, buffer_size, line_length)) {
        case LineBuffer::Take::line:
            return COM_SUCCESS;
        case LineBuffer::Take::too_small:
            log_format("%s: receive buf too small", detail::readline_prefix);
            return COM_ERR_OVERFLOW;
        case LineBuffer::Take::no_line:
            break;
        }

        // The line is not complete yet: a printer may send one line in
        // several packets.  Read on after it, for a bounded time in all; a
        // line that does not end within it is no line.
        const std::uint32_t room = lines.room(reply_packet);
        if (room == 0) {
            log_format("%s: no line end in %u bytes", detail::readline_prefix, lines.buffered());
            lines.clear();
            return no_line();
        }
        if (!reading_on) {
            reading_on = true;
            read_on_start = platform::tick_count();
        }
        const std::uint32_t elapsed = platform::tick_count() - read_on_start;
        const std::uint32_t limit = timeout_ms < read_on_limit_ms ? timeout_ms : read_on_limit_ms;
        const auto unended = [&] {
            log_format("%s: no line end within %u ms after %u bytes", detail::readline_prefix, limit, lines.buffered());
            return no_line();
        };
        // cppcheck-suppress knownConditionTrueFalse ; time passes between the two tick counts
        if (elapsed >= limit)
            return unended();
        const std::uint32_t before = lines.buffered();
        const int code = receive_replies(reply_read_on, room, limit - elapsed);
        if (code == COM_ERR_TIMEOUT)
            return unended();
        if (code != COM_SUCCESS)
            return code;
        // cppcheck-suppress knownConditionTrueFalse ; receive_replies fills the buffer
        if (lines.buffered() == before)
            return no_line();
    }
}

int ComUsb::com_clear_buffer(unsigned timeout_ms)
{
    replies().clear();
    std::uint8_t pending[LineBuffer::capacity];
    int received = 0;
    const unsigned packet = reply_packet ? reply_packet : fallback_packet_bytes;
    const int room = static_cast<int>(sizeof pending / packet * packet);
    return transfer(drain_in, endpoints.cmd_in, pending, room, &received, timeout_ms);
}

int ComUsb::com_read(void* buffer, int length, int* received, unsigned timeout_ms)
{
    int transferred = 0;
    const int code = transfer(raw_in, endpoints.cmd_in, buffer, length, &transferred, timeout_ms);
    if (code == COM_SUCCESS)
        *received = transferred;
    return code;
}

int ComUsb::com_send_file(const std::string& local_path, const std::string& remote_path, ProgressCallback progress,
                          void* context, int progress_scale, const std::string& closing_argument, unsigned timeout_ms)
{
    return upload_file(local_path, remote_path, progress, context, progress_scale, closing_argument, timeout_ms);
}

}  // namespace com
