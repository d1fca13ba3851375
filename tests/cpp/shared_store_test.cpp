// Engines sharing their client states through a named region: real processes (fork), real
// regions. Each test works on a region of its own name and removes it afterwards. Linux only:
// the Windows side has its own two-process test under tests/windows.
#if !defined(_WIN32)
#include "core/shared_store.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "store/shared_state_map.hpp"
#include "test_support.hpp"

namespace tolm::testing {
namespace {

using platform::SharedRegionError;

// Runs `body` in a child process; its return value is the child's exit status.
pid_t spawn(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int status = 97;
        try {
            status = body();
        } catch (...) {
            status = 98;
        }
        ::_exit(status);
    }
    return pid;
}

// The child's exit status, or 128 + the signal that ended it.
int wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void write_u64(int fd, uint64_t value) {
    ASSERT_EQ(::write(fd, &value, sizeof value), static_cast<ssize_t>(sizeof value));
}
uint64_t read_u64(int fd) {
    uint64_t value = 0;
    size_t got = 0;
    while (got < sizeof value) {
        const ssize_t n = ::read(fd, reinterpret_cast<char*>(&value) + got, sizeof value - got);
        if (n <= 0) return UINT64_MAX;
        got += static_cast<size_t>(n);
    }
    return value;
}

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe(fds), 0); }
    ~Pipe() {
        close_read();
        close_write();
    }
    int read_end() const { return fds[0]; }
    int write_end() const { return fds[1]; }
    void close_read() {
        if (fds[0] >= 0) ::close(std::exchange(fds[0], -1));
    }
    void close_write() {
        if (fds[1] >= 0) ::close(std::exchange(fds[1], -1));
    }
};

class SharedStoreTest : public SharedRegionTest {
  protected:
    std::unique_ptr<Engine> open(const std::string& algorithm, double capacity, double refill,
                                 uint64_t max_clients = 1000, Clock* clock = nullptr) {
        return Engine::open_shared(make_config(algorithm, capacity, refill),
                                   SharedOptions{name_, max_clients}, clock);
    }
    std::string path() const { return "/dev/shm/tolm." + name_; }

    // The number of checks of `key` that `engine` allows out of `count`.
    static uint64_t allowed(Engine& engine, std::string_view key, int count) {
        uint64_t admitted = 0;
        for (int i = 0; i < count; ++i) {
            admitted += engine.check(key, "10.0.0.1", "/", 0).allowed ? 1 : 0;
        }
        return admitted;
    }
};

// Checks from several processes on one key admit exactly the capacity, whether each process
// opens the region itself (fork before opening: gunicorn without --preload, uvicorn, Node's
// cluster) or inherits an engine opened before fork (--preload); keys other processes do not
// touch keep exact counts of their own.
TEST_F(SharedStoreTest, ProcessesTogetherAdmitExactlyTheCapacity) {
    constexpr int kProcesses = 4;
    for (const bool inherited : {false, true}) {
        SCOPED_TRACE(inherited ? "opened before fork" : "opened in each process");
        Engine::remove_shared(name_);
        std::unique_ptr<Engine> before = inherited ? open("token_bucket", 37, 0) : nullptr;
        Pipe results;
        std::vector<pid_t> children;
        for (int p = 0; p < kProcesses; ++p) {
            children.push_back(spawn([&, p] {
                results.close_read();
                std::unique_ptr<Engine> own = inherited ? nullptr : open("token_bucket", 37, 0);
                Engine& engine = inherited ? *before : *own;
                write_u64(results.write_end(), allowed(engine, "shared-client", 25));
                // A key of this process alone: 37 of 40.
                return allowed(engine, "own-" + std::to_string(p), 40) == 37 ? 0 : 1;
            }));
        }
        results.close_write();
        uint64_t total = 0;
        for (int p = 0; p < kProcesses; ++p) total += read_u64(results.read_end());
        for (const pid_t child : children) EXPECT_EQ(wait_for(child), 0);
        EXPECT_EQ(total, 37u);
        auto engine = open("token_bucket", 37, 0);
        EXPECT_EQ(engine->shared_store()->size(), kProcesses + 1u);
        EXPECT_EQ(engine->shared_store()->verify(), "");
    }
}

