// The printer's command language: take control ("~M601 S0"), give back
// ("~M602"), upload ("~M28", file data, "~M29") and take up ("~M600").
//
// Every exchange is one command line and a fixed series of reply lines.  It
// is written against the link's own line I/O (com_write, com_readline,
// com_clear_buffer, com_read) and one private operation for file data
// (write_data), so it holds no USB and works for any link.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "com/com.h"
#include "com/local_file.h"
#include "com/result.h"
#include "line_buffer.h"
#include "link_detail.h"
#include "platform/platform.h"

namespace com {

namespace {

using detail::send_prefix;
using detail::write_prefix;
using protocol::command_line_bytes;
using protocol::reply_line_bytes;

constexpr unsigned release_timeout_ms = 1000;
constexpr int release_attempts = 3;
constexpr unsigned stale_look_timeout_ms = 100;
constexpr int stale_look_transfers = 16;
constexpr unsigned stale_look_bytes = 4096;
constexpr unsigned closing_pause_ms = 500;
constexpr unsigned closing_extra_wait_ms = 10000;
constexpr std::uint32_t progress_interval_ms = 500;

unsigned with_extra_wait(unsigned timeout_ms)
{
    return timeout_ms > UINT_MAX - closing_extra_wait_ms ? UINT_MAX : timeout_ms + closing_extra_wait_ms;
}

bool starts_with(const char* text, int length, const char* head)
{
    const auto n = static_cast<int>(std::strlen(head));
    return length >= n && std::memcmp(text, head, static_cast<std::size_t>(n)) == 0;
}

// Every command of the printer is answered by this many reply lines.
constexpr int replies_per_command = 3;

// "out of space" as the second reply to an upload request: the printer
// refused it and opened nothing, so no upload is open.  True for that reply.
bool refused_for_space(const char* reply, bool* upload_open)
{
    if (std::strcmp(reply, "out of space") != 0)
        return false;
    *upload_open = false;
    return true;
}

}  // namespace

// --- lines out and in ----------------------------------------------------------

int Com::send_command(const char* line, unsigned timeout_ms)
{
    const auto length = static_cast<int>(std::strlen(line));
    const bool same_line =
        line_out_length == length && std::memcmp(line_out, line, static_cast<std::size_t>(length)) == 0;
    if (line_out_length > 0 && !same_line) {
        // The printer holds the start of an earlier line: complete it, or this
        // line would be joined to it.  Of a line that never started, nothing
        // is left to complete.
        if (line_out_sent > 0) {
            const int code = complete_cut_line(timeout_ms);
            if (code != COM_SUCCESS)
                return code;
        }
        line_out_length = line_out_sent = 0;
    }
    if (line_out_length == 0) {
        std::memcpy(line_out, line, static_cast<std::size_t>(length));
        line_out_length = length;
        line_out_sent = 0;
    }
    // The same line sent again goes on where the printer stopped taking it.
    return send_rest_of_line(timeout_ms);
}

int Com::send_rest_of_line(unsigned timeout_ms)
{
    // What the printer has of the line tells whether it may be inside an
    // upload: from the first byte of "~M28" on, until "~M29" is whole.
    const auto went_out = [this](int moved) {
        line_out_sent += moved;
        if (moved > 0 && starts_with(line_out, line_out_length, protocol::upload_command_prefix))
            upload_open = true;
        if (line_out_sent >= line_out_length && starts_with(line_out, line_out_length, "~M29"))
            upload_open = false;
        if (moved > 0 && starts_with(line_out, line_out_length, "~M600"))
            take_up_sent = true;
    };
    while (line_out_sent < line_out_length) {
        int written = 0;
        int code;
        last_write_moved = 0;
        try {
            code = com_write(line_out + line_out_sent, line_out_length - line_out_sent, &written, within(timeout_ms));
        } catch (...) {
            // The log failed after the transfer: what went out still counts.
            went_out(last_write_moved);
            if (line_out_sent >= line_out_length)
                line_out_length = line_out_sent = 0;
            throw;
        }
        went_out(last_write_moved);
        if (code == COM_SUCCESS && last_write_moved == 0) {
            log_format("%s: the printer took no byte of %d", write_prefix, line_out_length - line_out_sent);
            code = COM_ERR_TIMEOUT;
        }
        if (code != COM_SUCCESS) {
            if (line_out_sent == 0)
                line_out_length = 0;  // nothing of it reached the printer
            return code;
        }
    }
    line_out_length = line_out_sent = 0;
    return COM_SUCCESS;
}

int Com::complete_cut_line(unsigned timeout_ms)
{
    const bool upload = starts_with(line_out, line_out_length, protocol::upload_command_prefix);
    log_format("%s: completing a command cut short after %d of its %d bytes", write_prefix, line_out_sent,
               line_out_length);
    int code = send_rest_of_line(timeout_ms);
    if (code != COM_SUCCESS)
        return code;
    // Its replies would be taken for those of the next command: read them
    // away.  A printer that is slow or silent here is no reason to stop.
    char line[reply_line_bytes];
    for (int i = 0; i < replies_per_command && code == COM_SUCCESS; ++i) {
        code = read_reply(line, timeout_ms);
        if (code == COM_SUCCESS && upload && i == 1)
            refused_for_space(line, &upload_open);
    }
    if (code == COM_ERR_DISCONNECTED)
        return code;
    return upload_open ? close_open_upload(timeout_ms) : COM_SUCCESS;
}

int Com::close_open_upload(unsigned timeout_ms)
{
    log_format("%s: the printer may be inside an upload: closing it", send_prefix);
    int code = send_command("~M29\r\n", timeout_ms);
    code = expect_after(code, "CMD M29 Received.", with_extra_wait(timeout_ms));
    code = expect_after(code, "Done saving file.", timeout_ms);
    return expect_after(code, "ok", timeout_ms);
}

int Com::read_reply(char (&line)[reply_line_bytes], unsigned timeout_ms)
{
    int length = 0;
    line[0] = '\0';
    return com_readline(line, reply_line_bytes, &length, within(timeout_ms));
}

unsigned Com::within(unsigned timeout_ms) const
{
    return stop_at_once.load() && timeout_ms > release_timeout_ms ? release_timeout_ms : timeout_ms;
}

void Com::drain()
{
    if (stop_at_once.load()) {
        // No fixed wait once stopped at once: what the printer still sends
        // is read away by the next session's look for stale replies.
        replies().clear();
        return;
    }
    com_clear_buffer(drain_timeout_ms);
}

int Com::expect_reply(const char* expected, unsigned timeout_ms)
{
    char line[reply_line_bytes];
    const int code = read_reply(line, timeout_ms);
    if (code != COM_SUCCESS)
        return code;
    if (std::strcmp(line, expected) != 0) {
        drain();
        return COM_ERR_COMMAND;
    }
    return COM_SUCCESS;
}

// The next step of an exchange, once the steps before it have succeeded.
int Com::expect_after(int code, const char* expected, unsigned timeout_ms)
{
    return code == COM_SUCCESS ? expect_reply(expected, timeout_ms) : code;
}

// --- take control, give back --------------------------------------------------

void Com::discard_stale_replies()
{
    // A session that ended in the middle of an exchange can leave reply lines
    // queued in the printer; read as answers to this session's commands they
    // would fail every later update.  Read them away until the line is quiet.
    replies().clear();
    std::uint8_t pending[stale_look_bytes];
    for (int i = 0; i < stale_look_transfers; ++i) {
        int received = 0;
        if (com_read(pending, sizeof pending, &received, stale_look_timeout_ms) != COM_SUCCESS || received == 0)
            return;
        log_format("%s%.*s", detail::open_prefix, received, reinterpret_cast<const char*>(pending));
    }
}

int Com::take_control(unsigned timeout_ms)
{
    discard_stale_replies();
    int code = send_command("~M601 S0\r\n", timeout_ms);
    code = expect_after(code, "CMD M601 Received.", timeout_ms);
    code = expect_after(code, "Control Success.", timeout_ms);
    return expect_after(code, "ok", timeout_ms);
}

void Com::give_back()
{
    // The log may fail on the way (a full disk): the printer is given back
    // all the same, and the caller hears of the failure afterwards.
    LogFailuresDeferred deferred(*this);

    // A printer let go inside an upload would wait for data that never
    // comes: an upload it may be in is closed first, also one that a cut
    // "~M28" line opens when it is completed.
    // (When the cut line does not go out whole now, sending "~M602" tries
    // again, and closes the upload after it.)
    int code = COM_SUCCESS;
    if (line_out_length > 0 && line_out_sent > 0 && !starts_with(line_out, line_out_length, "~M602"))
        code = complete_cut_line(release_timeout_ms);
    else if (upload_open)
        code = close_open_upload(release_timeout_ms);
    if (code == COM_ERR_DISCONNECTED) {
        line_out_length = line_out_sent = 0;
        upload_open = false;
        deferred.rethrow();
        return;
    }

    // The first failure ends the exchange.  The command itself is tried
    // again while the printer is there, since one that never got it stays
    // held; a retry goes on with the bytes it has not taken.
    code = COM_ERR_UNKNOWN;
    for (int attempt = 0; attempt < release_attempts; ++attempt) {
        code = send_command("~M602\r\n", release_timeout_ms);
        if (code == COM_SUCCESS || code == COM_ERR_DISCONNECTED)
            break;
    }
    code = expect_after(code, "CMD M602 Received.", release_timeout_ms);
    code = expect_after(code, "Control Release.", release_timeout_ms);
    expect_after(code, "ok", release_timeout_ms);
    // Whatever is left half-sent stays with the printer that is let go now.
    line_out_length = line_out_sent = 0;
    upload_open = false;
    deferred.rethrow();
}

// --- upload, take up ------------------------------------------------------------

int Com::upload_file(const std::string& local_path, const std::string& remote_path, ProgressCallback progress,
                     void* context, int progress_scale, const std::string& closing_argument, unsigned timeout_ms)
{
    cancel_flag.store(false);
    // The digest this upload's bytes must have, if one was given: this
    // upload's alone.
    const std::optional<Sha256Digest> expected = std::exchange(upload_digest, std::nullopt);
    const auto stopping = [this] {
        return cancel_flag.load(std::memory_order_relaxed) || stop_flag.load(std::memory_order_relaxed);
    };
    if (stop_flag.load()) {
        log_format("%s: stopped before the upload of %s began", send_prefix, local_path.c_str());
        return COM_ERR_CANCELED;
    }

    // Both arguments go into command lines: refuse what would break the line.
    if (!protocol::safe_command_argument(remote_path) || !protocol::safe_command_argument(closing_argument)) {
        log_format("%s: refused: the remote path or the closing argument holds a control character", send_prefix);
        return COM_ERR_INVALID_ARGUMENTS;
    }
    char command[command_line_bytes];
    if (!closing_argument.empty() &&
        std::snprintf(command, sizeof command, "~M29 %s\r\n", closing_argument.c_str()) >= command_line_bytes) {
        log_format("%s: refused: the closing command would not fit in %d bytes", send_prefix, command_line_bytes);
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
    // The file is hashed as it is read, piece by piece; the last piece goes
    // out only when the whole file has the digest expected.
    std::optional<Sha256> hash;
    if (expected)
        hash.emplace();
    const auto same_bytes = [&] {
        Sha256Digest actual{};
        if (!hash->finish(&actual)) {
            log_format("%s: %s could not be hashed", send_prefix, local_path.c_str());
            return false;
        }
        if (actual == *expected)
            return true;
        log_format("%s: %s changed since it was checked: its SHA-256 is %s, not %s", send_prefix, local_path.c_str(),
                   sha256_hex(actual).c_str(), sha256_hex(*expected).c_str());
        return false;
    };
    if (hash && size == 0 && !same_bytes())
        return COM_ERR_FILE;
    if (std::snprintf(command, sizeof command, "~M28 %lld %s\r\n", static_cast<long long>(size), remote_path.c_str()) >=
        command_line_bytes) {
        log_format("%s: refused: the upload command for %s would not fit in %d bytes", send_prefix, remote_path.c_str(),
                   command_line_bytes);
        return COM_ERR_INVALID_ARGUMENTS;
    }

    // Opening exchange.
    int code = send_command(command, timeout_ms);
    if ((code = expect_after(code, "CMD M28 Received.", timeout_ms)) != COM_SUCCESS)
        return code;
    char line[reply_line_bytes];
    if ((code = read_reply(line, timeout_ms)) != COM_SUCCESS)
        return code;
    // The echo is recognised by its text up to the blank before the path.
    if (std::strncmp(line, protocol::writing_to_file_echo, sizeof protocol::writing_to_file_echo - 2) == 0) {
        if ((code = expect_reply("ok", timeout_ms)) != COM_SUCCESS)
            return code;
    } else if (refused_for_space(line, &upload_open)) {
        if ((code = read_reply(line, timeout_ms)) != COM_SUCCESS)
            return code;
        if (std::strcmp(line, "ok") != 0)
            drain();
        return COM_ERR_DISK_FULL;
    } else {
        drain();
        return COM_ERR_COMMAND;
    }

    // Data phase: exactly the announced number of bytes, 4096 per transfer.
    int data_result = COM_SUCCESS;
    std::int64_t sent = 0;
    std::int64_t sent_at_report = 0;
    std::uint32_t report_tick = platform::tick_count();
    std::uint8_t chunk[protocol::upload_piece_bytes];
    while (sent < size) {
        if (stopping()) {
            data_result = COM_ERR_CANCELED;
            break;
        }
        const unsigned want = static_cast<unsigned>(std::min<std::int64_t>(protocol::upload_piece_bytes, size - sent));
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
        if (hash && !hash->add(chunk, got)) {
            log_format("%s: %s could not be hashed", send_prefix, local_path.c_str());
            data_result = COM_ERR_FILE;
            break;
        }
        if (hash && sent + got == size && !same_bytes()) {
            data_result = COM_ERR_FILE;
            break;
        }
        unsigned moved = 0;
        if ((data_result = write_data(chunk, got, &moved, timeout_ms)) != COM_SUCCESS)
            break;
        if (moved < got) {
            log_format("%s: device took %u of %u bytes", send_prefix, moved, got);
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
    if (data_result == COM_SUCCESS && stopping())
        data_result = COM_ERR_CANCELED;

    // Closing exchange, after every data phase.
    if (!stop_at_once.load())
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
        drain();
        return outcome(COM_ERR_COMMAND);
    }
    if ((code = read_reply(line, timeout_ms)) != COM_SUCCESS)
        return code;  // this read's own code, even after a failed data phase
    if (std::strcmp(line, "Done saving file.") != 0) {
        drain();
        return outcome(COM_ERR_COMMAND);
    }
    if ((code = read_reply(line, timeout_ms)) != COM_SUCCESS)
        return outcome(code);
    if (std::strcmp(line, "ok") != 0) {
        drain();
        return outcome(COM_ERR_COMMAND);
    }
    return data_result;
}

int Com::com_install_file(const std::string& local_path, const std::string& file_name, ProgressCallback progress,
                          void* context, const std::string& closing_argument, unsigned timeout_ms)
{
    take_up_sent = false;
    const std::string remote_path = std::string(protocol::system_folder) + file_name;
    int code = com_send_file(local_path, remote_path, progress, context, protocol::install_progress_scale,
                             closing_argument, timeout_ms);
    if (code != COM_SUCCESS)
        return code;
    code = send_command("~M600\r\n", timeout_ms);
    code = expect_after(code, "CMD M600 Received.", timeout_ms);
    code = expect_after(code, "succeed", timeout_ms);
    if ((code = expect_after(code, "ok", timeout_ms)) != COM_SUCCESS)
        return code;
    if (progress)
        progress(100, 0.0f, context);
    return COM_SUCCESS;
}

}  // namespace com
