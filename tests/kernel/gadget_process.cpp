#include "gadget_process.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "printer/control.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kerneltest {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

constexpr milliseconds start_limit{15000};
constexpr milliseconds answer_limit{5000};
constexpr milliseconds gone_limit{5000};

std::string read_text(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

}  // namespace

bool find_on_host(const std::string& serial, HostView& view)
{
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/sys/bus/usb/devices", error)) {
        const fs::path device = entry.path();
        if (!fs::exists(device / "serial") || read_text(device / "serial") != serial)
            continue;
        const std::string name = device.filename().string();
        const fs::path interface = device / (name + ":1.0");
        if (!fs::exists(interface))
            return false;  // enumerated but not configured yet
        view.sysfs_name = name;
        view.bus = std::atoi(read_text(device / "busnum").c_str());
        view.address = std::atoi(read_text(device / "devnum").c_str());
        view.endpoints.clear();
        for (const auto& item : fs::directory_iterator(interface, error)) {
            const std::string item_name = item.path().filename().string();
            if (item_name.compare(0, 3, "ep_") == 0)
                view.endpoints.push_back(static_cast<std::uint8_t>(std::strtoul(item_name.c_str() + 3, nullptr, 16)));
        }
        std::sort(view.endpoints.begin(), view.endpoints.end());
        return true;
    }
    return false;
}

GadgetProcess::GadgetProcess(const std::string& program, const std::string& printer, const std::string& serial,
                             const std::string& gadgetfs)
    : serial_(serial)
{
    int in_pipe[2];
    int out_pipe[2];
    if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> all{program, "--printer", printer + ",serial=" + emu::control::escape(serial)};
    if (!gadgetfs.empty())
        all.insert(all.end(), {"--gadgetfs", gadgetfs});
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(in_pipe[0], STDIN_FILENO);
        ::dup2(out_pipe[1], STDOUT_FILENO);
        ::execv(program.c_str(), argv.data());
        _exit(127);
    }
    ::close(in_pipe[0]);
    ::close(out_pipe[1]);
    to_child_ = in_pipe[1];
    from_child_ = out_pipe[0];

    try {
        const auto deadline = steady_clock::now() + start_limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
            const std::string line = next_line(std::max(left, milliseconds(0)));
            if (line.empty())
                throw std::runtime_error("the gadget printer did not get configured");
            if (line.compare(0, 10, "configured") == 0)
                break;
        }
        while (!find_on_host(serial_, host_)) {
            if (steady_clock::now() > deadline)
                throw std::runtime_error("the host did not configure the gadget printer");
            std::this_thread::sleep_for(milliseconds(10));
        }
    } catch (...) {
        ::close(to_child_);
        ::close(from_child_);
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        throw;
    }
}

GadgetProcess::~GadgetProcess()
{
    try {
        unplug();
    } catch (...) {
    }
    if (from_child_ >= 0)
        ::close(from_child_);
}

std::string GadgetProcess::next_line(milliseconds limit)
{
    const auto deadline = steady_clock::now() + limit;
    for (;;) {
        // Only the bytes not yet searched: an answer of a few megabytes (a
        // stored image, escaped) arrives in many reads.
        const std::size_t end = pending_.find('\n', searched_);
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            searched_ = 0;
            return line;
        }
        searched_ = pending_.size();
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0 || from_child_ < 0)
            return std::string();
        pollfd watched{from_child_, POLLIN, 0};
        if (::poll(&watched, 1, static_cast<int>(left)) <= 0)
            continue;
        char buffer[4096];
        const ssize_t got = ::read(from_child_, buffer, sizeof buffer);
        if (got <= 0) {
            ::close(from_child_);
            from_child_ = -1;
            continue;
        }
        pending_.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string GadgetProcess::exchange(const std::string& line)
{
    const std::string text = line + "\n";
    if (to_child_ < 0 || ::write(to_child_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw Error("the gadget printer takes no requests");
    for (;;) {
        std::string answer = next_line(answer_limit);
        if (answer.empty())
            throw Error("the gadget printer did not answer " + line);
        if (answer.compare(0, 2, "ok") == 0 || answer.compare(0, 5, "error") == 0)
            return answer;
        events_.push_back(answer);
    }
}

std::string GadgetProcess::next_event(milliseconds limit)
{
    if (!events_.empty()) {
        std::string event = events_.front();
        events_.erase(events_.begin());
        return event;
    }
    return next_line(limit);
}

bool GadgetProcess::wait_exit(milliseconds limit)
{
    if (pid_ <= 0)
        return true;
    const auto deadline = steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        if (steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
}

void GadgetProcess::unplug()
{
    if (to_child_ >= 0) {
        ::close(to_child_);
        to_child_ = -1;
    }
    if (pid_ > 0 && !wait_exit(gone_limit)) {
        ::kill(pid_, SIGKILL);
        wait_exit(gone_limit);
    }
    const auto deadline = steady_clock::now() + gone_limit;
    HostView view;
    const auto listed = [&] {
        return find_on_host(serial_, view) ||
               (!host_.sysfs_name.empty() && fs::exists("/sys/bus/usb/devices/" + host_.sysfs_name));
    };
    while (listed()) {
        if (steady_clock::now() > deadline)
            throw std::runtime_error("the host still lists the unplugged printer");
        std::this_thread::sleep_for(milliseconds(10));
    }
}

std::string gadget_program;

int run_guest_tests(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--gadget") == 0)
            gadget_program = argv[i + 1];
    if (gadget_program.empty()) {
        std::fprintf(stderr, "usage: %s --gadget PATH [GoogleTest options]\n", argv[0]);
        return 2;
    }
    return RUN_ALL_TESTS();
}

}  // namespace kerneltest