// Processes that create one region at the same moment end up in one region: one of them
// creates it, the others open it, and their checks add up.
TEST_F(SharedStoreTest, SimultaneousCreatorsEndUpInOneRegion) {
    constexpr int kProcesses = 6;
    Pipe start, results;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(spawn([&] {
            start.close_write();
            results.close_read();
            char go = 0;
            if (::read(start.read_end(), &go, 1) != 0) return 2;  // wait for the start
            auto engine = open("fixed_window", 100, 0);
            engine->check(std::nullopt, "k", "/", 0);
            write_u64(results.write_end(), engine->shared_store()->created() ? 1 : 0);
            return 0;
        }));
    }
    start.close_read();
    start.close_write();  // every child's read returns at once
    results.close_write();
    uint64_t creators = 0;
    for (int p = 0; p < kProcesses; ++p) creators += read_u64(results.read_end());
    for (const pid_t child : children) EXPECT_EQ(wait_for(child), 0);
    EXPECT_EQ(creators, 1u);
    auto engine = open("fixed_window", 100, 0);
    EXPECT_FALSE(engine->shared_store()->created());
    EXPECT_EQ(engine->check(std::nullopt, "k", "/", 0).record.remaining, 100u - kProcesses - 1);
}

// A process killed while it holds a shard's lock, in the middle of a check, leaves neither a
// hang nor a broken table: the next process to take that lock rebuilds the shard, the key the
// dead process was checking starts again as a new key, and every other key keeps its exact
// count.
TEST_F(SharedStoreTest, HolderKilledInsideTheCriticalSection) {
    auto engine = open("token_bucket", 10, 0);
    for (int i = 0; i < 300; ++i) {
        const std::string key = "client-" + std::to_string(i);
        for (int n = 0; n < 3; ++n) engine->check(key, "ip", "/", 0);
    }
    engine->check(std::string_view("victim"), "ip", "/", 0);

    Pipe stopped;
    const pid_t holder = spawn([&] {
        stopped.close_read();
        static int signal_fd = -1;
        signal_fd = stopped.write_end();
        shared_store_testing::set_pause_hook([](std::string_view key) {
            if (key != "victim") return;
            const char byte = 1;
            if (::write(signal_fd, &byte, 1) != 1) ::_exit(3);
            for (;;) ::pause();  // killed here, holding the lock
        });
        auto own = open("token_bucket", 10, 0);
        own->check(std::string_view("victim"), "ip", "/", 0);
        return 4;  // never reached
    });
    stopped.close_write();
    char byte = 0;
    ASSERT_EQ(::read(stopped.read_end(), &byte, 1), 1);
    ASSERT_EQ(::kill(holder, SIGKILL), 0);
    EXPECT_EQ(wait_for(holder), 128 + SIGKILL);

    // Another process goes on; the alarm turns a hang into a failure.
    const pid_t survivor = spawn([&] {
        ::alarm(20);
        auto own = open("token_bucket", 10, 0);
        const CheckResult victim = own->check(std::string_view("victim"), "ip", "/", 0);
        if (!victim.allowed || victim.record.remaining != 9u) return 1;  // a new key again
        for (int i = 0; i < 300; ++i) {
            const CheckResult r = own->check("client-" + std::to_string(i), "ip", "/", 0);
            if (!r.allowed || r.record.remaining != 6u) return 2;
        }
        return own->shared_store()->verify().empty() ? 0 : 3;
    });
    EXPECT_EQ(wait_for(survivor), 0);
    EXPECT_EQ(engine->shared_store()->repairs(), 1u);
    EXPECT_EQ(engine->shared_store()->verify(), "");
}

