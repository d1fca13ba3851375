// The operating-system calls the library makes, in one place: wall clock, processor
// count, random bytes, waiting on an address (Windows), and the failure report's thread
// name and standard error. Module lookup for Node-API lives with the Node binding.
//
// platform_linux.cpp, platform_posix.cpp (macOS and other Unix systems) and
// platform_windows.cpp implement it; the build compiles one. This header stays free of
// <windows.h> so that its macros reach only the Windows file.
#pragma once

// Where the locks sleep through the functions below rather than std::atomic wait/notify.
// The build defines TOLM_PLATFORM_POSIX with platform_posix.cpp (cmake/platform.cmake).
#if defined(_WIN32) || defined(TOLM_PLATFORM_POSIX)
#define TOLM_PLATFORM_ADDRESS_WAIT 1
#else
#define TOLM_PLATFORM_ADDRESS_WAIT 0
#endif

#if !defined(_WIN32)
#include <time.h>
#endif

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#if defined(_WIN32)
// Declared as <windows.h> declares it (platform_windows.cpp includes both, so the compiler
// checks that they agree), under the system's own struct name.
struct _FILETIME;  // NOLINT(bugprone-reserved-identifier)
extern "C" __declspec(dllimport) void __stdcall GetSystemTimePreciseAsFileTime(_FILETIME*);
#endif

namespace tolm::platform {

// The wall clock as whole seconds and nanoseconds since 1970-01-01T00:00:00Z, read with
// clock_gettime(CLOCK_REALTIME) through the C library (tests interpose that symbol), or
// GetSystemTimePreciseAsFileTime on Windows. `seconds` is negative for a clock set before
// 1970.
struct WallClockReading {
    int64_t seconds;
    int64_t nanoseconds;  // 0..999999999
};

#if defined(_WIN32)
// A FILETIME counts 100-nanosecond ticks since 1601-01-01; this many lie before 1970.
inline constexpr uint64_t kFileTimeTicksBefore1970 = 116444736000000000;
inline constexpr int64_t kFileTimeTicksPerSecond = 10'000'000;

constexpr WallClockReading wall_clock_from_file_time(uint64_t ticks_since_1601) noexcept {
    // Unsigned wrap-around then the signed view: ticks before 1970 come out negative.
    const auto ticks = static_cast<int64_t>(ticks_since_1601 - kFileTimeTicksBefore1970);
    int64_t seconds = ticks / kFileTimeTicksPerSecond;
    int64_t rest = ticks % kFileTimeTicksPerSecond;
    if (rest < 0) {  // round toward the past, so the nanoseconds stay non-negative
        rest += kFileTimeTicksPerSecond;
        seconds -= 1;
    }
    return {seconds, rest * 100};
}

// Inline: a check reads the clock up to three times, and a call layer would add to each.
inline WallClockReading read_wall_clock() noexcept {
    // FILETIME is two DWORDs (unsigned long on Windows), low half first.
    unsigned long halves[2] = {0, 0};
    ::GetSystemTimePreciseAsFileTime(reinterpret_cast<_FILETIME*>(halves));
    return wall_clock_from_file_time((static_cast<uint64_t>(halves[1]) << 32) | halves[0]);
}
#else
[[noreturn]] void wall_clock_failed() noexcept;
// Inline: a check reads the clock up to three times, and a call layer would add to each.
inline WallClockReading read_wall_clock() noexcept {
    timespec ts{};
    if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) wall_clock_failed();
    return {static_cast<int64_t>(ts.tv_sec), static_cast<int64_t>(ts.tv_nsec)};
}
#endif

// Logical processors online; 0 when the system does not say.
uint64_t logical_processor_count() noexcept;

// Fills `out` with bytes from the system's random generator. Aborts the process when the
// generator fails, since hash keys must never be predictable.
void fill_random(void* out, size_t size) noexcept;

// The calling thread's name for a failure report, "<unnamed>" when it has none.
std::string current_thread_name();

// Writes `text` to standard error in one write where the system allows, so that reports
// of concurrent failures do not interleave. Failures to write are ignored.
void write_stderr(std::string_view text) noexcept;

#if TOLM_PLATFORM_ADDRESS_WAIT
// The locks' sleeping and waking. libstdc++'s std::atomic wait does not use the system's
// address wait on Windows, and Apple's C++ library has it only from macOS 11 on, so the locks
// call these instead. `address` is an atomic word of `size` bytes (1, 2, 4 or 8); the wait
// returns when the word differs from `*expected`, when it is woken, or spuriously.
void wait_on_address(const void* address, const void* expected, size_t size) noexcept;
void wake_one_waiter(const void* address) noexcept;
void wake_all_waiters(const void* address) noexcept;
#endif

}  // namespace tolm::platform
