// What every benchmark stands on: repeated measurements and their spread,
// the clocks, a scratch folder, a firmware file, and the report's lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// The median of repeated measurements, with the smallest and the largest.
struct Spread {
    double median = 0, min = 0, max = 0;
};
Spread spread(std::vector<double> values);

// Seconds on the monotonic clock, and CPU seconds of this thread and of this
// whole process.  CPU time leaves out the time spent waiting while other
// programs run, which on a shared machine is most of the noise.
double wall_seconds();
double thread_cpu_seconds();
double process_cpu_seconds();

// The CPU time (user and system) in a /proc/.../stat file, in seconds
// (counted in clock ticks); -1 when it cannot be read.
double stat_cpu_seconds(const std::string& path);

// A new empty folder under the system's temporary folder, removed with
// everything in it when the object goes.
class ScratchFolder {
public:
    explicit ScratchFolder(const char* tag);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes `size` pseudo-random bytes to `path`; throws when it cannot.
void write_firmware(const std::string& path, std::uint64_t size);

// "MEDIAN [MIN, MAX]", each number in `format` (printf).
std::string format(const Spread& s, const char* format);
// One line of the report: the measure and its figure, in two columns.
void report(const std::string& measure, const std::string& figure);
// A heading above the lines of one benchmark.
void heading(const std::string& text);

// The value of "--NAME=N" among the arguments, or `fallback`.  Throws on a
// value that is not a positive number and on an argument other than
// "--NAME=..." for the names given.
int count_option(int argc, char** argv, const char* name, int fallback);
// The value of "--NAME=TEXT" among the arguments, or `fallback`; throws when
// it is none of `allowed`.
std::string text_option(int argc, char** argv, const char* name, const std::vector<std::string>& allowed,
                        const std::string& fallback);
void refuse_other_options(int argc, char** argv, const std::vector<std::string>& names);

}  // namespace bench
