// The platform layer of Unix builds: the Linux side, and the POSIX side that macOS and other
// Unix systems get (a Linux build with -DTOLM_PLATFORM=posix runs it here). Random bytes,
// thread names, and the POSIX side's address waits behind the locks.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/platform.hpp"
#include "runtime/sync.hpp"

namespace tolm::platform {
namespace {

TEST(UnixPlatformTest, RandomBytesFillEveryPartOfLargeRequests) {
    EXPECT_GE(logical_processor_count(), 1u);
    // getentropy serves at most 256 bytes a call: the bytes past each 256-byte step must be
    // filled too, not left as they were.
    for (const size_t size : {size_t{16}, size_t{255}, size_t{256}, size_t{257}, size_t{4097}}) {
        std::vector<unsigned char> first(size, 0), second(size, 0);
        fill_random(first.data(), size);
        fill_random(second.data(), size);
        EXPECT_NE(first, second) << size;
        const size_t tail = std::min<size_t>(size, 16);
        EXPECT_TRUE(std::any_of(first.end() - static_cast<long>(tail), first.end(),
                                [](unsigned char b) { return b != 0; }))
            << size;
    }
}

TEST(UnixPlatformTest, ThreadNamesAsTheSystemKnowsThem) {
    std::string unnamed;
    std::thread([&] { unnamed = current_thread_name(); }).join();
    // A new thread carries its process's name on Linux; elsewhere it has none.
    EXPECT_FALSE(unnamed.empty());
#if defined(__linux__) && (defined(TOLM_HAVE_PTHREAD_GETNAME_NP) || !defined(TOLM_PLATFORM_POSIX))
    std::string named;
    std::thread([&] {
        pthread_setname_np(pthread_self(), "tolm-worker");
        named = current_thread_name();
    }).join();
    EXPECT_EQ(named, "tolm-worker");
#endif
}

#if TOLM_PLATFORM_ADDRESS_WAIT

TEST(PosixAddressWaitTest, ReturnsAtOnceWhenTheWordDiffersInEverySize) {
    // Each would sleep for good if the wrong bytes were compared.
    std::atomic<uint8_t> byte{1};
    const uint8_t byte_expected = 0;
    wait_on_address(&byte, &byte_expected, 1);
    std::atomic<uint16_t> half{0x0100};
    const uint16_t half_expected = 0;
    wait_on_address(&half, &half_expected, 2);
    std::atomic<uint32_t> word{0x01000000};
    const uint32_t word_expected = 0;
    wait_on_address(&word, &word_expected, 4);
    std::atomic<uint64_t> wide{uint64_t{1} << 40};
    const uint64_t wide_expected = 0;
    wait_on_address(&wide, &wide_expected, 8);
    SUCCEED();
}

// More words than the wait table has rows, so some share one: waking one word's waiter must
// never be spent on a thread that waits on another word.
TEST(PosixAddressWaitTest, WakeOneReachesItsOwnWaiterWhenWordsShareARow) {
    constexpr size_t kWords = 130;
    auto words = std::make_unique<std::atomic<uint32_t>[]>(kWords);
    std::atomic<size_t> ready{0};
    std::vector<std::thread> sleepers;
    sleepers.reserve(kWords);
    for (size_t i = 0; i < kWords; ++i) {
        words[i].store(0);
        sleepers.emplace_back([&, i] {
            const uint32_t expected = 0;
            ready.fetch_add(1);
            while (words[i].load() == expected) wait_on_address(&words[i], &expected, 4);
        });
    }
    while (ready.load() != kWords) std::this_thread::yield();
    for (int i = 0; i < 10'000; ++i) std::this_thread::yield();  // let them fall asleep
    // Last sleeper first: a shared row's earliest sleeper is then always someone else's.
    for (size_t i = kWords; i-- > 0;) {
        words[i].store(1);
        wake_one_waiter(&words[i]);
        sleepers[i].join();  // hangs (and the run's time limit fails it) on a lost wake
    }
}

TEST(PosixAddressWaitTest, WakeAllReleasesEverySleeper) {
    std::atomic<uint32_t> word{0};
    std::atomic<int> released{0};
    std::vector<std::thread> sleepers;
    sleepers.reserve(6);
    for (int i = 0; i < 6; ++i) {
        sleepers.emplace_back([&] {
            const uint32_t expected = 0;
            while (word.load() == expected) wait_on_address(&word, &expected, 4);
            released.fetch_add(1);
        });
    }
    word.store(1);
    wake_all_waiters(&word);
    for (std::thread& t : sleepers) t.join();
    EXPECT_EQ(released.load(), 6);
}

// Both lock kinds under heavy contention: every increment of a plain counter survives only if
// the sleeping and waking never lets two holders in or leaves a waiter asleep.
template <typename Lock>
void expect_exclusive(Lock& lock) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 20'000;
    long counter = 0;
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                lock.lock();
                counter = counter + 1;
                lock.unlock();
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(counter, long{kThreads} * kRounds);
}

TEST(PosixAddressWaitTest, PoisonMutexAndRwLockExcludeUnderContention) {
    PoisonMutex mutex;
    expect_exclusive(mutex);
    RwLock rw;
    expect_exclusive(rw);
}

#endif  // TOLM_PLATFORM_ADDRESS_WAIT

}  // namespace
}  // namespace tolm::platform

#endif  // !defined(_WIN32)
