/* A wall clock the Python and Node suites steer from outside: preloaded into a child
 * process, it defines clock_gettime so that CLOCK_REALTIME readings come from the file named
 * by TOLM_FAKE_CLOCK_FILE, while every other clock (and CLOCK_REALTIME while the file is
 * missing or empty) passes through to the C library. The parent moves its child's clock by
 * rewriting that file.
 *
 * The file holds "MS" or "MS STEP", in milliseconds since 1970 (MS may be negative): with a
 * step, the n-th CLOCK_REALTIME reading of the whole process since the file's contents last
 * changed gives MS + n * STEP, so that the readings within one call differ. Writing the same
 * contents again does not restart the count.
 *
 * The C++ core tests do not need this: they hand the engine a clock of their own. */
#define _GNU_SOURCE

#include <dlfcn.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

typedef int (*clock_gettime_fn)(clockid_t, struct timespec*);

static int real_clock_gettime(clockid_t clock, struct timespec* ts) {
    static clock_gettime_fn real;
    if (real == NULL) real = (clock_gettime_fn)dlsym(RTLD_NEXT, "clock_gettime");
    return real(clock, ts);
}

static void fill_from_ms(int64_t ms, struct timespec* ts) {
    int64_t seconds = ms / 1000;
    int64_t rest = ms % 1000;
    if (rest < 0) {
        rest += 1000;
        seconds -= 1;
    }
    ts->tv_sec = (time_t)seconds;
    ts->tv_nsec = (long)(rest * 1000000);
}

/* Guards the step count, which every thread's readings advance. */
static pthread_mutex_t file_state_lock = PTHREAD_MUTEX_INITIALIZER;
static long long last_value, last_step;
static uint64_t since_change;

/* Reads the controlling file; returns 1 and the time when it holds a number. */
static int read_clock_file(int64_t* ms) {
    const char* path = getenv("TOLM_FAKE_CLOCK_FILE");
    if (path == NULL || *path == '\0') return 0;
    FILE* f = fopen(path, "r");
    if (f == NULL) return 0;
    long long value = 0, step = 0;
    const int fields = fscanf(f, "%lld %lld", &value, &step);
    fclose(f);
    if (fields < 1) return 0;
    if (fields < 2) step = 0;
    pthread_mutex_lock(&file_state_lock);
    if (value != last_value || step != last_step) {
        last_value = value;
        last_step = step;
        since_change = 0;
    }
    *ms = (int64_t)(value + step * (long long)since_change++);
    pthread_mutex_unlock(&file_state_lock);
    return 1;
}

__attribute__((visibility("default"))) int clock_gettime(clockid_t clock, struct timespec* ts) {
    int64_t ms;
    if (clock == CLOCK_REALTIME && read_clock_file(&ms)) {
        fill_from_ms(ms, ts);
        return 0;
    }
    return real_clock_gettime(clock, ts);
}
