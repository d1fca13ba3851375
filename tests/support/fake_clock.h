/* A controllable wall clock for tests: defines clock_gettime so that CLOCK_REALTIME
 * readings come from the test, while every other clock passes through to the C library.
 *
 * Linked into a test binary it is steered with the functions below. Built as a preload
 * library (TOLM_FAKE_CLOCK_PRELOAD) it reads the time, in milliseconds since 1970 (may be
 * negative), from the file named by TOLM_FAKE_CLOCK_FILE on every reading, so a parent
 * process can move its child's clock by rewriting that file. */
#ifndef TOLM_TESTS_FAKE_CLOCK_H
#define TOLM_TESTS_FAKE_CLOCK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* From now on CLOCK_REALTIME reads `ms` milliseconds since 1970 (negative: before 1970). */
void tolm_fake_clock_set_ms(int64_t ms);
/* Moves the fake clock by `delta_ms` (negative steps it back). */
void tolm_fake_clock_advance_ms(int64_t delta_ms);
/* After `readings` more CLOCK_REALTIME readings at the current time, the clock jumps to
 * `ms`: lets a test fail one particular reading inside an operation. */
void tolm_fake_clock_jump_after(uint64_t readings, int64_t ms);
/* Back to the real clock. */
void tolm_fake_clock_release(void);
/* How many CLOCK_REALTIME readings have been taken since the last set. */
uint64_t tolm_fake_clock_readings(void);

#ifdef __cplusplus
}
#endif

#endif
