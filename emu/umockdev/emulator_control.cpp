#include "emulator_control.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "printer/control.h"
#include "unix_socket.h"

namespace emu {

namespace {

std::string socket_from_environment()
{
    const char* path = std::getenv(control::socket_variable);
    if (!path || !*path)
        throw ControlClient::Error(std::string(control::socket_variable) +
                                   " is not set: run this under zarvik-printer-emulator --control");
    return path;
}

}  // namespace

EmulatorControl::EmulatorControl() : EmulatorControl(socket_from_environment()) {}

EmulatorControl::EmulatorControl(const std::string& socket_path)
{
    sockaddr_un address;
    if (!unix_address(socket_path, &address))
        throw Error("control socket path too long: " + socket_path);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        throw Error("cannot reach the emulator at " + socket_path + ": " + reason);
    }
}

EmulatorControl::~EmulatorControl()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool EmulatorControl::available()
{
    const char* path = std::getenv(control::socket_variable);
    return path && *path;
}

std::string EmulatorControl::exchange(const std::string& line)
{
    if (!send_all(fd_, line + "\n"))
        throw Error("the emulator's control socket closed while sending: " + line);
    std::size_t end;
    while ((end = buffered_.find('\n')) == std::string::npos) {
        char chunk[65536];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Error("the emulator's control socket closed before answering: " + line);
        buffered_.append(chunk, static_cast<std::size_t>(n));
    }
    std::string answer = buffered_.substr(0, end);
    buffered_.erase(0, end + 1);
    return answer;
}

}  // namespace emu
