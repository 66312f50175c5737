// The emulator's control socket: a Unix socket served on the GLib main loop,
// one request line in, one answer line out (printer/control.h).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <glib.h>

namespace emu {

class ControlServer {
public:
    using Handler = std::function<std::string(const std::string& request)>;

    explicit ControlServer(Handler handler);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Listens at `path` (a socket an earlier run left there goes first).
    bool open(const std::string& path, std::string* error);
    // Drops every connection and removes the socket.
    void close();

private:
    struct Connection;

    static gboolean on_accept(gint fd, GIOCondition condition, gpointer self);
    static gboolean on_input(gint fd, GIOCondition condition, gpointer connection);
    void drop(Connection* connection);

    Handler handler_;
    std::string path_;
    int listen_fd_ = -1;
    guint listen_source_ = 0;
    std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace emu
