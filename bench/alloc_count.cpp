// The replaced allocation functions.  glibc exports its own heap as
// __libc_malloc and friends, so a replacement can forward to it and memory
// from either side may be freed by the other.
#include "alloc_count.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <execinfo.h>
#include <new>
#include <unistd.h>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void __libc_free(void* pointer);
}

namespace alloc_count {

namespace {

std::atomic<std::uint64_t> malloc_calls{0};
std::atomic<std::uint64_t> new_calls{0};
std::atomic<bool> tracing{false};
thread_local bool in_trace = false;

void write_text(const char* text)
{
    const ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
}

void trace_here(const char* kind, std::size_t size)
{
    if (!tracing.load(std::memory_order_relaxed) || in_trace)
        return;
    in_trace = true;
    char head[96];
    std::snprintf(head, sizeof head, "-- %s of %zu bytes\n", kind, size);
    write_text(head);
    void* frames[32];
    const int count = ::backtrace(frames, 32);
    ::backtrace_symbols_fd(frames, count, STDERR_FILENO);
    in_trace = false;
}

void* counted_new(std::size_t size, const char* kind)
{
    if (!in_trace)
        new_calls.fetch_add(1, std::memory_order_relaxed);
    trace_here(kind, size);
    return __libc_malloc(size == 0 ? 1 : size);
}

void* counted_aligned_new(std::size_t size, std::size_t alignment, const char* kind)
{
    if (!in_trace)
        new_calls.fetch_add(1, std::memory_order_relaxed);
    trace_here(kind, size);
    void* pointer = nullptr;
    // posix_memalign is glibc's own and takes from the same heap.
    if (::posix_memalign(&pointer, alignment < sizeof(void*) ? sizeof(void*) : alignment, size == 0 ? 1 : size) != 0)
        return nullptr;
    return pointer;
}

}  // namespace

Counts now()
{
    Counts c;
    c.mallocs = malloc_calls.load(std::memory_order_relaxed);
    c.news = new_calls.load(std::memory_order_relaxed);
    return c;
}

void trace(bool on)
{
    if (on) {
        // The first backtrace loads the unwinder, which allocates: not now.
        void* frames[4];
        in_trace = true;
        ::backtrace(frames, 4);
        in_trace = false;
    }
    tracing.store(on);
}

}  // namespace alloc_count

// --- the C allocation functions ---------------------------------------------

extern "C" {

void* malloc(std::size_t size)
{
    if (!alloc_count::in_trace)
        alloc_count::malloc_calls.fetch_add(1, std::memory_order_relaxed);
    alloc_count::trace_here("malloc", size);
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size)
{
    if (!alloc_count::in_trace)
        alloc_count::malloc_calls.fetch_add(1, std::memory_order_relaxed);
    alloc_count::trace_here("calloc", size * count);
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, std::size_t size)
{
    if (!alloc_count::in_trace)
        alloc_count::malloc_calls.fetch_add(1, std::memory_order_relaxed);
    alloc_count::trace_here("realloc", size);
    return __libc_realloc(pointer, size);
}

void free(void* pointer)
{
    __libc_free(pointer);
}

}  // extern "C"

// --- the C++ allocation functions --------------------------------------------

void* operator new(std::size_t size)
{
    void* p = alloc_count::counted_new(size, "new");
    if (!p)
        throw std::bad_alloc();
    return p;
}

void* operator new[](std::size_t size)
{
    void* p = alloc_count::counted_new(size, "new[]");
    if (!p)
        throw std::bad_alloc();
    return p;
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return alloc_count::counted_new(size, "new(nothrow)");
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return alloc_count::counted_new(size, "new[](nothrow)");
}

void* operator new(std::size_t size, std::align_val_t alignment)
{
    void* p = alloc_count::counted_aligned_new(size, static_cast<std::size_t>(alignment), "new(aligned)");
    if (!p)
        throw std::bad_alloc();
    return p;
}

void* operator new[](std::size_t size, std::align_val_t alignment)
{
    void* p = alloc_count::counted_aligned_new(size, static_cast<std::size_t>(alignment), "new[](aligned)");
    if (!p)
        throw std::bad_alloc();
    return p;
}

void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return alloc_count::counted_aligned_new(size, static_cast<std::size_t>(alignment), "new(aligned, nothrow)");
}

void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return alloc_count::counted_aligned_new(size, static_cast<std::size_t>(alignment), "new[](aligned, nothrow)");
}

void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, std::size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::size_t) noexcept { __libc_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { __libc_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { __libc_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { __libc_free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { __libc_free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { __libc_free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { __libc_free(p); }
