// The platform layer for Unix systems other than Linux (macOS, the BSDs), written against
// POSIX and the few extensions every one of them has. Linux builds can be told to use it
// (cmake -DTOLM_PLATFORM=posix), so that it is compiled and tested where CI runs.
//
// Address waits: Linux has futexes and Windows WaitOnAddress; elsewhere the waits are a
// small table of condition variables keyed by address. std::atomic::wait is not used here
// because Apple's C++ library offers it only from macOS 11 on, and not at all in older
// releases of that library.

// The header must see this file as the POSIX side even where the build chose another, so that
// tools reading every source with one system's flags (make lint's clang-tidy) check it whole.
#ifndef TOLM_PLATFORM_POSIX
#define TOLM_PLATFORM_POSIX 1
#endif

#include <pthread.h>
#include <time.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/types.h>
// <sys/types.h> first: Apple's header relies on it.
#include <sys/random.h>  // getentropy; elsewhere it is in <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "runtime/fatal.hpp"
#include "runtime/platform.hpp"

namespace tolm::platform {
namespace {

// getentropy refuses requests above this size.
constexpr size_t kEntropyChunk = 256;

// Waiters on different addresses may share a bucket, so a wake always wakes the whole bucket:
// waking one could pick a thread that waits on another address and leave the right one
// asleep. Locks wake only when a waiter announced itself, so this costs little.
struct alignas(64) WaitBucket {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
};

constexpr size_t kWaitBuckets = 64;

// Constant-initialised and never destroyed: locks may be used while other objects are being
// constructed at load time or by threads that outlive static destruction.
WaitBucket wait_buckets[kWaitBuckets];

WaitBucket& bucket_for(const void* address) noexcept {
    // Words of one lock sit next to each other; the multiplication spreads neighbours apart.
    const auto bits = reinterpret_cast<uintptr_t>(address);
    const uint64_t mixed = static_cast<uint64_t>(bits >> 2) * 0x9E3779B97F4A7C15ULL;
    return wait_buckets[mixed >> 58];
}
static_assert(kWaitBuckets == uint64_t{1} << (64 - 58));

template <typename T>
bool holds(const void* address, const void* expected) noexcept {
    // The address is that of a std::atomic<T>, which is nothing but the word itself.
    return static_cast<const std::atomic<T>*>(address)->load(std::memory_order_relaxed) ==
           *static_cast<const T*>(expected);
}

bool word_holds(const void* address, const void* expected, size_t size) noexcept {
    switch (size) {
        case 1:
            return holds<uint8_t>(address, expected);
        case 2:
            return holds<uint16_t>(address, expected);
        case 4:
            return holds<uint32_t>(address, expected);
        case 8:
            return holds<uint64_t>(address, expected);
        default:
            abort_with_message("wait_on_address: a word of 1, 2, 4 or 8 bytes was expected");
    }
}

void wake_bucket(const void* address) noexcept {
    // Taking the mutex orders this wake after a waiter's check of the word: a waiter either
    // saw the new value or is already inside pthread_cond_wait and receives the broadcast.
    WaitBucket& bucket = bucket_for(address);
    pthread_mutex_lock(&bucket.mutex);
    pthread_cond_broadcast(&bucket.changed);
    pthread_mutex_unlock(&bucket.mutex);
}

}  // namespace

void wall_clock_failed() noexcept {
    abort_with_message("clock_gettime(CLOCK_REALTIME) failed");
}

uint64_t logical_processor_count() noexcept {
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<uint64_t>(n) : 0;
}

void fill_random(void* out, size_t size) noexcept {
    auto* bytes = static_cast<unsigned char*>(out);
    while (size > 0) {
        const size_t chunk = size < kEntropyChunk ? size : kEntropyChunk;
        if (::getentropy(bytes, chunk) != 0) {
            if (errno == EINTR) continue;
            abort_with_message("getentropy failed: the random generator is unavailable");
        }
        bytes += chunk;
        size -= chunk;
    }
}

std::string current_thread_name() {
#if defined(TOLM_HAVE_PTHREAD_GETNAME_NP)
    char name[64] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0') {
        return name;
    }
#endif
    return "<unnamed>";
}

void write_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}

void wait_on_address(const void* address, const void* expected, size_t size) noexcept {
    WaitBucket& bucket = bucket_for(address);
    pthread_mutex_lock(&bucket.mutex);
    // One wait at most: a wake meant for another word of the bucket, or a spurious return,
    // sends the caller back to its own check, as the contract allows.
    if (word_holds(address, expected, size)) pthread_cond_wait(&bucket.changed, &bucket.mutex);
    pthread_mutex_unlock(&bucket.mutex);
}

void wake_one_waiter(const void* address) noexcept {
    wake_bucket(address);
}

void wake_all_waiters(const void* address) noexcept {
    wake_bucket(address);
}

}  // namespace tolm::platform
