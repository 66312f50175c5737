/* Opens, asks and closes "printers" from eight threads at once, as
 * `zarvik update --all` does, under the open guard and the probe behind it
 * (probe.c); exit status 1 when the probe saw calls overlap that the guard
 * should have kept apart. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

enum { threads = 8, rounds = 40 };
static pthread_barrier_t start;

static void* printer(void* number)
{
    char path[64];
    snprintf(path, sizeof path, "/dev/bus/usb/001/%03d", 5 + (int)(long)number);
    pthread_barrier_wait(&start);
    for (int i = 0; i < rounds; ++i) {
        const int fd = open(path, O_RDWR | O_CLOEXEC);
        int value = 0;
        ioctl(fd, FIONREAD, &value);
        ioctl(fd, FIONREAD, &value);
        close(fd);
    }
    return NULL;
}

int main(void)
{
    int (*overlaps)(void) = (int (*)(void))dlsym(RTLD_DEFAULT, "probe_overlaps");
    if (!overlaps) {
        fprintf(stderr, "opens: run me with the probe preloaded\n");
        return 2;
    }
    pthread_t t[threads];
    pthread_barrier_init(&start, NULL, threads);
    for (long i = 0; i < threads; ++i)
        pthread_create(&t[i], NULL, printer, (void*)i);
    for (int i = 0; i < threads; ++i)
        pthread_join(t[i], NULL);
    printf("%d calls overlapped that the guard keeps apart\n", overlaps());
    return overlaps() ? 1 : 0;
}