// Within one process a shared engine decides exactly as a private one, check by check, for
// each algorithm, through new keys, long keys (kept as digests), refills and
// the removal of recovered keys.
TEST_F(SharedStoreTest, DecidesExactlyAsAPrivateEngine) {
    for (const char* algorithm :
         {"token_bucket", "fixed_window", "leaky_bucket", "sliding_window"}) {
        SCOPED_TRACE(algorithm);
        Engine::remove_shared(name_);
        ManualClock private_clock, shared_clock;
        Engine reference(make_config(algorithm, 5, 2), private_clock);
        auto shared = open(algorithm, 5, 2, 1000, &shared_clock);
        std::mt19937_64 random(7);
        std::vector<std::string> keys;
        for (int i = 0; i < 40; ++i) {
            keys.push_back(i % 3 == 0 ? std::string(40 + i, 'k') + std::to_string(i)
                                      : "10.1.0." + std::to_string(i));
        }
        for (int step = 0; step < 4000; ++step) {
            if (random() % 8 == 0) {
                const int64_t delta = static_cast<int64_t>(random() % 700);
                private_clock.advance_ms(delta);
                shared_clock.advance_ms(delta);
            }
            if (step == 2000) {  // long enough for every key to recover
                private_clock.advance_ms(120000);
                shared_clock.advance_ms(120000);
            }
            const std::string& key = keys[random() % keys.size()];
            const CheckResult a = reference.check(key, "ip", "/", 0);
            const CheckResult b = shared->check(key, "ip", "/", 0);
            ASSERT_EQ(a.allowed, b.allowed) << "step " << step;
            ASSERT_EQ(a.detail, b.detail) << "step " << step;
            ASSERT_EQ(a.record.remaining, b.record.remaining) << "step " << step;
            ASSERT_EQ(a.record.retry_after_ms, b.record.retry_after_ms) << "step " << step;
            ASSERT_EQ(a.record.reset_after_ms, b.record.reset_after_ms) << "step " << step;
        }
        EXPECT_EQ(shared->shared_store()->verify(), "");
        EXPECT_EQ(shared->shared_store()->evictions(), 0u);
    }
}

// A full region never fails a check. Clients that will not recover for a while are evicted,
// one per new client, and counted; recovered clients are forgotten first, uncounted; among
// unrecovered ones the client nearest to recovery goes, and the new client never does.
TEST_F(SharedStoreTest, FullRegionEvictsAndCounts) {
    ManualClock clock;
    auto engine = open("fixed_window", 3, 0, 64, &clock);
    const SharedStore& store = *engine->shared_store();
    auto fill = [&](const std::string& prefix, uint64_t count) {
        for (uint64_t i = 0; i < count; ++i) {
            ASSERT_TRUE(engine->check(prefix + std::to_string(i), "ip", "/", 0).allowed);
        }
    };
    // Every window runs for a minute: nothing recovers in this phase.
    fill("a", 2000);
    const uint64_t room = store.size();
    EXPECT_GE(room, 64u);
    EXPECT_EQ(store.evictions(), 2000 - room);
    EXPECT_EQ(store.verify(), "");

    // A minute later every a client has recovered: new clients take their room, and that is
    // no eviction.
    clock.advance_ms(60000);
    uint64_t evicted = store.evictions();
    fill("b", room / 3);
    EXPECT_EQ(store.evictions(), evicted);
    for (uint64_t i = 0; i < room / 3; ++i) EXPECT_TRUE(store.contains("b" + std::to_string(i)));

    // Refill the region with clients whose windows open now...
    fill("x", 2000);
    // ...and half a minute later new clients evict those (30 s from recovery), never each
    // other (60 s).
    clock.advance_ms(30000);
    evicted = store.evictions();
    fill("y", room / 3);
    EXPECT_EQ(store.evictions(), evicted + room / 3);
    for (uint64_t i = 0; i < room / 3; ++i) {
        EXPECT_TRUE(store.contains("y" + std::to_string(i))) << i;
    }
    EXPECT_EQ(store.verify(), "");
}

