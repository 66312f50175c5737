// startup-bench: starts a Qt program again and again, offscreen, with the
// expose probe preloaded, and reports how long each start took, from just
// before the process is spawned to its window exposed and painted.
//
//   startup-bench [--runs=N] [--summary=FILE] [--label=NAME] PROBE PROGRAM [ARGS...]
//
// One run before the measured ones is not counted (it fills the file cache).
// The program's standard output goes to /dev/null, its standard error to
// PROGRAM.startup.log beside it.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int probe_fd = 3;
constexpr int run_timeout_ms = 30000;

std::int64_t monotonic_ns()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

struct Run {
    double loaded_ms = 0;       // the dynamic loader done
    double application_ms = 0;  // the application object set up
    double exposed_ms = 0;      // the window exposed
    double painted_ms = 0;      // that expose handled, the window painted
};

bool run_once(const std::string& probe, const std::vector<std::string>& command, const std::string& log_path,
              Run* run)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;

    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0 && std::strncmp(*e, "ZARVIK_PROBE_FD=", 16) != 0 &&
            std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0)
            env_text.emplace_back(*e);
    }
    env_text.push_back("LD_PRELOAD=" + probe);
    env_text.push_back("ZARVIK_PROBE_FD=" + std::to_string(probe_fd));
    env_text.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> env;
    for (std::string& s : env_text)
        env.push_back(&s[0]);
    env.push_back(nullptr);
    std::vector<std::string> arg_text = command;
    std::vector<char*> args;
    for (std::string& s : arg_text)
        args.push_back(&s[0]);
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], probe_fd);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);

    pid_t pid = 0;
    const std::int64_t start = monotonic_ns();
    const int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        std::fprintf(stderr, "cannot start %s: %s\n", args[0], std::strerror(spawned));
        return false;
    }

    std::string text;
    char buffer[256];
    pollfd waiting{fds[0], POLLIN, 0};
    bool timed_out = false;
    for (;;) {
        const int ready = ::poll(&waiting, 1, run_timeout_ms);
        if (ready == 0) {
            timed_out = true;
            break;
        }
        if (ready < 0 && errno == EINTR)
            continue;
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (timed_out)
        ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (timed_out) {
        std::fprintf(stderr, "%s: no window within %d ms\n", args[0], run_timeout_ms);
        return false;
    }

    long long loaded = 0, application = 0, exposed = 0, painted = 0;
    if (std::sscanf(text.c_str(), "%lld %lld %lld %lld", &loaded, &application, &exposed, &painted) != 4) {
        std::fprintf(stderr, "%s: the probe reported nothing (exit status %d; see %s)\n", args[0], status,
                     log_path.c_str());
        return false;
    }
    run->loaded_ms = static_cast<double>(loaded - start) / 1e6;
    run->application_ms = static_cast<double>(application - start) / 1e6;
    run->exposed_ms = static_cast<double>(exposed - start) / 1e6;
    run->painted_ms = static_cast<double>(painted - start) / 1e6;
    return true;
}

double quantile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    const double at = q * static_cast<double>(v.size() - 1);
    const auto low = static_cast<std::size_t>(at);
    const std::size_t high = std::min(low + 1, v.size() - 1);
    return v[low] + (v[high] - v[low]) * (at - static_cast<double>(low));
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 15;
    const char* summary = nullptr;
    std::string label = "startup";
    int i = 1;
    for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
        if (std::strncmp(argv[i], "--runs=", 7) == 0)
            runs = std::atoi(argv[i] + 7);
        else if (std::strncmp(argv[i], "--summary=", 10) == 0)
            summary = argv[i] + 10;
        else if (std::strncmp(argv[i], "--label=", 8) == 0)
            label = argv[i] + 8;
    }
    if (argc - i < 2 || runs < 1) {
        std::fprintf(stderr, "usage: %s [--runs=N] [--summary=FILE] [--label=NAME] PROBE PROGRAM [ARGS...]\n",
                     argv[0]);
        return 2;
    }
    const std::string probe = argv[i];
    const std::vector<std::string> command(argv + i + 1, argv + argc);
    const std::string log_path = command[0] + ".startup.log";

    Run run;
    if (!run_once(probe, command, log_path, &run))
        return 1;
    std::vector<Run> measured;
    for (int r = 0; r < runs; ++r) {
        if (!run_once(probe, command, log_path, &run))
            return 1;
        measured.push_back(run);
    }

    struct Phase {
        const char* name;
        double Run::*field;
    };
    const Phase phases[] = {{"loaded", &Run::loaded_ms},
                            {"application", &Run::application_ms},
                            {"exposed", &Run::exposed_ms},
                            {"painted", &Run::painted_ms}};
    std::printf("%s: %d runs of %s, ms from spawn (median [min, max], middle half)\n", label.c_str(), runs,
                command[0].c_str());
    std::FILE* out = summary ? std::fopen(summary, "a") : nullptr;
    for (const Phase& phase : phases) {
        std::vector<double> v;
        for (const Run& m : measured)
            v.push_back(m.*phase.field);
        const double median = quantile(v, 0.5), low = quantile(v, 0.0), high = quantile(v, 1.0);
        const double q1 = quantile(v, 0.25), q3 = quantile(v, 0.75);
        std::printf("  %-12s %8.2f  [%.2f, %.2f]  %.2f .. %.2f\n", phase.name, median, low, high, q1, q3);
        if (out)
            std::fprintf(out, "%s_%s_ms_median=%.4g\n%s_%s_ms_min=%.4g\n%s_%s_ms_max=%.4g\n%s_%s_ms_q1=%.4g\n"
                              "%s_%s_ms_q3=%.4g\n",
                         label.c_str(), phase.name, median, label.c_str(), phase.name, low, label.c_str(),
                         phase.name, high, label.c_str(), phase.name, q1, label.c_str(), phase.name, q3);
    }
    if (out) {
        std::fprintf(out, "%s_runs=%d\n", label.c_str(), runs);
        std::fclose(out);
    }
    return 0;
}
