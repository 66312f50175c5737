// zarvik-printer-emulator: runs a program on the real libusb-1.0 against
// emulated printers (see printer_emulator.h), and exits with its status.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <glib-unix.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <umockdev.h>

#include "control_protocol.h"
#include "printer_emulator.h"

namespace {

constexpr const char* program_name = "zarvik-printer-emulator";
constexpr const char* preload_library = "libumockdev-preload.so.0";
constexpr const char* reexec_marker = "ZARVIK_EMULATOR_UNDER_PRELOAD";
constexpr guint kill_grace_ms = 3000;

void usage(FILE* out)
{
    std::fprintf(out,
                 "usage: %s [--printer VID:PID[,bus=B,addr=A,serial=S,manufacturer=M,product=P]]...\n"
                 "          [--control PATH|auto] [--store DIR] [--verbose] -- PROGRAM ARGS...\n"
                 "\n"
                 "Runs PROGRAM on an emulated USB bus that carries the given printers (ids in\n"
                 "hexadecimal; bus 1 and the next free address from 5 unless given; strings of\n"
                 "the printer table's row and serial SN<bus>-<address> unless given) and exits\n"
                 "with PROGRAM's status, or 128 + the signal that ended it.\n"
                 "\n"
                 "  --control PATH  a Unix socket for one-line requests (see control_protocol.h);\n"
                 "                  'auto' makes one in the emulator's scratch folder.  PROGRAM\n"
                 "                  finds it in $%s.\n"
                 "  --store DIR     when PROGRAM has ended, writes every printer's stored files\n"
                 "                  and summary.txt into DIR.\n"
                 "  --verbose       reports plugging and unserved ioctls on standard error.\n",
                 program_name, emu::control::socket_variable);
}

struct Options {
    std::vector<emu::PrinterOptions> printers;
    std::string control;
    std::string store;
    bool verbose = false;
    std::vector<std::string> command;
};

bool parse_arguments(int argc, char** argv, Options* options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s: %s needs a value\n", program_name, arg.c_str());
                return false;
            }
            *out = argv[++i];
            return true;
        };
        if (arg == "--") {
            for (++i; i < argc; ++i)
                options->command.push_back(argv[i]);
            break;
        }
        if (arg == "--printer") {
            std::string text, error;
            emu::PrinterOptions printer;
            if (!value(&text))
                return false;
            if (!emu::parse_printer_options(text, &printer, &error)) {
                std::fprintf(stderr, "%s: --printer %s: %s\n", program_name, text.c_str(), error.c_str());
                return false;
            }
            options->printers.push_back(printer);
        } else if (arg == "--control") {
            if (!value(&options->control))
                return false;
        } else if (arg == "--store") {
            if (!value(&options->store))
                return false;
        } else if (arg == "--verbose") {
            options->verbose = true;
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            std::exit(0);
        } else {
            std::fprintf(stderr, "%s: unknown option %s\n", program_name, arg.c_str());
            return false;
        }
    }
    if (options->command.empty()) {
        std::fprintf(stderr, "%s: no program to run (put it after --)\n", program_name);
        return false;
    }
    return true;
}

// The testbed only works when this process itself runs under umockdev's
// preload: uevents are sent through it.  Without it, start again with it.
void run_under_preload(char** argv)
{
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload && std::strstr(preload, "libumockdev-preload.so")) {
        unsetenv(reexec_marker);
        return;
    }
    if (std::getenv(reexec_marker)) {
        std::fprintf(stderr, "%s: %s did not load\n", program_name, preload_library);
        std::exit(1);
    }
    std::string libraries = preload_library;
    if (preload && *preload)
        libraries += std::string(" ") + preload;
    setenv("LD_PRELOAD", libraries.c_str(), 1);
    unsetenv("UMOCKDEV_DIR");
    // A sanitizer runtime would refuse to start behind the preload.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asan_options = asan && *asan ? std::string(asan) + ":" : std::string();
    asan_options += "verify_asan_link_order=0";
    setenv("ASAN_OPTIONS", asan_options.c_str(), 1);
    setenv(reexec_marker, "1", 1);
    execv("/proc/self/exe", argv);
    std::fprintf(stderr, "%s: cannot start again under the preload: %s\n", program_name, std::strerror(errno));
    std::exit(1);
}