// The eviction measure of each algorithm: 0 exactly when the state is recovered, otherwise
// the time until it is (so the sample's smallest gives away the least).
TEST(EvictionMeasureTest, DistanceIsTheTimeUntilRecovery) {
    const uint64_t t = 1'000'000;
    const TokenBucketRecovery bucket(10, 2);  // 2 tokens a second
    EXPECT_EQ(bucket.distance(TokenBucketState{4, t}, t), 3000u);
    EXPECT_EQ(bucket.distance(TokenBucketState{4, t}, t + 3000), 0u);
    EXPECT_FALSE(bucket(TokenBucketState{4, t}, t + 2999));
    EXPECT_EQ(bucket.distance(TokenBucketState{4, t}, t + 2999), 1u);
    EXPECT_EQ(TokenBucketRecovery(10, 0).distance(TokenBucketState{4, t}, t), UINT64_MAX);

    const LeakyBucketRecovery leaky(10, 4);  // drains 4 a second
    EXPECT_EQ(leaky.distance(LeakyBucketState{6, t}, t), 1500u);
    EXPECT_EQ(leaky.distance(LeakyBucketState{6, t}, t + 1500), 0u);

    const FixedWindowRecovery window(60000);
    EXPECT_EQ(window.distance(FixedWindowState{3, t}, t + 20000), 40000u);
    EXPECT_EQ(window.distance(FixedWindowState{3, t}, t + 60000), 0u);
    EXPECT_EQ(window.distance(FixedWindowState{3, t + 500}, t), 60500u);  // clock behind

    const SlidingWindowRecovery sliding(60000);
    SlidingWindowState queue;
    queue.timestamps.push_back(t);
    queue.timestamps.push_back(t + 10000);
    EXPECT_EQ(sliding.distance(queue, t + 30000), 40001u);
    EXPECT_EQ(sliding.distance(queue, t + 70001), 0u);
    EXPECT_TRUE(sliding(queue, t + 70001));
}

// A region outlives its engines (it is kept until removed): a later open finds the states,
// and after removal a new region starts empty.
TEST_F(SharedStoreTest, RegionOutlivesItsEnginesUntilRemoved) {
    {
        auto first = open("token_bucket", 5, 0);
        EXPECT_TRUE(first->shared_store()->created());
        allowed(*first, "k", 3);
    }
    auto again = open("token_bucket", 5, 0);
    EXPECT_FALSE(again->shared_store()->created());
    EXPECT_EQ(allowed(*again, "k", 5), 2u);
    EXPECT_TRUE(Engine::remove_shared(name_));
    EXPECT_FALSE(Engine::remove_shared(name_));
    auto fresh = open("token_bucket", 5, 0);
    EXPECT_TRUE(fresh->shared_store()->created());
    EXPECT_EQ(allowed(*fresh, "k", 6), 5u);
    // The engine opened before the removal keeps its region.
    EXPECT_EQ(allowed(*again, "k", 1), 0u);
}

