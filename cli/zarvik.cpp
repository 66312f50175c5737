#include "zarvik.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>

#include <CLI/CLI.hpp>

#include "commands/commands.h"
#include "console.h"
#include "update/local_path.h"
#include "update/target.h"
#include "zarvik/version.h"

#ifdef _WIN32
#include <windows.h>

#include "service_hold.h"
#else
#include <climits>
#include <csignal>
#include <unistd.h>
#endif

namespace zarvik {

namespace {

namespace fs = std::filesystem;

// One command of the command line: its sub-command, as its file declares
// it, and how it runs once the command line is read.
struct Command {
    CLI::App* app = nullptr;
    std::function<bool()> json;  // --json was given
    std::function<int(const Report&)> run;
};

// The command that `define` declares on `app`, with options of its own.
template <class Options>
Command declare(CLI::App& app, CLI::App* (*define)(CLI::App&, Options&), int (*run)(const Report&, const Options&))
{
    const auto options = std::make_shared<Options>();
    return Command{define(app, *options), [options] { return options->json; },
                   [options, run](const Report& report) { return run(report, *options); }};
}

// "list, plan and update".
std::string names_of(const std::vector<Command>& commands)
{
    std::string text;
    for (std::size_t i = 0; i < commands.size(); ++i)
        text += (i == 0 ? "" : i + 1 == commands.size() ? " and " : ", ") + commands[i].app->get_name();
    return text;
}

// The command `word` was most likely meant as, or nullptr.
const char* nearest_command(const std::string& word, const std::vector<Command>& commands)
{
    // Edit distance, small words only.
    const auto distance = [](const std::string& a, const std::string& b) {
        std::vector<std::size_t> row(b.size() + 1);
        for (std::size_t j = 0; j <= b.size(); ++j)
            row[j] = j;
        for (std::size_t i = 1; i <= a.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= b.size(); ++j) {
                const std::size_t above = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
                diagonal = above;
            }
        }
        return row[b.size()];
    };
    const char* best = nullptr;
    std::size_t best_distance = 3;  // at most two edits away
    for (const Command& command : commands) {
        const std::size_t d = distance(word, command.app->get_name());
        if (d < best_distance) {
            best = command.app->get_name().c_str();
            best_distance = d;
        }
    }
    return best;
}

// The command line as the system's own shell would take it back, for the
// history: on Windows by the rules programs split their command line with
// (double quotes, a backslash doubled only before a quote), elsewhere with
// single quotes.
std::string command_text(const std::vector<std::string>& args)
{
    std::string text = "zarvik";
    for (const std::string& a : args) {
#ifdef _WIN32
        const bool plain = !a.empty() && a.find_first_of(" \t\n\v\"") == std::string::npos;
#else
        const bool plain = !a.empty() && a.find_first_of(" \t\n'\"\\$`*?;&|<>()#~") == std::string::npos;
#endif
        if (plain) {
            text += " " + a;
            continue;
        }
#ifdef _WIN32
        text += " \"";
        std::size_t backslashes = 0;
        for (char c : a) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            // Backslashes before a quote are doubled, and the quote escaped.
            text.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
            backslashes = 0;
            text += c;
        }
        text.append(2 * backslashes, '\\');  // before the closing quote
        text += "\"";
#else
        text += " '";
        for (char c : a)
            text += c == '\'' ? std::string("'\\''") : std::string(1, c);
        text += "'";
#endif
    }
    return text;
}

}  // namespace

int run(const std::vector<std::string>& args, const Io& io)
{
#ifndef _WIN32
    // A reader that goes away (zarvik update ... | head -1) must not end the
    // program while it holds a printer: its writes fail instead, and the
    // display stops writing while the update goes on.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // Every word for the user goes through it, and it has written them all
    // when run returns.
    Output output(io);
    CLI::App app{std::string("zarvik ") + ZARVIK_VERSION_STRING + ": updates the firmware of " +
                     update::target_product() + "s over USB, one or many at once",
                 "zarvik"};
    app.set_version_flag("--version", std::string("zarvik ") + ZARVIK_VERSION_STRING);
    app.require_subcommand(1, 1);
    app.footer(exit_statuses);

    // The commands, in the order --help lists them: a new command is its
    // file in commands/ and its line here.
    const std::vector<Command> commands = {
        declare(app, define_list, run_list),     declare(app, define_plan, run_plan),
        declare(app, define_update, run_update), declare(app, define_history, run_history),
        declare(app, define_watch, run_watch),
    };

    // With --json anywhere, even a command line that cannot be read is
    // answered with JSON on standard output.
    const Report usage{io, output, std::find(args.begin(), args.end(), "--json") != args.end(), command_text(args)};
    const auto first_word =
        std::find_if(args.begin(), args.end(), [](const std::string& a) { return a.empty() || a[0] != '-'; });
    if (first_word != args.end() && std::none_of(commands.begin(), commands.end(),
                                                 [&](const Command& c) { return c.app->get_name() == *first_word; })) {
        std::string text = "zarvik: unknown command '" + printable(*first_word) + "'";
        if (const char* guess = nearest_command(*first_word, commands))
            text += " (did you mean '" + std::string(guess) + "'?)";
        return usage.fail(exit_usage, {text + "; the commands are " + names_of(commands) + " (zarvik --help)"},
                          {{"message", "unknown command '" + *first_word + "'"}});
    }

    std::ostringstream out, err;
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e, out, err);
        output.out(out.str());
        if (code == 0)
            return exit_updated;  // --help, --version
        // The words of the command line in it may be any bytes (a file name from a glob).
        std::vector<std::string> text;
        std::istringstream lines(err.str());
        for (std::string line; std::getline(lines, line);)
            text.push_back(printable(line));
        return usage.fail(exit_usage, text, {{"message", e.what()}});
    }
    const Command& chosen =
        *std::find_if(commands.begin(), commands.end(), [](const Command& c) { return c.app->parsed(); });
    // Whatever a command throws is said here, once it has given back every
    // printer and started the background service again on its way out.
    const Report report{io, output, chosen.json(), command_text(args)};
    try {
        return chosen.run(report);
    } catch (const std::exception& e) {
        return report.fail(exit_error, {"zarvik: unexpected error: " + printable(e.what())},
                           {{"message", std::string("unexpected error: ") + e.what()}});
    } catch (...) {
        return report.fail(exit_error, {"zarvik: unexpected error"}, {{"message", "unexpected error"}});
    }
}

std::string program_dir()
{
#ifdef _WIN32
    wchar_t path[MAX_PATH * 4];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(sizeof path / sizeof path[0]));
    if (n == 0)
        return ".";
    return update::utf8_of(fs::path(std::wstring(path, n)).parent_path());
#else
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
    if (n <= 0)
        return ".";
    return update::utf8_of(fs::path(std::string(path, static_cast<std::size_t>(n))).parent_path());
#endif
}

int run_program(int argc, char** argv, [[maybe_unused]] const std::string& service_name)
{
    const ProcessStreams streams;
    Io io = streams.io();
    io.program_dir = program_dir();
#ifdef _WIN32
    std::unique_ptr<ServiceManager> service;
    if (!service_name.empty()) {
        service = windows_service(service_name);
        io.service = service.get();
    }
#endif
    return run(command_line(argc, argv), io);
}

}  // namespace zarvik