// --- the control socket, served on the main loop ---

struct Connection {
    int fd = -1;
    guint source = 0;
    std::string pending;
};

struct Runner {
    emu::PrinterEmulator* emulator = nullptr;
    GMainLoop* loop = nullptr;
    GPid child = 0;
    bool child_running = false;
    int child_status = 0;
    int listen_fd = -1;
    guint listen_source = 0;
    std::vector<std::unique_ptr<Connection>> connections;
    guint kill_timer = 0;
};

void drop_connection(Runner& runner, Connection* c)
{
    ::close(c->fd);
    for (auto it = runner.connections.begin(); it != runner.connections.end(); ++it) {
        if (it->get() == c) {
            runner.connections.erase(it);
            break;
        }
    }
}

bool send_all(int fd, const std::string& text)
{
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

gboolean on_connection(gint fd, GIOCondition, gpointer data)
{
    auto* pair = static_cast<std::pair<Runner*, Connection*>*>(data);
    Runner& runner = *pair->first;
    Connection* c = pair->second;
    char chunk[4096];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
        if (n < 0 && errno == EINTR)
            return G_SOURCE_CONTINUE;
        c->source = 0;
        drop_connection(runner, c);
        return G_SOURCE_REMOVE;
    }
    c->pending.append(chunk, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = c->pending.find('\n')) != std::string::npos) {
        std::string line = c->pending.substr(0, end);
        c->pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string answer = runner.emulator->handle_request(line) + "\n";
        if (!send_all(fd, answer)) {
            c->source = 0;
            drop_connection(runner, c);
            return G_SOURCE_REMOVE;
        }
    }
    return G_SOURCE_CONTINUE;
}

gboolean on_accept(gint fd, GIOCondition, gpointer data)
{
    Runner& runner = *static_cast<Runner*>(data);
    const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return G_SOURCE_CONTINUE;
    auto c = std::make_unique<Connection>();
    c->fd = client;
    auto* pair = new std::pair<Runner*, Connection*>(&runner, c.get());
    c->source = g_unix_fd_add_full(G_PRIORITY_DEFAULT, client, G_IO_IN, on_connection, pair,
                                   [](gpointer p) { delete static_cast<std::pair<Runner*, Connection*>*>(p); });
    runner.connections.push_back(std::move(c));
    return G_SOURCE_CONTINUE;
}

bool open_control(Runner& runner, const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "%s: control socket path too long: %s\n", program_name, path.c_str());
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // A socket left by an earlier run goes; anything else at that path stays.
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            std::fprintf(stderr, "%s: %s exists and is no socket\n", program_name, path.c_str());
            return false;
        }
        ::unlink(path.c_str());
    }
    runner.listen_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (runner.listen_fd < 0 || ::bind(runner.listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(runner.listen_fd, 8) != 0) {
        std::fprintf(stderr, "%s: control socket %s: %s\n", program_name, path.c_str(), std::strerror(errno));
        return false;
    }
    runner.listen_source = g_unix_fd_add(runner.listen_fd, G_IO_IN, on_accept, &runner);
    return true;
}

void close_control(Runner& runner, const std::string& path)
{
    for (auto& c : runner.connections) {
        if (c->source)
            g_source_remove(c->source);
        ::close(c->fd);
    }
    runner.connections.clear();
    if (runner.listen_source)
        g_source_remove(runner.listen_source);
    if (runner.listen_fd >= 0) {
        ::close(runner.listen_fd);
        runner.listen_fd = -1;
        ::unlink(path.c_str());
    }
}

// --- the child ---

void on_child_exit(GPid, gint status, gpointer data)
{
    Runner& runner = *static_cast<Runner*>(data);
    runner.child_running = false;
    runner.child_status = status;
    g_spawn_close_pid(runner.child);
    g_main_loop_quit(runner.loop);
}

// The child leads a process group of its own, so that whatever it starts
// can be ended with it.
void child_setup(gpointer)
{
    ::setpgid(0, 0);
}