// A creator killed before it published its region leaves a draft behind; the next creator
// removes drafts whose process is gone, and keeps those of live processes.
TEST_F(SharedStoreTest, DraftsOfDeadCreatorsAreRemoved) {
    const pid_t gone = spawn([] { return 0; });
    ASSERT_EQ(wait_for(gone), 0);
    const std::string dead = path() + ".new." + std::to_string(gone) + ".00ff";
    const std::string live = path() + ".new." + std::to_string(::getpid()) + ".00ff";
    for (const std::string& draft : {dead, live}) {
        const int fd = ::open(draft.c_str(), O_CREAT | O_RDWR, 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    open("token_bucket", 1, 1);
    EXPECT_NE(::access(dead.c_str(), F_OK), 0);
    EXPECT_EQ(::access(live.c_str(), F_OK), 0);
    ::unlink(live.c_str());
}

// Opening an existing region with other settings is refused with both sides named; so is a
// region with another layout version, a damaged one, and what a region cannot hold.
TEST_F(SharedStoreTest, MismatchesAndDamageAreRefusedAtOpen) {
    auto expect_refused = [&](const std::function<void()>& opening,
                              const std::vector<std::string>& words) {
        try {
            opening();
            ADD_FAILURE() << "opened";
        } catch (const SharedRegionError& error) {
            for (const std::string& word : words) {
                EXPECT_NE(std::string(error.what()).find(word), std::string::npos)
                    << error.what() << " lacks " << word;
            }
        }
    };
    auto existing = open("token_bucket", 10, 1.5);
    expect_refused([&] { open("token_bucket", 20, 1.5); },
                   {name_, "capacity=10 refill_rate=1.5", "capacity=20 refill_rate=1.5"});
    expect_refused([&] { open("leaky_bucket", 10, 1.5); }, {"token_bucket", "leaky_bucket"});
    expect_refused([&] { open("token_bucket", 10, 1.5, 2000); },
                   {"max_clients=1000", "max_clients=2000"});
    existing.reset();

    auto damage = [&](off_t offset, const void* bytes, size_t size) {
        const int fd = ::open(path().c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, bytes, size, offset), static_cast<ssize_t>(size));
        ::close(fd);
    };
    const uint32_t other_version = 99;
    damage(8, &other_version, sizeof other_version);
    expect_refused([&] { open("token_bucket", 10, 1.5); },
                   {"layout version 99", "layout version 1"});
    damage(0, "NOTTOLM!", 8);
    expect_refused([&] { open("token_bucket", 10, 1.5); }, {"wrong magic"});
    ASSERT_EQ(::truncate(path().c_str(), 4096), 0);
    expect_refused([&] { open("token_bucket", 10, 1.5); }, {name_});
    ASSERT_EQ(::truncate(path().c_str(), 0), 0);
    expect_refused([&] { open("token_bucket", 10, 1.5); }, {"empty"});

    // A region that is whole but shorter than its header says.
    Engine::remove_shared(name_);
    open("token_bucket", 10, 1.5);
    ASSERT_EQ(::truncate(path().c_str(), 8192), 0);
    expect_refused([&] { open("token_bucket", 10, 1.5); }, {"truncated", "8192"});

    Engine::remove_shared(name_);
    expect_refused([&] { open("sliding_window", 1e6, 0); }, {"sliding_window", "65536"});
}

TEST_F(SharedStoreTest, BadNamesAndSizesAreRefused) {
    for (const std::string& bad :
         {std::string(), std::string("a/b"), std::string("a\\b"), std::string("with space"),
          std::string(201, 'n'), std::string("tab\there")}) {
        EXPECT_THROW(Engine::open_shared(make_config("token_bucket", 1, 1), SharedOptions{bad, 10}),
                     SharedRegionError)
            << bad;
    }
    EXPECT_NO_THROW(Engine::open_shared(make_config("token_bucket", 1, 1),
                                        SharedOptions{std::string(200, 'n'), 10}));
    Engine::remove_shared(std::string(200, 'n'));
    for (const uint64_t size : {uint64_t{0}, kMaxSharedClients + 1, UINT64_MAX}) {
        EXPECT_THROW(open("token_bucket", 1, 1, size), SharedRegionError) << size;
    }
    EXPECT_NE(::access(path().c_str(), F_OK), 0);  // nothing was left behind
}

// Only the creating user may open a region.
TEST_F(SharedStoreTest, RegionIsPrivateToItsUser) {
    auto engine = open("token_bucket", 1, 1);
    struct stat info {};
    ASSERT_EQ(::stat(path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace tolm::testing

#endif  // !defined(_WIN32)
