// The abstract printer link.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "com/protocol.h"
#include "com/sha256.h"

namespace com {

class LineBuffer;
class LocalFile;

// What the link throws (std::runtime_error) when its log file cannot be
// opened, and when a line cannot be written to it.
inline constexpr char log_open_failure[] = "open log file failure";
inline constexpr char log_write_failure[] = "It's not enough disk space";

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
    // Once stopped (stop), the printer is not opened: COM_ERR_CANCELED.
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
    virtual int com_send_file(const std::string& local_path, const std::string& remote_path, ProgressCallback progress,
                              void* context, int progress_scale, const std::string& closing_argument,
                              unsigned timeout_ms) = 0;
    // One raw read from the command endpoint, bypassing the line buffer.
    virtual int com_read(void* buffer, int length, int* received, unsigned timeout_ms) = 0;
    // Drops buffered reply bytes and reads once to drop what is pending.
    virtual int com_clear_buffer(unsigned timeout_ms) = 0;

    // Uploads a file into the printer's system folder and asks the printer to
    // take it up ("~M600"); reports 100 % when the printer has confirmed.
    int com_install_file(const std::string& local_path, const std::string& file_name, ProgressCallback progress,
                         void* context, const std::string& closing_argument, unsigned timeout_ms);

    // After com_install_file: its take-up command ("~M600") reached the
    // printer, whole or in part, so that whatever the outcome the printer
    // may have taken the file up.
    bool take_up_requested() const { return take_up_sent; }

    // Appends one time-stamped line to this link's log file.  Throws
    // std::runtime_error "No memory" or log_write_failure.
    void write_log(const char* message);

    // Deletes from `dir` every log file last written more than
    // `max_age_seconds` ago.  Reports and throws nothing.
    static void remove_old_logs(const std::string& dir, int max_age_seconds);

    // Asks a running upload to stop after the piece in flight.  Safe to call
    // from the progress callback or from another thread.
    void cancel_upload();

    // Asks the link to stop, from any thread and at any moment: the upload in
    // progress stops at its next piece and every later one before it sends
    // anything (no upload's start clears this, unlike cancel_upload).  The
    // printer is still told that an upload has ended, and given back.  With
    // `at_once` the rest goes as fast as the printer answers: no pause before
    // "~M29", no drain after an unexpected reply, and no transfer waits
    // longer than the give-back's own time-out.  A link stopped before it
    // is opened opens nothing.
    void stop(bool at_once);
    // The SHA-256 the bytes of the next upload must have: the digest the file
    // had when it was checked.  That upload hashes every piece it reads, and
    // when the file's bytes have changed since, it does not send the last
    // piece: it ends with COM_ERR_FILE after the closing exchange, so the
    // printer never holds the whole of other bytes and is not asked to take
    // them up.  Holds for the next upload only, whatever its outcome.
    void expect_upload_sha256(const Sha256Digest& digest);

    bool logging() const { return log_enabled; }
    const std::string& log_file_path() const { return log_path; }

protected:
    static constexpr unsigned log_line_bytes = 8192;
    static constexpr unsigned drain_timeout_ms = 1000;

    // --- the printer's command language (printer_commands.cpp) ---------------
    // Reads away reply lines an earlier session left queued, then takes the
    // printer over ("~M601 S0").
    int take_control(unsigned timeout_ms);
    // Gives the printer back ("~M602").  An upload the printer may still be
    // in is closed first ("~M29").  The outcome is not reported; the command
    // is tried again, at most three times, while it does not go out.
    void give_back();
    // The whole upload of one file: "~M28", the file data, "~M29".
    int upload_file(const std::string& local_path, const std::string& remote_path, ProgressCallback progress,
                    void* context, int progress_scale, const std::string& closing_argument, unsigned timeout_ms);

    // Formats one message (printf style) in a buffer of the call and logs it.
    // Nothing is formatted when logging is off.
    void log_format(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

    LineBuffer& replies()
    {
        return *reply_buffer;
    }

    // While one exists, a log line that cannot be written does not end the
    // operation under way: the first failure is kept, and rethrow() (or the
    // next log failure after the scope) reports it.  The give-back runs under
    // one, so that a full disk never keeps the printer held.
    class LogFailuresDeferred {
    public:
        explicit LogFailuresDeferred(Com& link);
        ~LogFailuresDeferred();
        LogFailuresDeferred(const LogFailuresDeferred&) = delete;
        LogFailuresDeferred& operator=(const LogFailuresDeferred&) = delete;
        // Ends the deferral; throws what the log failed with, if it did.
        void rethrow();

    private:
        Com& link;
    };

    // Bytes the last com_write moved, whatever its outcome: libusb reports
    // them also for a transfer that failed part way.  The implementation sets
    // it right after the transfer, before it logs.
    int last_write_moved = 0;
    // Set by cancel_upload, cleared when an upload starts.
    std::atomic<bool> cancel_flag{false};
    // Set by stop, never cleared.
    std::atomic<bool> stop_flag{false};
    std::atomic<bool> stop_at_once{false};
    // Set by expect_upload_sha256, taken by the next upload.
    std::optional<Sha256Digest> upload_digest;

    std::string log_dir;
    bool log_enabled = false;
    std::string log_path;
    std::unique_ptr<LocalFile> log_file;
    unsigned log_buf_size = 0;
    std::unique_ptr<char[]> log_buf;

private:
    // A log line could not be written: throws `what`, or keeps it while
    // failures are deferred.
    void log_failed(const char* what);
    bool defer_log_failures = false;
    std::string deferred_log_failure;

    // One bulk transfer of file data to the printer; `moved` gets the bytes it
    // took.  The data phase of upload_file sends every piece through it.
    virtual int write_data(const std::uint8_t* data, unsigned length, unsigned* moved, unsigned timeout_ms) = 0;

    // Sends one whole command line (see printer_commands.cpp).
    int send_command(const char* line, unsigned timeout_ms);
    int send_rest_of_line(unsigned timeout_ms);
    // Reads one reply line into `line`; when no complete line is handed out the
    // text is empty, so it never equals an expected reply.
    int read_reply(char (&line)[protocol::reply_line_bytes], unsigned timeout_ms);
    // Reads one reply line and compares it with `expected`: on another line the
    // input is drained and COM_ERR_COMMAND returned.
    int expect_reply(const char* expected, unsigned timeout_ms);
    int expect_after(int code, const char* expected, unsigned timeout_ms);
    // Empties the input after an unexpected reply.
    void drain();
    // The time-out a transfer gets now: `timeout_ms`, or less once stopped at once.
    unsigned within(unsigned timeout_ms) const;
    void discard_stale_replies();
    // Completes the command line the printer holds the start of, and reads
    // its replies away; an upload it opened is closed.
    int complete_cut_line(unsigned timeout_ms);
    // "~M29" and its replies, for an upload the printer may still be in.
    int close_open_upload(unsigned timeout_ms);

    std::unique_ptr<LineBuffer> reply_buffer;
    // The command line being sent and how much of it the printer has taken.
    // A line cut by a failed or short write is completed before the next one
    // goes out, so the printer never gets a fragment joined to another line.
    char line_out[protocol::command_line_bytes] = {};
    int line_out_length = 0;
    int line_out_sent = 0;
    // The printer may be inside an upload: an "~M28" line went out, at least
    // in part, and no "~M29" line after it, nor a refusal.
    bool upload_open = false;
    // Since the last com_install_file began, an "~M600" line went out, at
    // least in part.
    bool take_up_sent = false;
};

}  // namespace com
