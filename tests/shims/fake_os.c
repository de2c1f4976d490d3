/* Test-only LD_PRELOAD shim: lets a test process set the wall clock and make
 * the random source fail, while the process is running.
 *
 *   MORVEX_FAKE_CLOCK_FILE      file holding the CLOCK_REALTIME reading in
 *                               nanoseconds since the epoch (may be negative);
 *                               absent or empty file: the real clock
 *   MORVEX_FAKE_GETRANDOM_FILE  file holding an errno value: getrandom fails
 *                               with it (0: fails without an errno); absent or
 *                               empty file: the real getrandom
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <time.h>

static int read_number(const char* env, long long* out) {
    const char* path = getenv(env);
    if (path == NULL) return 0;
    FILE* f = fopen(path, "r");
    if (f == NULL) return 0;
    int ok = fscanf(f, "%lld", out) == 1;
    fclose(f);
    return ok;
}

int clock_gettime(clockid_t id, struct timespec* ts) {
    static int (*real)(clockid_t, struct timespec*) = NULL;
    long long ns;
    if (id == CLOCK_REALTIME && read_number("MORVEX_FAKE_CLOCK_FILE", &ns)) {
        long long sec = ns / 1000000000LL, rem = ns % 1000000000LL;
        if (rem < 0) {
            rem += 1000000000LL;
            sec -= 1;
        }
        ts->tv_sec = (time_t)sec;
        ts->tv_nsec = (long)rem;
        return 0;
    }
    if (real == NULL) real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
    return real(id, ts);
}

ssize_t getrandom(void* buf, size_t len, unsigned int flags) {
    static ssize_t (*real)(void*, size_t, unsigned int) = NULL;
    long long error_number;
    if (read_number("MORVEX_FAKE_GETRANDOM_FILE", &error_number)) {
        errno = (int)error_number;
        return -1;
    }
    if (real == NULL) real = (ssize_t (*)(void*, size_t, unsigned int))dlsym(RTLD_NEXT, "getrandom");
    return real(buf, len, flags);
}
