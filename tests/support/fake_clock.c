/* A wall clock the Python and Node suites steer from outside: preloaded into a child
 * process, it defines clock_gettime so that CLOCK_REALTIME readings come from the file named
 * by TOLM_FAKE_CLOCK_FILE, while every other clock (and CLOCK_REALTIME while the file is
 * missing or empty) passes through to the C library. The parent moves its child's clock by
 * rewriting that file.
 *
 * The file holds "MS", "MS STEP" or "MS STEP MONO", in milliseconds (MS since 1970, and may
 * be negative): with a step, the n-th reading of the whole process since the file's contents
 * last changed gives MS + n * STEP, so that the readings within one call differ. Writing the
 * same contents again does not restart the count.
 *
 * CLOCK_BOOTTIME, the library's host-wide clock that never steps, is steered too: it reads
 * MONO + n * STEP when the file gives MONO, else the same as the wall clock, so that moving MS
 * alone moves time for every limiter, and a test steps the wall clock alone by giving MONO.
 * The host's event loop, timers and timeouts (libuv, asyncio, subprocess) read
 * CLOCK_MONOTONIC, which passes through, or nothing would ever fire in a child whose clock
 * stands still. (Telling the library's calls apart by their caller would fail under a
 * sanitizer, whose interceptor is then the caller.)
 *
 * The C++ core tests do not need this: they hand the engine a clock of their own. */
#define _GNU_SOURCE

#include <dlfcn.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
static long long last_value, last_step, last_mono;
static int last_fields;
static uint64_t since_change;

/* Reads the controlling file; returns 1 and the time of `clock` when it holds a number. */
static int read_clock_file(clockid_t clock, int64_t* ms) {
    const char* path = getenv("TOLM_FAKE_CLOCK_FILE");
    if (path == NULL || *path == '\0') return 0;
    FILE* f = fopen(path, "r");
    if (f == NULL) return 0;
    long long value = 0, step = 0, mono = 0;
    const int fields = fscanf(f, "%lld %lld %lld", &value, &step, &mono);
    fclose(f);
    if (fields < 1) return 0;
    if (fields < 2) step = 0;
    if (fields < 3) mono = value;
    pthread_mutex_lock(&file_state_lock);
    if (value != last_value || step != last_step || mono != last_mono || fields != last_fields) {
        last_value = value;
        last_step = step;
        last_mono = mono;
        last_fields = fields;
        since_change = 0;
    }
    const long long base = clock == CLOCK_REALTIME ? value : mono;
    *ms = (int64_t)(base + step * (long long)since_change++);
    pthread_mutex_unlock(&file_state_lock);
    return 1;
}

__attribute__((visibility("default"))) int clock_gettime(clockid_t clock, struct timespec* ts) {
    int64_t ms;
    if ((clock == CLOCK_REALTIME || clock == CLOCK_BOOTTIME) && read_clock_file(clock, &ms)) {
        fill_from_ms(ms, ts);
        return 0;
    }
    return real_clock_gettime(clock, ts);
}
