// The Windows platform layer, run under Wine: clock conversion, random bytes, the address
// wait behind the locks, and the failure report's thread name and standard-error output.
#include "runtime/platform.hpp"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.hpp"
#include "runtime/fatal.hpp"
#include "runtime/sync.hpp"

namespace tolm::platform {
namespace {

constexpr uint64_t kTicksPerSecond = 10'000'000;

struct FileTimeCase {
    uint64_t ticks_since_1601;
    int64_t seconds;
    int64_t nanoseconds;
};

TEST(WindowsWallClockTest, FileTimeConvertsToSecondsSince1970RoundedTowardThePast) {
    const FileTimeCase cases[] = {
        {kFileTimeTicksBefore1970, 0, 0},
        {kFileTimeTicksBefore1970 + 1, 0, 100},
        {kFileTimeTicksBefore1970 - 1, -1, 999'999'900},
        {kFileTimeTicksBefore1970 - kTicksPerSecond, -1, 0},
        {0, -11'644'473'600, 0},
        {kFileTimeTicksBefore1970 + 1'700'000'000 * kTicksPerSecond + 1'234'567, 1'700'000'000,
         123'456'700},
    };
    for (const FileTimeCase& c : cases) {
        const WallClockReading reading = wall_clock_from_file_time(c.ticks_since_1601);
        EXPECT_EQ(std::make_pair(reading.seconds, reading.nanoseconds),
                  std::make_pair(c.seconds, c.nanoseconds))
            << "ticks " << c.ticks_since_1601;
    }
}

TEST(WindowsWallClockTest, ReadingAgreesWithTheCLibraryClock) {
    const std::time_t before = std::time(nullptr);
    const WallClockReading reading = read_wall_clock();
    const uint64_t ms = wall_clock().now_ms();
    const std::time_t after = std::time(nullptr);
    EXPECT_GE(reading.seconds, before);
    EXPECT_LE(reading.seconds, after);
    EXPECT_GE(reading.nanoseconds, 0);
    EXPECT_LT(reading.nanoseconds, 1'000'000'000);
    EXPECT_GE(ms / 1000, static_cast<uint64_t>(before));
    EXPECT_LE(ms / 1000, static_cast<uint64_t>(after));
}

TEST(WindowsSystemTest, ProcessorsAndRandomBytes) {
    EXPECT_GE(logical_processor_count(), 1u);

    std::array<unsigned char, 32> first{}, second{};
    fill_random(first.data(), first.size());
    fill_random(second.data(), second.size());
    EXPECT_NE(first, second);

    // Every part of a larger request is filled, not only its start.
    std::vector<unsigned char> large(1 << 20, 0);
    fill_random(large.data(), large.size());
    const auto tail = large.end() - 64;
    EXPECT_TRUE(std::any_of(tail, large.end(), [](unsigned char b) { return b != 0; }));
}

TEST(WindowsAddressWaitTest, WaitReturnsAtOnceWhenTheWordAlreadyDiffers) {
    std::atomic<uint32_t> word{1};
    const uint32_t expected = 0;
    wait_on_address(&word, &expected, sizeof expected);  // would block forever otherwise
    SUCCEED();
}

TEST(WindowsAddressWaitTest, WakeAllReleasesEverySleeper) {
    std::atomic<uint32_t> word{0};
    std::atomic<int> released{0};
    std::vector<std::thread> sleepers;
    for (int i = 0; i < 4; ++i) {
        sleepers.emplace_back([&] {
            const uint32_t expected = 0;
            while (word.load() == expected) wait_on_address(&word, &expected, sizeof expected);
            released.fetch_add(1);
        });
    }
    word.store(1);
    wake_all_waiters(&word);
    for (std::thread& t : sleepers) t.join();
    EXPECT_EQ(released.load(), 4);
}

// Both lock kinds under heavy contention: every increment of a plain counter survives only
// if the sleeping and waking never lets two holders in or leaves a waiter asleep.
template <typename Lock>
void expect_exclusive(Lock& lock) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 20'000;
    long counter = 0;
    std::vector<std::thread> threads;
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

TEST(WindowsLockTest, PoisonMutexAndRwLockExcludeUnderContention) {
    PoisonMutex mutex;
    expect_exclusive(mutex);
    RwLock rw;
    expect_exclusive(rw);
}

// Points standard error at a pipe for one scope and returns what was written.
class CapturedStderr {
  public:
    CapturedStderr() {
        SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
        EXPECT_TRUE(::CreatePipe(&read_, &write_, &attributes, 1 << 16));
        saved_ = ::GetStdHandle(STD_ERROR_HANDLE);
        ::SetStdHandle(STD_ERROR_HANDLE, write_);
    }
    ~CapturedStderr() {
        restore();
        ::CloseHandle(read_);
    }
    std::string take() {
        restore();
        std::string out;
        char buffer[4096];
        DWORD n = 0;
        while (::ReadFile(read_, buffer, sizeof buffer, &n, nullptr) && n > 0)
            out.append(buffer, n);
        return out;
    }

  private:
    void restore() {
        if (write_ == nullptr) return;
        ::SetStdHandle(STD_ERROR_HANDLE, saved_);
        ::CloseHandle(write_);
        write_ = nullptr;
    }
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
    HANDLE saved_ = nullptr;
};

// Not declared by every mingw-w64 release, so looked up as the library looks up its reader.
void set_thread_description(const wchar_t* name) {
    using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    const auto set = reinterpret_cast<SetThreadDescriptionFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    ASSERT_NE(set, nullptr);
    ASSERT_TRUE(SUCCEEDED(set(::GetCurrentThread(), name)));
}

TEST(WindowsFatalReportTest, NamesTheThreadInUtf8AndWritesTheReportToStandardError) {
    std::string report;
    std::string thrown;
    std::thread worker([&] {
        set_thread_description(L"w\u00f6rker-\u03bb");
        CapturedStderr captured;
        try {
            raise_fatal("clock went backwards");
        } catch (const FatalError& error) {
            thrown = error.message();
        }
        report = captured.take();
    });
    worker.join();
    EXPECT_EQ(thrown, "clock went backwards");
    EXPECT_EQ(report.rfind("thread 'w\xc3\xb6rker-\xce\xbb' failed fatally at ", 0), 0u) << report;
    EXPECT_NE(report.find("platform_test.cpp:"), std::string::npos) << report;
    EXPECT_TRUE(report.ends_with(":\nclock went backwards\n")) << report;
}

TEST(WindowsFatalReportTest, ThreadWithoutANameReportsAsUnnamed) {
    std::string name;
    std::thread([&] { name = current_thread_name(); }).join();
    EXPECT_EQ(name, "<unnamed>");
}

}  // namespace
}  // namespace tolm::platform
