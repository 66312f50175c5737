// The USB link: opening and the control handshakes, line I/O, file upload.
#include "com/com_usb.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <libusb.h>

#include "com/devices.h"
#include "com/local_file.h"
#include "com/result.h"
#include "platform/platform.h"

namespace com {

namespace {

constexpr char write_prefix[] = "com_write: ";
constexpr char readline_prefix[] = "com_readline: ";
constexpr char clear_prefix[] = "com_clear_buffer: ";
constexpr char send_prefix[] = "com_send_file: ";

constexpr unsigned release_timeout_ms = 1000;
constexpr int release_attempts = 3;
constexpr unsigned stale_flush_timeout_ms = 100;
constexpr int stale_flush_transfers = 16;
constexpr unsigned chunk_bytes = 4096;
constexpr unsigned closing_pause_ms = 500;
constexpr unsigned closing_extra_wait_ms = 10000;
constexpr std::uint32_t progress_interval_ms = 500;
constexpr int command_bytes = 256;

// A command argument must not carry a line end or any other control byte: it
// would end the command early and start another one on the printer.
bool safe_command_argument(const std::string& text)
{
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

unsigned with_extra_wait(unsigned timeout_ms)
{
    return timeout_ms > UINT_MAX - closing_extra_wait_ms ? UINT_MAX : timeout_ms + closing_extra_wait_ms;
}

}  // namespace

ComUsb::ComUsb(std::uint16_t vid, std::uint16_t pid, std::string dir, bool enabled)
    : Com(std::move(dir), enabled), vendor_id(vid), product_id(pid)
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
        com_close();
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
}

int ComUsb::com_open(unsigned timeout_ms, bool take_control)
{
    com_close();
    if (!find_supported_device(vendor_id, product_id))
        return COM_ERR_DISCONNECTED;
    handle = libusb_open_device_with_vid_pid(nullptr, vendor_id, product_id);
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
    read_position = fill_count = 0;
    if (!take_control)
        return COM_SUCCESS;

    discard_stale_replies();
    int code = send_command("~M601 S0\r\n", timeout_ms);
    if (code == COM_SUCCESS)
        code = expect_reply("CMD M601 Received.", timeout_ms);
    if (code == COM_SUCCESS)
        code = expect_reply("Control Success.", timeout_ms);
    if (code == COM_SUCCESS)
        code = expect_reply("ok", timeout_ms);
    return code;
}

void ComUsb::discard_stale_replies()
{
    // A session that ended in the middle of an exchange can leave reply lines
    // queued in the printer; read as answers to this session's commands they
    // would fail every later update.  Read them away until the line is quiet.
    std::uint8_t pending[receive_capacity_bytes];
    for (int i = 0; i < stale_flush_transfers; ++i) {
        int transferred = 0;
        const int result = libusb_bulk_transfer(handle, endpoints.cmd_in, pending, sizeof pending, &transferred,
                                                stale_flush_timeout_ms);
        if (result == LIBUSB_ERROR_PIPE)
            libusb_clear_halt(handle, endpoints.cmd_in);
        if (result != 0 || transferred == 0)
            return;
        log_format("com_open: discarded stale reply: %.*s", transferred, reinterpret_cast<const char*>(pending));
    }
}

int ComUsb::com_close()
{
    if (!handle)
        return COM_SUCCESS;
    // The outcome of the release handshake is not reported: the first failure
    // ends it, and the device is released and closed in every case.  The
    // command itself is tried again while the printer is there, since one
    // that never got it stays held.
    int code = COM_ERR_UNKNOWN;
    for (int attempt = 0; attempt < release_attempts; ++attempt) {
        code = send_command("~M602\r\n", release_timeout_ms);
        if (code == COM_SUCCESS || code == COM_ERR_DISCONNECTED)
            break;
    }
    if (code == COM_SUCCESS &&
        expect_reply("CMD M602 Received.", release_timeout_ms) == COM_SUCCESS &&
        expect_reply("Control Release.", release_timeout_ms) == COM_SUCCESS)
        expect_reply("ok", release_timeout_ms);
    release_and_close();
    return COM_SUCCESS;
}

int ComUsb::com_is_closed()
{
    return handle ? 0 : 1;
}

int ComUsb::transfer_failure(const char* prefix, int transfer_result, std::uint8_t endpoint, bool overflow_is_own)
{
    switch (transfer_result) {
    case LIBUSB_ERROR_TIMEOUT:
        if (prefix)
            log_format("%s: timeout", prefix);
        return COM_ERR_TIMEOUT;
    case LIBUSB_ERROR_NO_DEVICE:
        if (prefix)
            log_format("%s: no device", prefix);
        return COM_ERR_DISCONNECTED;
    case LIBUSB_ERROR_PIPE:
        libusb_clear_halt(handle, endpoint);
        if (prefix)
            log_format("%s: device has halted", prefix);
        return COM_ERR_HALTED;
    case LIBUSB_ERROR_OVERFLOW:
        if (overflow_is_own) {
            if (prefix)
                log_format("%s: device buffer overflow", prefix);
            return COM_ERR_OVERFLOW;
        }
        break;
    default:
        break;
    }
    if (prefix)
        log_format("%s: other error, error code: %d", prefix, transfer_result);
    return COM_ERR_UNKNOWN;
}

int ComUsb::com_write(const void* data, int length, int* written, unsigned timeout_ms)
{
    int transferred = 0;
    const int result = libusb_bulk_transfer(handle, endpoints.cmd_out,
                                            static_cast<unsigned char*>(const_cast<void*>(data)), length,
                                            &transferred, timeout_ms);
    if (result != 0)
        return transfer_failure(write_prefix, result, endpoints.cmd_out, true);
    *written = transferred;
    log_format("%s%.*s", write_prefix, transferred, static_cast<const char*>(data));
    return COM_SUCCESS;
}

int ComUsb::receive_more(unsigned timeout_ms)
{
    int transferred = 0;
    std::uint8_t* free_space = receive_buffer.get() + fill_count;
    const int result = libusb_bulk_transfer(handle, endpoints.cmd_in, free_space,
                                            static_cast<int>(receive_capacity - fill_count), &transferred, timeout_ms);
    if (result != 0)
        return transfer_failure(readline_prefix, result, endpoints.cmd_in, false);
    fill_count += static_cast<std::uint32_t>(transferred);
    log_format("%s%.*s", readline_prefix, transferred, reinterpret_cast<const char*>(free_space));
    return COM_SUCCESS;
}

int ComUsb::com_readline(char* buffer, int buffer_size, int* line_length, unsigned timeout_ms)
{
    // No complete line to hand out: the caller's text is left empty, never stale.
    auto no_line = [&]() {
        if (buffer_size > 0)
            buffer[0] = '\0';
        *line_length = 0;
        return COM_SUCCESS;
    };

    if (fill_count == 0) {
        const int code = receive_more(timeout_ms);
        if (code != COM_SUCCESS)
            return code;
        if (fill_count == 0)
            return no_line();
    }

    for (;;) {
        std::uint8_t* start = receive_buffer.get() + read_position;
        const std::uint32_t buffered = fill_count - read_position;
        const auto* lf = static_cast<std::uint8_t*>(std::memchr(start, '\n', buffered));
        if (lf) {
            std::uint32_t length = static_cast<std::uint32_t>(lf - start);
            if (length > 0 && start[length - 1] == '\r')
                --length;
            *line_length = static_cast<int>(length);
            if (buffer_size < 0 || static_cast<std::uint32_t>(buffer_size) < length + 1) {
                log_format("%s: receive buf too small", readline_prefix);
                return COM_ERR_OVERFLOW;
            }
            std::memcpy(buffer, start, length);
            buffer[length] = '\0';
            read_position = static_cast<std::uint32_t>(lf - receive_buffer.get()) + 1;
            if (read_position == fill_count)
                read_position = fill_count = 0;
            return COM_SUCCESS;
        }

        // The line is not complete yet: a printer may send one line in several
        // packets.  Keep the partial line at the front and read on after it.
        if (read_position > 0) {
            std::memmove(receive_buffer.get(), start, buffered);
            read_position = 0;
            fill_count = buffered;
        }
        if (fill_count == receive_capacity) {
            *line_length = static_cast<int>(fill_count);
            log_format("%s: receive buf too small", readline_prefix);
            return COM_ERR_OVERFLOW;
        }
        const std::uint32_t before = fill_count;
        const int code = receive_more(timeout_ms);
        if (code != COM_SUCCESS)
            return code;
        if (fill_count == before)
            return no_line();
    }
}

int ComUsb::com_clear_buffer(unsigned timeout_ms)
{
    read_position = fill_count = 0;
    std::uint8_t pending[receive_capacity_bytes];
    int transferred = 0;
    const int result =
        libusb_bulk_transfer(handle, endpoints.cmd_in, pending, sizeof pending, &transferred, timeout_ms);
    if (result != 0)
        return transfer_failure(clear_prefix, result, endpoints.cmd_in, false);
    log_format("%s%.*s", clear_prefix, transferred, reinterpret_cast<const char*>(pending));
    return COM_SUCCESS;
}

int ComUsb::com_read(void* buffer, int length, int* received, unsigned timeout_ms)
{
    int transferred = 0;
    const int result = libusb_bulk_transfer(handle, endpoints.cmd_in, static_cast<unsigned char*>(buffer), length,
                                            &transferred, timeout_ms);
    if (result != 0)
        return transfer_failure(nullptr, result, endpoints.cmd_in, true);
    *received = transferred;
    return COM_SUCCESS;
}

int ComUsb::com_send_file(const std::string& local_path, const std::string& remote_path, ProgressCallback progress,
                          void* context, int progress_scale, const std::string& closing_argument,
                          unsigned timeout_ms)
{
    cancel_flag.store(false);

    // Both arguments go into command lines: refuse what would break the line.
    if (!safe_command_argument(remote_path) || !safe_command_argument(closing_argument)) {
        log_format("%s: refused: the remote path or the closing argument holds a control character", send_prefix);
        return COM_ERR_INVALID_ARGUMENTS;
    }
    char command[command_bytes];
    if (!closing_argument.empty() &&
        std::snprintf(command, sizeof command, "~M29 %s\r\n", closing_argument.c_str()) >= command_bytes) {
        log_format("%s: refused: the closing command would not fit in %d bytes", send_prefix, command_bytes);
        return COM_ERR_INVALID_ARGUMENTS;
    }

    LocalFile file(local_path, true, false);
    if (!file.open()) {
        log_format("%s: open file %s failed", send_prefix, local_path.c_str());
        return COM_ERR_FILE;
    }
    const std::int64_t size = file.size();
    if (size < 0) {
        log_format("%s: get file %s size failed", send_prefix, local_path.c_str());
        return COM_ERR_FILE;
    }
    if (std::snprintf(command, sizeof command, "~M28 %lld %s\r\n", static_cast<long long>(size),
                      remote_path.c_str()) >= command_bytes) {
        log_format("%s: refused: the upload command for %s would not fit in %d bytes", send_prefix,
                   remote_path.c_str(), command_bytes);
        return COM_ERR_INVALID_ARGUMENTS;
    }

    // Opening exchange.
    int code = send_command(command, timeout_ms);
    if (code != COM_SUCCESS)
        return code;
    if ((code = expect_reply("CMD M28 Received.", timeout_ms)) != COM_SUCCESS)
        return code;
    char line[reply_line_bytes];
    if ((code = read_reply(line, timeout_ms)) != COM_SUCCESS)
        return code;
    if (std::strncmp(line, "Writing to file:", 16) == 0) {
        if ((code = expect_reply("ok", timeout_ms)) != COM_SUCCESS)
            return code;
    } else if (std::strcmp(line, "out of space") == 0) {
        if ((code = read_reply(line, timeout_ms)) != COM_SUCCESS)
            return code;
        if (std::strcmp(line, "ok") != 0)
            com_clear_buffer(drain_timeout_ms);
        return COM_ERR_DISK_FULL;
    } else {
        com_clear_buffer(drain_timeout_ms);
        return COM_ERR_COMMAND;
    }

    // Data phase: exactly the announced number of bytes, 4096 per transfer.
    int data_result = COM_SUCCESS;
    std::int64_t sent = 0;
    std::int64_t sent_at_report = 0;
    std::uint32_t report_tick = platform::tick_count();
    std::uint8_t chunk[chunk_bytes];
    while (sent < size) {
        if (cancel_flag.load(std::memory_order_relaxed)) {
            data_result = COM_ERR_CANCELED;
            break;
        }
        const unsigned want = static_cast<unsigned>(std::min<std::int64_t>(chunk_bytes, size - sent));
        unsigned got = 0;
        if (!file.read(chunk, want, &got)) {
            data_result = COM_ERR_FILE;
            break;
        }
        if (got == 0) {
            log_format("%s: file %s ended after %lld of %lld bytes", send_prefix, local_path.c_str(),
                       static_cast<long long>(sent), static_cast<long long>(size));
            data_result = COM_ERR_FILE;
            break;
        }
        int transferred = 0;
        const int result = libusb_bulk_transfer(handle, endpoints.data_out, chunk, static_cast<int>(got),
                                                &transferred, timeout_ms);
        if (result != 0) {
            data_result = transfer_failure(send_prefix, result, endpoints.data_out, true);
            break;
        }
        if (static_cast<unsigned>(transferred) < got) {
            log_format("%s: device took %d of %u bytes", send_prefix, transferred, got);
            data_result = COM_ERR_OVERFLOW;
            break;
        }
        sent += got;

        // Progress, at most every 500 ms.  The difference of the 32-bit ticks
        // stays right across the counter's wrap.
        const std::uint32_t now = platform::tick_count();
        const std::uint32_t elapsed = now - report_tick;
        if (elapsed > progress_interval_ms) {
            const int percent = static_cast<int>(static_cast<std::int64_t>(progress_scale) * sent / size);
            const double rate = (static_cast<double>(sent - sent_at_report) / 1024.0) / (elapsed / 1000.0);
            if (progress && context)
                progress(percent, static_cast<float>(rate), context);
            sent_at_report = sent;
            report_tick = now;
        }
    }
    if (data_result == COM_SUCCESS && cancel_flag.load(std::memory_order_relaxed))
        data_result = COM_ERR_CANCELED;

    // Closing exchange, after every data phase.
    platform::sleep_ms(closing_pause_ms);
    const auto outcome = [&](int own) { return data_result != COM_SUCCESS ? data_result : own; };
    if (closing_argument.empty())
        std::strcpy(command, "~M29\r\n");
    else
        std::snprintf(command, sizeof command, "~M29 %s\r\n", closing_argument.c_str());
    if ((code = send_command(command, timeout_ms)) != COM_SUCCESS)
        return outcome(code);
    if ((code = read_reply(line, with_extra_wait(timeout_ms))) != COM_SUCCESS)
        return outcome(code);
    if (std::strcmp(line, "CMD M29 Received.") != 0) {
        com_clear_buffer(drain_timeout_ms);
        return outcome(COM_ERR_COMMAND);
    }
    if ((code = read_reply(line, timeout_ms)) != COM_SUCCESS)
        return code;  // this read's own code, even after a failed data phase
    if (std::strcmp(line, "Done saving file.") != 0) {
        com_clear_buffer(drain_timeout_ms);
        return outcome(COM_ERR_COMMAND);
    }
    if ((code = read_reply(line, timeout_ms)) != COM_SUCCESS)
        return outcome(code);
    if (std::strcmp(line, "ok") != 0) {
        com_clear_buffer(drain_timeout_ms);
        return outcome(COM_ERR_COMMAND);
    }
    return data_result;
}

}  // namespace com
