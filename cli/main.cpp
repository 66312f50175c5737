// zarvik: see zarvik.h.
#include <cstdio>
#include <string>
#include <vector>

#include "zarvik.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

std::vector<std::string> arguments(int argc, char** argv)
{
#ifdef _WIN32
    // The wide command line, so that folder names outside the code page arrive whole.
    (void)argc;
    (void)argv;
    std::vector<std::string> out;
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    for (int i = 1; wide && i < count; ++i) {
        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(bytes > 0 ? static_cast<std::size_t>(bytes - 1) : 0, '\0');
        if (bytes > 1)
            ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &text[0], bytes, nullptr, nullptr);
        out.push_back(text);
    }
    ::LocalFree(wide);
    return out;
#else
    return std::vector<std::string>(argv + 1, argv + argc);
#endif
}

bool output_is_terminal()
{
#ifdef _WIN32
    if (!_isatty(_fileno(stdout)))
        return false;
    // Redrawing in place needs the console to take terminal sequences.
    HANDLE console = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return ::GetConsoleMode(console, &mode) && ::SetConsoleMode(console, mode | 0x0004 /* VT processing */);
#else
    // A terminal that cannot move its cursor gets the plain lines.
    const char* term = std::getenv("TERM");
    return ::isatty(STDOUT_FILENO) == 1 && !(term && std::strcmp(term, "dumb") == 0);
#endif
}

// The width of the terminal standard output goes to, in columns; 0 when unknown.
int terminal_width()
{
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
#else
    winsize size{};
    return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
#endif
}

}  // namespace

int main(int argc, char** argv)
{
#ifdef _WIN32
    ::SetConsoleOutputCP(CP_UTF8);
#endif
    zarvik::Io io;
    io.terminal = output_is_terminal();
    io.terminal_width = terminal_width;
    io.program_dir = zarvik::program_dir();
    return zarvik::run(arguments(argc, argv), io);
}
