// Counts the heap allocations of the whole program.  The benchmark program
// replaces malloc, calloc, realloc and free and every global operator new and
// delete; each forwards to the C library's own heap and counts.
#pragma once

#include <cstdint>

namespace alloc_count {

struct Counts {
    std::uint64_t mallocs = 0;  // malloc, calloc, realloc (made outside operator new)
    std::uint64_t news = 0;     // every form of operator new
    std::uint64_t total() const { return mallocs + news; }
};

Counts now();

inline Counts since(const Counts& before)
{
    const Counts after = now();
    Counts d;
    d.mallocs = after.mallocs - before.mallocs;
    d.news = after.news - before.news;
    return d;
}

// While on, every allocation writes its call stack to standard error (one
// frame a line, mangled names: pipe through c++filt).
void trace(bool on);

}  // namespace alloc_count
