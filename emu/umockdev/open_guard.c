/* Loaded ahead of umockdev's preload in the emulator and in the program it
 * runs: makes opening and closing device nodes safe from several threads at
 * once.
 *
 * umockdev's preload keeps a table from descriptor to the socket that carries
 * a device node's ioctls to the emulator.  Every open of a /dev path adds a
 * row, every close takes one out, and neither holds a lock: two threads that
 * open printers at the same moment (zarvik update --all) can both take the
 * same free row, and one printer's descriptor is then missing from the table.
 * Its ioctls go to the plain FIFO behind the node and fail with ENOTTY, so
 * that libusb cannot claim the printer ("connect to printer failure"), while
 * on a real bus the same opens are sound.  Here the calls that change that
 * table take one lock, and the ioctls on a device node wait while it changes,
 * so that none reads a row half written.
 *
 * The same preload stands in for the kernel's uevent socket with a Unix
 * socket named after its descriptor's number ("event12" in the testbed's
 * folder), and removes what has that name before it binds: two processes
 * under one emulator whose libusb starts at the same moment (two zarvik runs
 * at once) fight over one name, and one of them cannot start libusb ("failed
 * to enable the udev monitor") or hears of no printer that comes or goes.
 * Here each such socket gets a number no other process under the emulator
 * holds for one, claimed with a lock file beside the names.
 *
 * Plain C and nothing but libc: it goes into every process under the
 * emulator, shells and interpreters included. */
#define _GNU_SOURCE
/* open and open64 are both defined here, each under its own name. */
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

/* Writers change umockdev's table (open, close and their kin); readers are
 * ioctls on descriptors opened on a device node.  Writers go first, so that a
 * printer's stream of ioctls never keeps an open waiting. */
static pthread_rwlock_t table_lock;
static pthread_once_t table_lock_once = PTHREAD_ONCE_INIT;

/* Which descriptors were opened on a path under /dev/bus/usb/, so that the
 * ioctls of everything else (terminals, sockets) pass without the lock.  A
 * byte per descriptor below the limit; beyond it every ioctl takes the lock. */
enum { tracked_limit = 4096 };
static volatile unsigned char is_device[tracked_limit];

static void make_lock(void)
{
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&table_lock, &attributes);
    pthread_rwlockattr_destroy(&attributes);
}

/* A child forked while another thread held the lock would wait for it for
 * ever: fork takes it first; the parent lets it go, the child, whose one
 * thread is not the one that took it, starts with a new lock. */
static void before_fork(void)
{
    pthread_rwlock_wrlock(&table_lock);
}

static void after_fork_in_parent(void)
{
    pthread_rwlock_unlock(&table_lock);
}

static void after_fork_in_child(void)
{
    make_lock();
}

