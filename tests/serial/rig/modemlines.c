/* Preloaded into Wine (LD_PRELOAD) for the serial tests. Linux refuses the
 * modem-line requests on pseudo-terminals, so this library answers them for
 * every /dev/pts/N device: it keeps RTS and DTR as they were last set, reports
 * CTS, DSR, DCD and RI as a test wants them, and records every change of RTS
 * or DTR and every write with a monotonic timestamp.
 *
 * The state of /dev/pts/N lives in the file $QUILLON_LINES_DIR/ptsN when that
 * file exists (made by scripts/serial-rig.sh, read and written by the tests);
 * otherwise in memory, with CTS, DSR and DCD on. */
#define _GNU_SOURCE
#include "modemlines.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define MAX_PTS 512
#define MAX_FD 4096

typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef ssize_t (*write_fn)(int, const void *, size_t);

static pthread_mutex_t guard = PTHREAD_MUTEX_INITIALIZER;
/* A pseudo-terminal number comes back for the next pair, with a new state
 * file: a mapping is kept with the file's inode and replaced when that
 * changes. */
static struct modem_lines *states[MAX_PTS];
static ino_t inodes[MAX_PTS];
/* File descriptors that modem-line requests were made on; their writes are
 * recorded. A stale mark after a close is harmless: the device is checked
 * again before anything is recorded. */
static unsigned char marked[MAX_FD];

static int64_t now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

/* The pseudo-terminal number behind fd, or -1. */
static int pts_number(int fd) {
    char link[64], target[128];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return -1;
    target[n] = '\0';
    if (strncmp(target, "/dev/pts/", 9) != 0) return -1;
    int number = atoi(target + 9);
    return number >= 0 && number < MAX_PTS ? number : -1;
}

static struct modem_lines *state_of(int number) {
    char path[512] = "";
    struct stat file_status;
    const char *dir = getenv("QUILLON_LINES_DIR");
    if (dir) snprintf(path, sizeof path, "%s/pts%d", dir, number);
    const ino_t inode = path[0] && stat(path, &file_status) == 0 ? file_status.st_ino : 0;
    pthread_mutex_lock(&guard);
    struct modem_lines *state = states[number];
    if (state && inode != inodes[number]) {
        if (inodes[number]) munmap(state, sizeof *state);
        else free(state);
        state = NULL;
    }
    if (!state) {
        inodes[number] = 0;
        if (inode) {
            int file = open(path, O_RDWR | O_CLOEXEC);
            if (file >= 0) {
                void *shared = mmap(NULL, sizeof *state, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
                close(file);
                if (shared != MAP_FAILED) {
                    state = shared;
                    inodes[number] = inode;
                }
            }
        }
        if (!state) {
            state = calloc(1, sizeof *state);
            if (state) state->inputs = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
        }
        states[number] = state;
    }
    pthread_mutex_unlock(&guard);
    return state;
}

static void record(struct modem_lines *state, uint32_t kind, uint32_t value) {
    uint32_t at = __atomic_load_n(&state->count, __ATOMIC_RELAXED);
    if (at >= MODEM_LINES_RECORDS) return;
    state->records[at].usec = now_us();
    state->records[at].kind = kind;
    state->records[at].value = value;
    __atomic_store_n(&state->count, at + 1, __ATOMIC_RELEASE);
}

/* Sets the output lines; a change is recorded. Called under the guard. */
static void set_outputs(struct modem_lines *state, uint32_t outputs) {
    outputs &= TIOCM_RTS | TIOCM_DTR;
    if (outputs != state->outputs) {
        state->outputs = outputs;
        record(state, MODEM_LINES_SET, outputs);
    }
}

static int modem_request(int fd, unsigned long request, void *argument, int *result) {
    if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC &&
        request != TIOCMIWAIT)
        return 0;
    int number = pts_number(fd);
    if (number < 0) return 0;
    struct modem_lines *state = state_of(number);
    if (!state) return 0;
    if (fd >= 0 && fd < MAX_FD) marked[fd] = 1;
    *result = 0;
    if (request == TIOCMIWAIT) {
        /* Waits for a change of the input lines in the mask. */
        uint32_t mask = (uint32_t)(uintptr_t)argument, start = __atomic_load_n(&state->inputs, __ATOMIC_ACQUIRE);
        struct timespec step = {0, 1000000};
        while (((__atomic_load_n(&state->inputs, __ATOMIC_ACQUIRE) ^ start) & mask) == 0) nanosleep(&step, NULL);
        return 1;
    }
    int *lines = argument;
    if (!lines) {
        errno = EFAULT;
        *result = -1;
        return 1;
    }
    pthread_mutex_lock(&guard);
    if (request == TIOCMGET)
        *lines = (int)(state->outputs | (__atomic_load_n(&state->inputs, __ATOMIC_ACQUIRE) &
                                         (TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG)));
    else if (request == TIOCMSET)
        set_outputs(state, (uint32_t)*lines);
    else if (request == TIOCMBIS)
        set_outputs(state, state->outputs | (uint32_t)*lines);
    else
        set_outputs(state, state->outputs & ~(uint32_t)*lines);
    pthread_mutex_unlock(&guard);
    return 1;
}

static int forward_ioctl(const char *name, int fd, unsigned long request, void *argument) {
    static ioctl_fn real_ioctl, real_ioctl64;
    ioctl_fn *real = strcmp(name, "ioctl") == 0 ? &real_ioctl : &real_ioctl64;
    if (!*real) *real = (ioctl_fn)dlsym(RTLD_NEXT, name);
    if (!*real) {
        errno = ENOSYS;
        return -1;
    }
    return (*real)(fd, request, argument);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    int result;
    if (modem_request(fd, request, argument, &result)) return result;
    return forward_ioctl("ioctl", fd, request, argument);
}

/* 32-bit programs built with 64-bit time call this one. */
int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    int result;
    if (modem_request(fd, request, argument, &result)) return result;
    return forward_ioctl("__ioctl_time64", fd, request, argument);
}

ssize_t write(int fd, const void *bytes, size_t count) {
    static write_fn real_write;
    if (!real_write) real_write = (write_fn)dlsym(RTLD_NEXT, "write");
    int64_t started = fd >= 0 && fd < MAX_FD && marked[fd] ? now_us() : 0;
    ssize_t written = real_write(fd, bytes, count);
    if (started && written > 0) {
        int number = pts_number(fd);
        struct modem_lines *state = number >= 0 ? state_of(number) : NULL;
        if (state) {
            pthread_mutex_lock(&guard);
            record(state, MODEM_LINES_WRITE, (uint32_t)written);
            pthread_mutex_unlock(&guard);
        }
    }
    return written;
}
