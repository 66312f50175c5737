#include "console.h"

#include "com/utf8.h"
#include "update/local_path.h"

#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>  // before the headers that build on it

#include <shellapi.h>

#include <thread>
#else
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace zarvik {

std::size_t whole_utf8_prefix(const std::string& text)
{
    for (std::size_t at = 0; at < text.size();) {
        const com::utf8::Character c = com::utf8::decode_at(text, at);
        if (c.truncated)
            return at;
        at += c.length;
    }
    return text.size();
}

#ifdef _WIN32

namespace {

void write_console(HANDLE console, const std::string& utf8)
{
    if (utf8.empty())
        return;
    const std::wstring wide = update::wide_of(utf8);  // malformed bytes become U+FFFD
    const wchar_t* next = wide.data();
    DWORD left = static_cast<DWORD>(wide.size());
    while (left > 0) {
        DWORD written = 0;
        if (!::WriteConsoleW(console, next, left, &written, nullptr) || written == 0)
            return;  // the console is gone
        next += written;
        left -= written;
    }
}

bool is_console(HANDLE handle, DWORD* mode)
{
    return handle && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, mode);
}

}  // namespace

std::vector<std::string> command_line(int, char**)
{
    std::vector<std::string> out;
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    for (int i = 1; wide && i < count; ++i)
        out.push_back(update::utf8_of(wide[i]));
    ::LocalFree(wide);
    return out;
}

// The program writes to a pipe; a thread of its own hands what arrives to
// the console.  Standard output and error share the pipe when both are the
// console, so that their lines keep the order they were written in.
struct ProcessStreams::Console {
    HANDLE console = nullptr;
    HANDLE read_end = nullptr;
    std::FILE* writer = nullptr;
    std::thread pump;
};

ProcessStreams::ProcessStreams()
{
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD out_mode = 0, err_mode = 0;
    const bool out_console = is_console(out, &out_mode);
    const bool err_console = is_console(err, &err_mode);
    // Redrawing in place needs the console to take terminal sequences.
    io_.terminal = out_console && ::SetConsoleMode(out, out_mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    if (io_.terminal) {
        io_.terminal_width = [out] {
            CONSOLE_SCREEN_BUFFER_INFO info;
            return ::GetConsoleScreenBufferInfo(out, &info) ? info.srWindow.Right - info.srWindow.Left + 1 : 0;
        };
    }
    if (!out_console && !err_console)
        return;

    HANDLE read_end = nullptr, write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, nullptr, 0))
        return;  // the streams as they are: names outside the code page may not show
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(write_end), _O_WRONLY | _O_BINARY);
    std::FILE* writer = fd < 0 ? nullptr : ::_fdopen(fd, "wb");
    if (!writer) {
        if (fd >= 0)
            ::_close(fd);
        else
            ::CloseHandle(write_end);
        ::CloseHandle(read_end);
        return;
    }
    // Every writer flushes after each message or line.
    std::setvbuf(writer, nullptr, _IOFBF, 4096);

    console_ = new Console;
    console_->console = out_console ? out : err;
    console_->read_end = read_end;
    console_->writer = writer;
    console_->pump = std::thread([c = console_] {
        std::string pending;
        char buffer[4096];
        DWORD n = 0;
        while (::ReadFile(c->read_end, buffer, sizeof buffer, &n, nullptr) && n > 0) {
            pending.append(buffer, n);
            const std::size_t whole = whole_utf8_prefix(pending);
            write_console(c->console, pending.substr(0, whole));
            pending.erase(0, whole);
        }
        write_console(c->console, pending);
    });
    if (out_console)
        io_.out = writer;
    if (err_console)
        io_.err = writer;
}

ProcessStreams::~ProcessStreams()
{
    if (!console_)
        return;
    std::fclose(console_->writer);  // the pump reads to the end, then ends
    console_->pump.join();
    ::CloseHandle(console_->read_end);
    delete console_;
}

#else

std::vector<std::string> command_line(int argc, char** argv)
{
    return std::vector<std::string>(argv + 1, argv + argc);
}

struct ProcessStreams::Console {};

ProcessStreams::ProcessStreams()
{
    // A terminal that cannot move its cursor gets the plain lines.
    const char* term = std::getenv("TERM");
    io_.terminal = ::isatty(STDOUT_FILENO) == 1 && !(term && std::strcmp(term, "dumb") == 0);
    io_.terminal_width = [] {
        winsize size{};
        return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? static_cast<int>(size.ws_col) : 0;
    };
}

ProcessStreams::~ProcessStreams() = default;

#endif

}  // namespace zarvik
