// Sends standard output to /dev/null while it lives: the USB scan prints the
// libusb version line on standard output every time.
#pragma once

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

class QuietStdout {
public:
    QuietStdout()
    {
        std::fflush(stdout);
        saved = ::dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int saved = -1;
};
