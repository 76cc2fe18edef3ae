/* A preload library for the tests: gives a pty the modem lines a UART has, and
   logs every open the program makes. A pty has no modem lines, so without it
   the tty back end's handling of DTR, RTS, DSR and the error counters could
   not be tried through the real program.

   MODEMLINES_DEVICE  the pty's slave; only descriptors of that device get lines
   MODEMLINES_STATE   the shared record (modemlines.h): a file of its size
   MODEMLINES_LOG     where each open and each change of DTR or RTS is added,
                      one line per write: "<ns> open <path> <flags> <fd> <rdev>",
                      "<ns> DTR 1" and "<ns> termios" (the line settings set),
                      with CLOCK_MONOTONIC nanoseconds
   MODEMLINES_FLIP    "<link>|<target>": the link is pointed at target right
                      after the program first looks at it (stat or open), as a
                      racing program would */
#define _GNU_SOURCE
#include "modemlines.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static struct ModemLines* g_lines;
static dev_t g_device;
static int g_haveDevice;
static int g_flipped;

static struct ModemLines* Lines(void) {
    static int tried;
    if (!tried) {
        tried = 1;
        const char* path = getenv("MODEMLINES_STATE");
        int (*realOpen)(const char*, int, ...) = dlsym(RTLD_NEXT, "open");
        int fd = path != NULL ? realOpen(path, O_RDWR | O_CLOEXEC) : -1;
        if (fd >= 0) {
            void* map = mmap(NULL, sizeof *g_lines, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            g_lines = map == MAP_FAILED ? NULL : map;
            close(fd);
        }
        struct stat info;
        const char* device = getenv("MODEMLINES_DEVICE");
        g_haveDevice = device != NULL && stat(device, &info) == 0;
        g_device = g_haveDevice ? info.st_rdev : 0;
    }
    return g_lines;
}

static void Log(const char* format, ...) {
    const char* path = getenv("MODEMLINES_LOG");
    if (path == NULL) {
        return;
    }
    char line[4200];
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int n =
        snprintf(line, sizeof line, "%lld ", (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    va_list args;
    va_start(args, format);
    n += vsnprintf(line + n, sizeof line - (size_t)n, format, args);
    va_end(args);
    if (n >= (int)sizeof line) {
        n = (int)sizeof line - 1;
    }
    line[n++] = '\n';
    int (*realOpen)(const char*, int, ...) = dlsym(RTLD_NEXT, "open");
    int fd = realOpen(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        (void)!write(fd, line, (size_t)n);
        close(fd);
    }
}

static int IsDevice(int fd) {
    struct stat info;
    return Lines() != NULL && g_haveDevice && fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) &&
           info.st_rdev == g_device;
}

static void SetOutput(int32_t* line, const char* name, int on) {
    if (*line != on) {
        __atomic_store_n(line, on, __ATOMIC_SEQ_CST);
        Log("%s %d", name, on);
    }
}

/* The first look at the link to flip, and then the flip: a new link renamed
   over the old, as atomic as a racing program can make it. */
static void MaybeFlip(const char* path) {
    const char* flip = getenv("MODEMLINES_FLIP");
    const char* bar = flip != NULL ? strchr(flip, '|') : NULL;
    if (g_flipped || bar == NULL || path == NULL ||
        strncmp(path, flip, (size_t)(bar - flip)) != 0 || path[bar - flip] != '\0') {
        return;
    }
    g_flipped = 1;
    char fresh[4200];
    snprintf(fresh, sizeof fresh, "%.*s.flip", (int)(bar - flip), flip);
    unlink(fresh);
    if (symlink(bar + 1, fresh) == 0 && rename(fresh, path) == 0) {
        Log("flip %s", path);
    }
}

static int Opened(const char* path, int flags, int fd) {
    const int saved = errno;
    struct stat info;
    if (fd >= 0 && fstat(fd, &info) == 0 && S_ISCHR(info.st_mode)) {
        Log("open %s %x %d %u:%u", path, (unsigned)flags, fd, major(info.st_rdev),
            minor(info.st_rdev));
    } else {
        Log("open %s %x %d -", path, (unsigned)flags, fd);
    }
    /* A UART's open raises DTR and RTS, before the program can lower them. */
    if (fd >= 0 && (flags & O_PATH) == 0 && IsDevice(fd)) {
        __atomic_add_fetch(&g_lines->opens, 1, __ATOMIC_SEQ_CST);
        SetOutput(&g_lines->dtr, "DTR", 1);
        SetOutput(&g_lines->rts, "RTS", 1);
    }
    MaybeFlip(path);
    errno = saved;
    return fd;
}

static mode_t ModeOf(int flags, va_list args) {
    return (flags & (O_CREAT | __O_TMPFILE)) != 0 ? (mode_t)va_arg(args, int) : 0;
}

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeOf(flags, args);
    va_end(args);
    int (*real)(const char*, int, ...) = dlsym(RTLD_NEXT, "open");
    return Opened(path, flags, real(path, flags, mode));
}

int openat(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = ModeOf(flags, args);
    va_end(args);
    int (*real)(int, const char*, int, ...) = dlsym(RTLD_NEXT, "openat");
    return Opened(path, flags, real(dir, path, flags, mode));
}

/* What a build with _FORTIFY_SOURCE calls for an open whose flags are not
   known at compile time. */
int __open_2(const char* path, int flags) {
    int (*real)(const char*, int) = dlsym(RTLD_NEXT, "__open_2");
    return Opened(path, flags, real(path, flags));
}

int __openat_2(int dir, const char* path, int flags) {
    int (*real)(int, const char*, int) = dlsym(RTLD_NEXT, "__openat_2");
    return Opened(path, flags, real(dir, path, flags));
}

int stat(const char* path, struct stat* info) {
    int (*real)(const char*, struct stat*) = dlsym(RTLD_NEXT, "stat");
    int rc = real(path, info);
    const int saved = errno;
    MaybeFlip(path);
    errno = saved;
    return rc;
}

/* The line settings, logged so that a test can tell what the program did
   before them. */
int tcsetattr(int fd, int when, const struct termios* settings) {
    int (*real)(int, int, const struct termios*) = dlsym(RTLD_NEXT, "tcsetattr");
    if (IsDevice(fd)) {
        Log("termios");
    }
    return real(fd, when, settings);
}

/* The inputs as the test set them; DSR loops DTR back while the cable is in. */
static int InputLines(void) {
    struct ModemLines* l = g_lines;
    int dsr = __atomic_load_n(&l->dsrFollowsDtr, __ATOMIC_SEQ_CST) ? l->dtr : l->dsr;
    return (l->dtr ? TIOCM_DTR : 0) | (l->rts ? TIOCM_RTS : 0) | (dsr ? TIOCM_DSR : 0) |
           (l->cts ? TIOCM_CTS : 0) | (l->ri ? TIOCM_RI : 0) | (l->dcd ? TIOCM_CD : 0);
}

static void Drive(int lines, int on) {
    if (lines & TIOCM_DTR) {
        SetOutput(&g_lines->dtr, "DTR", on);
    }
    if (lines & TIOCM_RTS) {
        SetOutput(&g_lines->rts, "RTS", on);
    }
}

static int ModemIoctl(unsigned long request, void* arg) {
    int* lines = arg;
    struct serial_icounter_struct* counts = arg;
    switch (request) {
        case TIOCMGET:
            *lines = InputLines();
            return 0;
        case TIOCMSET:
            Drive(TIOCM_DTR | TIOCM_RTS, 0);
            Drive(*lines, 1);
            return 0;
        case TIOCMBIS:
            Drive(*lines, 1);
            return 0;
        case TIOCMBIC:
            Drive(*lines, 0);
            return 0;
        case TIOCGICOUNT:
            memset(counts, 0, sizeof *counts);
            counts->frame = __atomic_load_n(&g_lines->frame, __ATOMIC_SEQ_CST);
            counts->overrun = __atomic_load_n(&g_lines->overrun, __ATOMIC_SEQ_CST);
            counts->parity = __atomic_load_n(&g_lines->parity, __ATOMIC_SEQ_CST);
            counts->brk = __atomic_load_n(&g_lines->brk, __ATOMIC_SEQ_CST);
            return 0;
        default:
            return -1;
    }
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    int (*real)(int, unsigned long, ...) = dlsym(RTLD_NEXT, "ioctl");
    const int modem = request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS ||
                      request == TIOCMBIC || request == TIOCGICOUNT;
    if (modem && arg != NULL && IsDevice(fd)) {
        return ModemIoctl(request, arg);
    }
    return real(fd, request, arg);
}
