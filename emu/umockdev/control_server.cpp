#include "control_server.h"

#include <cerrno>
#include <cstring>

#include <glib-unix.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unix_socket.h"

namespace emu {

struct ControlServer::Connection {
    ControlServer* server = nullptr;
    int fd = -1;
    guint source = 0;
    std::string pending;
};

ControlServer::ControlServer(Handler handler) : handler_(std::move(handler)) {}

ControlServer::~ControlServer()
{
    close();
}

bool ControlServer::open(const std::string& path, std::string* error)
{
    sockaddr_un address;
    if (!unix_address(path, &address)) {
        *error = "control socket path too long: " + path;
        return false;
    }
    // A socket left by an earlier run goes; anything else at that path stays.
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            *error = path + " exists and is no socket";
            return false;
        }
        ::unlink(path.c_str());
    }
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listen_fd_, 8) != 0) {
        *error = "control socket " + path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    listen_source_ = g_unix_fd_add(listen_fd_, G_IO_IN, on_accept, this);
    return true;
}

void ControlServer::close()
{
    for (auto& c : connections_) {
        if (c->source)
            g_source_remove(c->source);
        ::close(c->fd);
    }
    connections_.clear();
    if (listen_source_)
        g_source_remove(listen_source_);
    listen_source_ = 0;
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        listen_fd_ = -1;
        ::unlink(path_.c_str());
    }
}

void ControlServer::drop(Connection* connection)
{
    ::close(connection->fd);
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
        if (it->get() == connection) {
            connections_.erase(it);
            return;
        }
    }
}

gboolean ControlServer::on_accept(gint fd, GIOCondition, gpointer self)
{
    auto& server = *static_cast<ControlServer*>(self);
    const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return G_SOURCE_CONTINUE;
    auto c = std::make_unique<Connection>();
    c->server = &server;
    c->fd = client;
    c->source = g_unix_fd_add(client, G_IO_IN, on_input, c.get());
    server.connections_.push_back(std::move(c));
    return G_SOURCE_CONTINUE;
}

gboolean ControlServer::on_input(gint fd, GIOCondition, gpointer connection)
{
    auto* c = static_cast<Connection*>(connection);
    char chunk[4096];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR)
        return G_SOURCE_CONTINUE;
    if (n > 0) {
        c->pending.append(chunk, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = c->pending.find('\n')) != std::string::npos) {
            std::string line = c->pending.substr(0, end);
            c->pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!send_all(fd, c->server->handler_(line) + "\n"))
                break;
        }
        if (end == std::string::npos)
            return G_SOURCE_CONTINUE;
    }
    c->source = 0;
    c->server->drop(c);
    return G_SOURCE_REMOVE;
}

}  // namespace emu