gboolean on_kill_timer(gpointer data)
{
    Runner& runner = *static_cast<Runner*>(data);
    runner.kill_timer = 0;
    if (runner.child_running)
        ::kill(-runner.child, SIGKILL);
    return G_SOURCE_REMOVE;
}

// Passes the signal on to the child's group; after a grace period the group is killed.
template <int Signal>
gboolean on_signal(gpointer data)
{
    Runner& runner = *static_cast<Runner*>(data);
    if (runner.child_running) {
        ::kill(-runner.child, Signal);
        if (!runner.kill_timer)
            runner.kill_timer = g_timeout_add(kill_grace_ms, on_kill_timer, &runner);
    } else {
        g_main_loop_quit(runner.loop);
    }
    return G_SOURCE_CONTINUE;
}

int exit_code_of(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse_arguments(argc, argv, &options)) {
        usage(stderr);
        return 2;
    }
    run_under_preload(argv);

    UMockdevTestbed* testbed = umockdev_testbed_new();
    gchar* root_text = umockdev_testbed_get_root_dir(testbed);
    const std::string root = root_text;
    g_free(root_text);

    int code = 1;
    Runner runner;
    runner.loop = g_main_loop_new(nullptr, FALSE);
    const std::string control_path = options.control == "auto" ? root + "/control.sock" : options.control;
    {
        emu::PrinterEmulator emulator(testbed, options.verbose);
        runner.emulator = &emulator;
        bool ready = true;
        for (const emu::PrinterOptions& p : options.printers) {
            std::string error;
            if (!emulator.add_printer(p, &error)) {
                std::fprintf(stderr, "%s: printer %04x:%04x: %s\n", program_name, p.vendor_id, p.product_id,
                             error.c_str());
                ready = false;
            }
        }
        if (ready && !control_path.empty()) {
            ready = open_control(runner, control_path);
            if (ready)
                setenv(emu::control::socket_variable, control_path.c_str(), 1);
        }

        guint signal_sources[3] = {};
        if (ready) {
            signal_sources[0] = g_unix_signal_add(SIGINT, on_signal<SIGINT>, &runner);
            signal_sources[1] = g_unix_signal_add(SIGTERM, on_signal<SIGTERM>, &runner);
            signal_sources[2] = g_unix_signal_add(SIGHUP, on_signal<SIGHUP>, &runner);

            std::vector<gchar*> child_argv;
            for (std::string& word : options.command)
                child_argv.push_back(&word[0]);
            child_argv.push_back(nullptr);
            GError* error = nullptr;
            if (g_spawn_async(nullptr, child_argv.data(), nullptr,
                              static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                                       G_SPAWN_CHILD_INHERITS_STDIN),
                              child_setup, nullptr, &runner.child, &error)) {
                runner.child_running = true;
                ::setpgid(runner.child, runner.child);  // as the child does itself; whoever is first
                g_child_watch_add(runner.child, on_child_exit, &runner);
                g_main_loop_run(runner.loop);
                code = runner.child_running ? 1 : exit_code_of(runner.child_status);
            } else {
                std::fprintf(stderr, "%s: cannot run %s: %s\n", program_name, options.command[0].c_str(),
                             error->message);
                g_error_free(error);
                code = 127;
            }
        }
        if (runner.child_running) {
            ::kill(-runner.child, SIGKILL);
            int status = 0;
            ::waitpid(runner.child, &status, 0);
        }
        // Nothing the child started outlives the run.
        if (runner.child)
            ::kill(-runner.child, SIGKILL);
        for (guint source : signal_sources)
            if (source)
                g_source_remove(source);
        if (runner.kill_timer)
            g_source_remove(runner.kill_timer);
        close_control(runner, control_path);

        if (!options.store.empty()) {
            std::string error;
            if (!emulator.write_store(options.store, &error)) {
                std::fprintf(stderr, "%s: --store: %s\n", program_name, error.c_str());
                if (code == 0)
                    code = 1;
            }
        }
        runner.emulator = nullptr;
    }
    g_main_loop_unref(runner.loop);
    g_object_unref(testbed);
    // The testbed takes its folder with it; make sure nothing stays.
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return code;
}
