// Locks of the core, built on C++20 atomic wait/notify (futexes on Linux) and on the
// platform layer's address wait elsewhere (Windows, macOS and other Unix systems).
//
// PoisonMutex: one byte of state (0 unlocked, 1 locked, 2 locked with a waiter) and one
// byte that records whether a fatal failure unwound through a holder. Once poisoned it
// stays poisoned. with_poisoning_lock holds one around a piece of work and poisons it when a
// failure leaves that work; the work tests poisoned() first, so a later holder fails at once.
//
// RwLock: one machine word, taken only exclusively in this system (the state store's
// shard locks). Bit 0 is the writer, bit 1 records sleeping waiters; the reader count that
// the word leaves room for above them is never used.
#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/platform.hpp"
#include "runtime/thread_annotations.hpp"

namespace tolm {
namespace sync_detail {

// Sleeps while `word` holds `expected`, until woken; may return early, so callers re-check.
template <typename T>
inline void wait_while(const std::atomic<T>& word, T expected) noexcept {
#if TOLM_PLATFORM_ADDRESS_WAIT
    platform::wait_on_address(&word, &expected, sizeof(T));
#else
    word.wait(expected, std::memory_order_relaxed);
#endif
}

template <typename T>
inline void wake_one(std::atomic<T>& word) noexcept {
#if TOLM_PLATFORM_ADDRESS_WAIT
    platform::wake_one_waiter(&word);
#else
    word.notify_one();
#endif
}

template <typename T>
inline void wake_all(std::atomic<T>& word) noexcept {
#if TOLM_PLATFORM_ADDRESS_WAIT
    platform::wake_all_waiters(&word);
#else
    word.notify_all();
#endif
}

// The system's wait compares the word's bytes, so the atomic must be nothing but them.
static_assert(sizeof(std::atomic<uint8_t>) == 1 && std::atomic<uint8_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<uint32_t>) == 4 && std::atomic<uint32_t>::is_always_lock_free);

}  // namespace sync_detail

class TOLM_CAPABILITY("mutex") PoisonMutex {
  public:
    void lock() noexcept TOLM_ACQUIRE() {
        uint8_t expected = kUnlocked;
        if (state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            return;
        }
        lock_contended();
    }

    void unlock() noexcept TOLM_RELEASE() {
        if (state_.exchange(kUnlocked, std::memory_order_release) == kContended) {
            sync_detail::wake_one(state_);
        }
    }

    bool poisoned() const noexcept { return poisoned_.load(std::memory_order_relaxed); }
    void mark_poisoned() noexcept { poisoned_.store(true, std::memory_order_relaxed); }

  private:
    static constexpr uint8_t kUnlocked = 0;
    static constexpr uint8_t kLocked = 1;
    static constexpr uint8_t kContended = 2;

    void lock_contended() noexcept {
        for (int spin = 0; spin < 100; ++spin) {
            uint8_t expected = kUnlocked;
            if (state_.load(std::memory_order_relaxed) == kUnlocked &&
                state_.compare_exchange_weak(expected, kLocked, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
                return;
            }
        }
        // Announce a waiter; whoever unlocks must then wake one.
        while (state_.exchange(kContended, std::memory_order_acquire) != kUnlocked) {
            sync_detail::wait_while(state_, kContended);
        }
    }

    std::atomic<uint8_t> state_{kUnlocked};
    std::atomic<bool> poisoned_{false};
};

// Runs `body` with `mutex` held and returns nothing. If an exception (a fatal failure) leaves
// `body`, the mutex is marked poisoned and released on the way out. A try/catch costs nothing
// on the normal path, where a scope guard would have to ask std::uncaught_exceptions() at both
// ends (about as much as the lock itself). `body` tests `mutex.poisoned()` itself.
//
// `body` declares TOLM_REQUIRES(the mutex) so that the compiler checks what it touches; the
// analysis cannot tie that to `mutex` here, so this function is left out of it.
template <typename Body>
void with_poisoning_lock(PoisonMutex& mutex, Body&& body) TOLM_NO_THREAD_SAFETY_ANALYSIS {
    mutex.lock();
    try {
        body();
    } catch (...) {
        mutex.mark_poisoned();
        mutex.unlock();
        throw;
    }
    mutex.unlock();
}

class TOLM_CAPABILITY("mutex") RwLock {
  public:
    void lock() noexcept TOLM_ACQUIRE() {
        uint32_t expected = 0;
        if (word_.compare_exchange_strong(expected, kWriter, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            return;
        }
        lock_contended();
    }

    void unlock() noexcept TOLM_RELEASE() {
        if (word_.exchange(0, std::memory_order_release) & kWaiters) sync_detail::wake_all(word_);
    }

  private:
    static constexpr uint32_t kWriter = 1;
    static constexpr uint32_t kWaiters = 2;

    void lock_contended() noexcept {
        for (int spin = 0; spin < 100; ++spin) {
            uint32_t expected = 0;
            if (word_.load(std::memory_order_relaxed) == 0 &&
                word_.compare_exchange_weak(expected, kWriter, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
                return;
            }
        }
        for (;;) {
            uint32_t current = word_.load(std::memory_order_relaxed);
            if ((current & ~kWaiters) == 0) {
                // Free (possibly with waiters recorded): take it and keep the waiter bit
                // so that our unlock wakes the others.
                if (word_.compare_exchange_weak(current, kWriter | (current & kWaiters),
                                                std::memory_order_acquire,
                                                std::memory_order_relaxed)) {
                    return;
                }
                continue;
            }
            if (!(current & kWaiters) && !word_.compare_exchange_weak(current, current | kWaiters,
                                                                      std::memory_order_relaxed)) {
                continue;
            }
            sync_detail::wait_while(word_, current | kWaiters);
        }
    }

    std::atomic<uint32_t> word_{0};
};

}  // namespace tolm
