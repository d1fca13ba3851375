#define _GNU_SOURCE
#include "fake_clock.h"

#include <dlfcn.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

typedef int (*clock_gettime_fn)(clockid_t, struct timespec*);

static _Atomic int fake_enabled;
static _Atomic int64_t fake_ms;
static _Atomic uint64_t readings;
static _Atomic uint64_t jump_at_reading; /* 0: no jump pending */
static _Atomic int64_t jump_to_ms;

void tolm_fake_clock_set_ms(int64_t ms) {
    atomic_store(&fake_ms, ms);
    atomic_store(&readings, 0);
    atomic_store(&jump_at_reading, 0);
    atomic_store(&fake_enabled, 1);
}

void tolm_fake_clock_jump_after(uint64_t count, int64_t ms) {
    atomic_store(&jump_to_ms, ms);
    atomic_store(&jump_at_reading, atomic_load(&readings) + count + 1);
}

void tolm_fake_clock_advance_ms(int64_t delta_ms) { atomic_fetch_add(&fake_ms, delta_ms); }

void tolm_fake_clock_release(void) { atomic_store(&fake_enabled, 0); }

uint64_t tolm_fake_clock_readings(void) { return atomic_load(&readings); }

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

#ifdef TOLM_FAKE_CLOCK_PRELOAD
/* Reads the controlling file; returns 1 and the time when it holds a number. The file holds
 * "MS" or "MS STEP": with a step, the n-th CLOCK_REALTIME reading of the whole process since
 * the file's contents last changed gives MS + n * STEP, so that the readings within one call
 * differ. Writing the same contents again does not restart the count. */
static pthread_mutex_t file_state_lock = PTHREAD_MUTEX_INITIALIZER;
static long long last_value, last_step;
static uint64_t since_change;

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
#endif

__attribute__((visibility("default"))) int clock_gettime(clockid_t clock, struct timespec* ts) {
    if (clock == CLOCK_REALTIME) {
#ifdef TOLM_FAKE_CLOCK_PRELOAD
        int64_t ms;
        if (read_clock_file(&ms)) {
            fill_from_ms(ms, ts);
            return 0;
        }
#endif
        if (atomic_load(&fake_enabled)) {
            const uint64_t reading = atomic_fetch_add(&readings, 1) + 1;
            if (reading == atomic_load(&jump_at_reading)) atomic_store(&fake_ms, jump_to_ms);
            fill_from_ms(atomic_load(&fake_ms), ts);
            return 0;
        }
    }
    return real_clock_gettime(clock, ts);
}
