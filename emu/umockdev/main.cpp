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
#include <sys/wait.h>
#include <unistd.h>

#include <umockdev.h>

#include "control_server.h"
#include "options.h"
#include "printer/control.h"
#include "printer_emulator.h"

namespace {

constexpr const char* program_name = "zarvik-printer-emulator";
constexpr const char* preload_library = "libumockdev-preload.so.0";
constexpr const char* reexec_marker = "ZARVIK_EMULATOR_UNDER_PRELOAD";
constexpr guint kill_grace_ms = 3000;

// The open guard beside this program (open_guard.c), or "" when it is missing.
std::string open_guard_path()
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path guard = self.parent_path() / ZARVIK_OPEN_GUARD_NAME;
    return !error && std::filesystem::exists(guard, error) ? guard.string() : std::string();
}

// The testbed only works when this process itself runs under umockdev's
// preload: uevents are sent through it.  Without it, start again with it,
// behind the open guard, which makes the preload safe for programs that
// open printers from several threads.
void run_under_preload(char** argv)
{
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload && std::strstr(preload, "libumockdev-preload.so") && std::strstr(preload, ZARVIK_OPEN_GUARD_NAME)) {
        unsetenv(reexec_marker);
        return;
    }
    if (std::getenv(reexec_marker)) {
        std::fprintf(stderr, "%s: %s or %s did not load\n", program_name, ZARVIK_OPEN_GUARD_NAME, preload_library);
        std::exit(1);
    }
    const std::string guard = open_guard_path();
    if (guard.empty()) {
        std::fprintf(stderr, "%s: %s is not beside the program\n", program_name, ZARVIK_OPEN_GUARD_NAME);
        std::exit(1);
    }
    std::string libraries = guard + " " + preload_library;
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

struct Runner {
    GMainLoop* loop = nullptr;
    GPid child = 0;
    bool child_running = false;
    int child_status = 0;
    guint kill_timer = 0;
};

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
    emu::Options options;
    if (!emu::parse_options(argc, argv, &options)) {
        emu::print_usage(stderr, false);
        return 2;
    }
    if (options.help) {
        emu::print_usage(stdout, true);
        return 0;
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
        emu::ControlServer control([&emulator](const std::string& line) { return emulator.handle_request(line); });
        bool ready = true;
        for (const emu::PrinterRequest& p : options.printers) {
            int id = 0;
            const std::string error = emulator.plug_new(p, &id);
            if (!id) {
                std::fprintf(stderr, "%s: printer %04x:%04x: %s\n", program_name, p.vendor_id, p.product_id,
                             error.c_str());
                ready = false;
            }
        }
        if (ready && !control_path.empty()) {
            std::string error;
            ready = control.open(control_path, &error);
            if (ready)
                setenv(emu::control::socket_variable, control_path.c_str(), 1);
            else
                std::fprintf(stderr, "%s: %s\n", program_name, error.c_str());
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
        control.close();

        if (!options.store.empty()) {
            std::string error;
            if (!emulator.write_store(options.store, &error)) {
                std::fprintf(stderr, "%s: --store: %s\n", program_name, error.c_str());
                if (code == 0)
                    code = 1;
            }
        }
    }
    g_main_loop_unref(runner.loop);
    g_object_unref(testbed);
    // The testbed takes its folder with it; make sure nothing stays.
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return code;
}
