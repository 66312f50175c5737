// The state every link carries: the reply buffer, the cancel flag and the
// diagnostic log.
#include "com/com.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "com/local_file.h"
#include "com/result.h"
#include "line_buffer.h"
#include "platform/platform.h"

namespace com {

namespace {

constexpr int one_day_seconds = 86400;
constexpr unsigned log_buf_step = 4096;
constexpr unsigned log_buf_slack = 8;
constexpr std::int64_t filetime_ticks_per_second = 10000000;

}  // namespace

Com::Com(std::string dir, bool enabled) : log_dir(std::move(dir)), log_enabled(enabled)
{
    reply_buffer.reset(new (std::nothrow) LineBuffer);
    if (!reply_buffer || !reply_buffer->allocate())
        throw std::runtime_error("no memory");

    remove_old_logs(log_dir, one_day_seconds);

    if (!log_enabled)
        return;

    log_buf.reset(new (std::nothrow) char[log_line_bytes]);
    if (!log_buf)
        throw std::runtime_error("no memory");
    log_buf_size = log_line_bytes;

    const platform::UtcTime now = platform::utc_now();
    char name[64];
    // The hour carries a fixed +8 and is not reduced; the date is not advanced.
    std::snprintf(name, sizeof name, "libcom-%d-%d-%d_%d-%d-%d.log", now.year, now.month, now.day, now.hour + 8,
                  now.minute, now.second);
    log_path = log_dir + platform::path_separator() + name;

    // A log that already exists (another link made within the same second, in
    // this process or another) is continued, never overwritten: each line is
    // appended whole, so the lines of two links never cut into each other.
    log_file.reset(new (std::nothrow) LocalFile(log_path, false, true, true));
    if (!log_file)
        throw std::runtime_error("No memory");
    if (!log_file->open())
        throw std::runtime_error(log_open_failure);
}

Com::~Com() = default;

void Com::write_log(const char* message)
{
    if (!log_enabled || !log_file)
        return;

    const platform::UtcTime now = platform::utc_now();
    char stamp[64];
    const int stamp_length = std::snprintf(stamp, sizeof stamp, "%d-%d-%d %d:%d:%d", now.year, now.month, now.day,
                                           now.hour, now.minute, now.second);
    const std::size_t message_length = std::strlen(message);
    const std::size_t needed = message_length + static_cast<std::size_t>(stamp_length) + log_buf_slack;
    if (needed > UINT_MAX - log_buf_step)
        return log_failed("No memory");

    if (!log_buf || needed > log_buf_size) {
        const unsigned capacity =
            needed > log_buf_size ? static_cast<unsigned>((needed / log_buf_step + 1) * log_buf_step) : log_buf_size;
        log_buf.reset();
        log_buf.reset(new (std::nothrow) char[capacity]);
        if (!log_buf)
            return log_failed("No memory");
        log_buf_size = capacity;
    }

    const int line_length = std::snprintf(log_buf.get(), log_buf_size, "%s: %s\n", stamp, message);
    unsigned written = 0;
    if (line_length < 0 || !log_file->write(log_buf.get(), static_cast<unsigned>(line_length), &written) ||
        written < static_cast<unsigned>(line_length))
        log_failed(log_write_failure);
}

void Com::log_failed(const char* what)
{
    if (!defer_log_failures)
        throw std::runtime_error(what);
    if (deferred_log_failure.empty())
        deferred_log_failure = what;
}

Com::LogFailuresDeferred::LogFailuresDeferred(Com& link) : link(link)
{
    link.defer_log_failures = true;
}

Com::LogFailuresDeferred::~LogFailuresDeferred()
{
    link.defer_log_failures = false;
}

void Com::LogFailuresDeferred::rethrow()
{
    link.defer_log_failures = false;
    if (link.deferred_log_failure.empty())
        return;
    const std::string what = std::move(link.deferred_log_failure);
    link.deferred_log_failure.clear();
    throw std::runtime_error(what);
}

void Com::log_format(const char* format, ...)
{
    if (!log_enabled)
        return;
    char message[log_line_bytes];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    write_log(message);
}

void Com::remove_old_logs(const std::string& dir, int max_age_seconds)
{
    if (!platform::path_fits(dir))
        return;
    const std::int64_t now = static_cast<std::int64_t>(platform::utc_to_filetime(platform::utc_now()));
    const std::int64_t limit = now - static_cast<std::int64_t>(max_age_seconds) * filetime_ticks_per_second;
    platform::find_entries(dir, "libcom-*.log", [&](const platform::DirEntry& entry) {
        if (entry.is_directory)
            return;
        if (static_cast<std::int64_t>(entry.last_write) < limit)
            platform::file_delete(dir + platform::path_separator() + entry.name);
    });
}

void Com::cancel_upload()
{
    cancel_flag.store(true);
}

void Com::stop(bool at_once)
{
    if (at_once)
        stop_at_once.store(true);
    stop_flag.store(true);
}

void Com::expect_upload_sha256(const Sha256Digest& digest)
{
    upload_digest = digest;
}

}  // namespace com
