/* Stands in for umockdev's preload behind the open guard, and tells whether
 * the guard keeps its promise: no two changes of the descriptor table (open,
 * close and their kin) at the same time, and no ioctl on a device node while
 * one runs.  Each call lingers a little inside, so that calls the guard lets
 * through together do overlap.  A device node (a path under /dev/bus/usb/,
 * which this machine need not have) is opened as /dev/null. */
#define _GNU_SOURCE
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static int changing, reading, overlaps;

int probe_overlaps(void)
{
    return __atomic_load_n(&overlaps, __ATOMIC_SEQ_CST);
}

static void linger(void)
{
    usleep(300);
}

static void begin_change(void)
{
    if (__atomic_fetch_add(&changing, 1, __ATOMIC_SEQ_CST) != 0 || __atomic_load_n(&reading, __ATOMIC_SEQ_CST))
        __atomic_fetch_add(&overlaps, 1, __ATOMIC_SEQ_CST);
    linger();
}

static void end_change(void)
{
    __atomic_fetch_sub(&changing, 1, __ATOMIC_SEQ_CST);
}

static const char* opened_path(const char* path)
{
    return strncmp(path, "/dev/bus/usb/", 13) == 0 ? "/dev/null" : path;
}

#define PROBE_OPEN(name)                                                                                               \
    int name(const char* path, int flags, ...)                                                                         \
    {                                                                                                                  \
        int (*real)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, #name);                  \
        mode_t mode = 0;                                                                                               \
        int fd;                                                                                                        \
        if (flags & (O_CREAT | O_TMPFILE)) {                                                                           \
            va_list arguments;                                                                                         \
            va_start(arguments, flags);                                                                                \
            mode = va_arg(arguments, mode_t);                                                                          \
            va_end(arguments);                                                                                         \
        }                                                                                                              \
        begin_change();                                                                                                \
        fd = real(opened_path(path), flags, mode);                                                                     \
        end_change();                                                                                                  \
        return fd;                                                                                                     \
    }

PROBE_OPEN(open)
PROBE_OPEN(open64)

int close(int fd)
{
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "close");
    int result;
    begin_change();
    result = real(fd);
    end_change();
    return result;
}

int ioctl(int fd, unsigned long request, ...)
{
    int (*real)(int, unsigned long, ...) = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    va_list arguments;
    void* argument;
    int result;
    va_start(arguments, request);
    argument = va_arg(arguments, void*);
    va_end(arguments);
    __atomic_fetch_add(&reading, 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&changing, __ATOMIC_SEQ_CST))
        __atomic_fetch_add(&overlaps, 1, __ATOMIC_SEQ_CST);
    linger();
    result = real(fd, request, argument);
    __atomic_fetch_sub(&reading, 1, __ATOMIC_SEQ_CST);
    return result;
}