__attribute__((constructor)) static void set_up(void)
{
    pthread_once(&table_lock_once, make_lock);
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

static void lock_table(void)
{
    pthread_once(&table_lock_once, make_lock);
    pthread_rwlock_wrlock(&table_lock);
}

static void unlock_table(void)
{
    pthread_rwlock_unlock(&table_lock);
}

/* The next definition of `name` after this library: umockdev's wrapper. */
static void* next(const char* name)
{
    void* function = dlsym(RTLD_NEXT, name);
    if (!function) {
        fprintf(stderr, "zarvik emulator open guard: no %s after it\n", name);
        abort();
    }
    return function;
}

static void mark(int fd, const char* path)
{
    if (fd >= 0 && fd < tracked_limit)
        is_device[fd] = path && strncmp(path, "/dev/bus/usb/", 13) == 0;
}

static void unmark(int fd)
{
    if (fd >= 0 && fd < tracked_limit)
        is_device[fd] = 0;
}

/* The open family: the mode is there only with O_CREAT or O_TMPFILE. */
#define GUARD_OPEN(name)                                                                                               \
    int name(const char* path, int flags, ...)                                                                         \
    {                                                                                                                  \
        static int (*real)(const char*, int, ...);                                                                     \
        mode_t mode = 0;                                                                                               \
        int fd;                                                                                                        \
        if (flags & (O_CREAT | O_TMPFILE)) {                                                                           \
            va_list arguments;                                                                                         \
            va_start(arguments, flags);                                                                                \
            mode = va_arg(arguments, mode_t);                                                                          \
            va_end(arguments);                                                                                         \
        }                                                                                                              \
        if (!real)                                                                                                     \
            real = (int (*)(const char*, int, ...))next(#name);                                                        \
        lock_table();                                                                                                  \
        fd = real(path, flags, mode);                                                                                  \
        mark(fd, path);                                                                                                \
        unlock_table();                                                                                                \
        return fd;                                                                                                     \
    }

/* The fortified forms, which take no mode. */
#define GUARD_OPEN_2(name)                                                                                             \
    int name(const char* path, int flags)                                                                              \
    {                                                                                                                  \
        static int (*real)(const char*, int);                                                                          \
        int fd;                                                                                                        \
        if (!real)                                                                                                     \
            real = (int (*)(const char*, int))next(#name);                                                             \
        lock_table();                                                                                                  \
        fd = real(path, flags);                                                                                        \
        mark(fd, path);                                                                                                \
        unlock_table();                                                                                                \
        return fd;                                                                                                     \
    }

#define GUARD_FOPEN(name)                                                                                              \
    FILE* name(const char* path, const char* mode)                                                                     \
    {                                                                                                                  \
        static FILE* (*real)(const char*, const char*);                                                                \
        FILE* stream;                                                                                                  \
        if (!real)                                                                                                     \
            real = (FILE * (*)(const char*, const char*)) next(#name);                                                 \
        lock_table();                                                                                                  \
        stream = real(path, mode);                                                                                     \
        if (stream)                                                                                                    \
            mark(fileno(stream), path);                                                                                \
        unlock_table();                                                                                                \
        return stream;                                                                                                 \
    }

GUARD_OPEN(open)
GUARD_OPEN(open64)
GUARD_OPEN_2(__open_2)
GUARD_OPEN_2(__open64_2)
GUARD_FOPEN(fopen)
GUARD_FOPEN(fopen64)

/* The uevent sockets' claims: the lock file held for the socket of each
 * number, -1 for none. */
static int claim_of[tracked_limit];
static int claims_ready;

static int (*real_close)(int);

/* The lowest number at or above `from` that no process under the emulator
 * holds for a uevent socket and this one has free, claimed: its lock
 * file's descriptor in *claim, or -1 when there is none. */
static int claim_number(const char* folder, int from, int* claim)
{
    static int (*real_open)(const char*, int, ...);
    char path[4096];
    int number;
    if (!real_open)
        real_open = (int (*)(const char*, int, ...))next("open");
    for (number = from; number < tracked_limit; ++number) {
        int lock;
        if (fcntl(number, F_GETFD) != -1)
            continue; /* in use here */
        snprintf(path, sizeof path, "%s/zarvik-uevent-%d.lock", folder, number);
        lock = real_open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lock < 0)
            return -1;
        if (flock(lock, LOCK_EX | LOCK_NB) == 0 && fcntl(number, F_GETFD) == -1) {
            *claim = lock;
            return number;
        }
        real_close(lock);
    }
    return -1;
}

int socket(int domain, int type, int protocol)
{
    static int (*real)(int, int, int);
    enum { first_number = 100 };
    static int fillers[tracked_limit];
    const char* folder = getenv("UMOCKDEV_DIR");
    int filled = 0, number, claim = -1, fd, i;
    if (!real)
        real = (int (*)(int, int, int))next("socket");
    if (!real_close)
        real_close = (int (*)(int))next("close");
    if (domain != AF_NETLINK || protocol != NETLINK_KOBJECT_UEVENT || !folder)
        return real(domain, type, protocol);
    lock_table();
    if (!claims_ready) {
        for (i = 0; i < tracked_limit; ++i)
            claim_of[i] = -1;
        claims_ready = 1;
    }
    number = claim_number(folder, first_number, &claim);
    /* The socket takes the lowest free number: every lower one is filled
     * for the moment (the fillers are the table lock's, like the claims). */
    while (number >= 0) {
        const int filler = fcntl(claim, F_DUPFD_CLOEXEC, 0);
        if (filler < 0 || filler >= number) {
            if (filler >= 0)
                real_close(filler);
            break;
        }
        fillers[filled++] = filler;
    }
    fd = real(domain, type, protocol);
    for (i = 0; i < filled; ++i)
        real_close(fillers[i]);
    /* Another thread may have taken the number meanwhile (a descriptor that
     * does not go through here): then the socket is as umockdev makes it. */
    if (claim >= 0 && fd == number)
        claim_of[fd] = claim;
    else if (claim >= 0)
        real_close(claim);
    unlock_table();
    return fd;
}

int close(int fd)
{
    static int (*real)(int);
    int result;
    if (!real)
        real = (int (*)(int))next("close");
    if (!real_close)
        real_close = real;
    lock_table();
    unmark(fd);
    result = real(fd);
    if (claims_ready && fd >= 0 && fd < tracked_limit && claim_of[fd] >= 0) {
        real(claim_of[fd]); /* the number is free for another process */
        claim_of[fd] = -1;
    }
    unlock_table();
    return result;
}

int fclose(FILE* stream)
{
    static int (*real)(FILE*);
    int result;
    if (!real)
        real = (int (*)(FILE*))next("fclose");
    lock_table();
    unmark(fileno(stream));
    result = real(stream);
    unlock_table();
    return result;
}

/* ioctl's request is an unsigned long in glibc; its one argument a pointer or
 * an integer, both of which fit in a pointer, as umockdev passes it on. */
int ioctl(int fd, unsigned long request, ...)
{
    static int (*real)(int, unsigned long, ...);
    va_list arguments;
    void* argument;
    int result;
    const int guarded = fd < 0 || fd >= tracked_limit || is_device[fd];
    va_start(arguments, request);
    argument = va_arg(arguments, void*);
    va_end(arguments);
    if (!real)
        real = (int (*)(int, unsigned long, ...))next("ioctl");
    if (!guarded)
        return real(fd, request, argument);
    pthread_once(&table_lock_once, make_lock);
    pthread_rwlock_rdlock(&table_lock);
    result = real(fd, request, argument);
    unlock_table();
    return result;
}
