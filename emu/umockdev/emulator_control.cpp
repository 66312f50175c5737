#include "emulator_control.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "printer/control.h"

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
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof address.sun_path)
        throw Error("control socket path too long: " + socket_path);
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
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
    const std::string out = line + "\n";
    std::size_t sent = 0;
    while (sent < out.size()) {
        const ssize_t n = ::send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Error("the emulator's control socket closed while sending: " + line);
        sent += static_cast<std::size_t>(n);
    }
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
