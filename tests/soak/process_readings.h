// What a process holds, read from /proc: open file descriptors, threads and
// resident memory.  The soak runs read them now and then and compare an early
// reading with a late one: a leak shows as growth between the two.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace soak {

struct Reading {
    std::vector<std::string> descriptors;  // "fd -> target", one per open descriptor
    int threads = 0;
    std::uint64_t rss_kib = 0;       // resident set now
    std::uint64_t rss_peak_kib = 0;  // its high-water mark

    std::size_t fds() const { return descriptors.size(); }
};

// The process `pid` (0: this process) as it is now.  Throws std::runtime_error
// when /proc cannot be read.
Reading read_process(pid_t pid = 0);

// How much a late reading may exceed an early one.
struct Margins {
    std::size_t fds = 0;
    int threads = 0;
    std::uint64_t rss_kib = 0;
};

// What grew beyond its margin from `early` to `late`, one finding a line
// (the descriptors that are new are named); empty when nothing did.
std::vector<std::string> growth(const Reading& early, const Reading& late, const Margins& margins);

// "fds 9, threads 1, rss 5124 KiB (peak 5200 KiB)"
std::string describe(const Reading& reading);

// The numbers of a list like "1000,10000" (where the soak runs take readings).
std::set<long> numbers(const std::string& list);

}  // namespace soak
