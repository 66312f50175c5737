// The abstract printer link.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace com {

class LocalFile;

// Upload progress: percentage done, rate of the last interval in KiB/s, context.
typedef void (*ProgressCallback)(int percent, float rate_kib_per_s, void* context);

class Com {
public:
    // Sets up the state every link carries.  Removes log files older than one
    // day from `log_dir`; with `log_enabled` it opens a new log file there.
    // Throws std::runtime_error when it cannot.
    Com(std::string log_dir, bool log_enabled);
    virtual ~Com();

    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;

    // Opens the printer; with `take_control` the host takes it over ("~M601 S0").
    virtual int com_open(unsigned timeout_ms, bool take_control) = 0;
    // Gives the printer back ("~M602") and closes it.  Always 0.
    virtual int com_close() = 0;
    // 1 when no printer is open, 0 when one is.
    virtual int com_is_closed() = 0;
    // Sends bytes on the command endpoint.
    virtual int com_write(const void* data, int length, int* written, unsigned timeout_ms) = 0;
    // Hands out the next reply line, without its line end.
    virtual int com_readline(char* buffer, int buffer_size, int* line_length, unsigned timeout_ms) = 0;
    // Uploads a local file to `remote_path` on the printer.
    virtual int com_send_file(const std::string& local_path, const std::string& remote_path,
                              ProgressCallback progress, void* context, int progress_scale,
                              const std::string& closing_argument, unsigned timeout_ms) = 0;
    // One raw read from the command endpoint, bypassing the line buffer.
    virtual int com_read(void* buffer, int length, int* received, unsigned timeout_ms) = 0;
    // Drops buffered reply bytes and reads once to drop what is pending.
    virtual int com_clear_buffer(unsigned timeout_ms) = 0;

    // Uploads a file into the printer's system folder and asks the printer to
    // take it up ("~M600"); reports 100 % when the printer has confirmed.
    int com_install_file(const std::string& local_path, const std::string& file_name,
                         ProgressCallback progress, void* context,
                         const std::string& closing_argument, unsigned timeout_ms);

    // Appends one time-stamped line to this link's log file.  Throws
    // std::runtime_error "No memory" or "It's not enough disk space".
    void write_log(const char* message);

    // Deletes from `dir` every log file last written more than
    // `max_age_seconds` ago.  Reports and throws nothing.
    static void remove_old_logs(const std::string& dir, int max_age_seconds);

    // Asks a running upload to stop after the piece in flight.  Safe to call
    // from the progress callback or from another thread.
    void cancel_upload();

    bool logging() const { return log_enabled; }
    const std::string& log_file_path() const { return log_path; }

protected:
    static constexpr unsigned receive_capacity_bytes = 4096;
    static constexpr unsigned log_line_bytes = 8192;
    static constexpr int reply_line_bytes = 128;
    static constexpr unsigned drain_timeout_ms = 1000;

    // Formats one message (printf style) in a buffer of the call and logs it.
    // Nothing is formatted when logging is off.
    void log_format(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    // Sends one whole command line with com_write, in as many writes as the
    // printer needs to take it; a write that moves no byte ends it with
    // COM_ERR_TIMEOUT.
    int send_command(const char* line, unsigned timeout_ms);
    // Reads one reply line into `line`; when no complete line is handed out the
    // text is empty, so it never equals an expected reply.
    int read_reply(char (&line)[reply_line_bytes], unsigned timeout_ms);
    // Reads one reply line and compares it with `expected`: on another line the
    // input is drained and COM_ERR_COMMAND returned.
    int expect_reply(const char* expected, unsigned timeout_ms);

    std::unique_ptr<std::uint8_t[]> receive_buffer;
    std::uint32_t receive_capacity = 0;
    std::uint32_t read_position = 0;
    std::uint32_t fill_count = 0;
    // Set by cancel_upload, cleared when an upload starts.
    std::atomic<bool> cancel_flag{false};

    std::string log_dir;
    bool log_enabled = false;
    std::string log_path;
    std::unique_ptr<LocalFile> log_file;
    unsigned log_buf_size = 0;
    std::unique_ptr<char[]> log_buf;
};

}  // namespace com
