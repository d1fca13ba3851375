// A host's Redis leases in a named region: what a request finds (a unit, a refusal, a fetch to
// make or to leave to another process) as batches are put, spent and expire, and the region
// shared between processes. Linux only, like the shared store's tests (real regions).
#if !defined(_WIN32)
#include "core/shared_leases.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "core/engine.hpp"
#include "test_support.hpp"

namespace tolm::testing {
namespace {

using SharedLeasesTest = SharedRegionTest;

LeaseStep step(const LeaseAnswer& answer) {
    return answer.step;
}

TEST_F(SharedLeasesTest, BatchesAreSpentRefusalsKeptAndFetchesTakenOver) {
    SharedLeases leases(name_, "leases of test", 1000, 4, &clock_);
    // The first request of a client fetches a whole batch; while it does, the others ask
    // for themselves.
    const LeaseAnswer first = leases.take("c", 50);
    EXPECT_EQ(first.step, LeaseStep::fetch);
    EXPECT_EQ(first.want, 4u);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::ask);
    // 3 units beyond the fetcher's own, 10 more left in Redis. The request that leaves the
    // host under a quarter of a batch fetches the next while it is admitted.
    leases.put("c", 3, 10, 1000, 0);
    for (const double remaining : {12.0, 11.0}) {
        const LeaseAnswer answer = leases.take("c", 50);
        EXPECT_EQ(answer.step, LeaseStep::admitted);
        EXPECT_EQ(answer.remaining, remaining);
    }
    const LeaseAnswer last = leases.take("c", 50);
    EXPECT_EQ(last.step, LeaseStep::admitted_fetch);
    EXPECT_EQ(last.remaining, 10);
    EXPECT_EQ(last.want, 4u);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::ask);

    // A fetch whose process went quiet is taken over once its budget has passed.
    advance(49);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::ask);
    advance(1);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::fetch);

    // A refusal holds every request until the client may retry, then a fetch.
    leases.put("c", 0, 0, 0, 400);
    advance(399);
    const LeaseAnswer refused = leases.take("c", 50);
    EXPECT_EQ(refused.step, LeaseStep::refused);
    EXPECT_EQ(refused.wait_ms, 1u);
    EXPECT_EQ(lease_answer_value(refused), 1);
    advance(1);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::fetch);

    // Units held are spent before a refusal that raced them is answered (with no fetch ahead
    // of a refusal), and a new batch ends a refusal.
    leases.put("c", 2, 0, 1000, 0);
    leases.put("c", 0, 0, 0, 300);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::admitted);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::admitted);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::refused);
    leases.put("c", 1, 0, 1000, 0);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::admitted_fetch);

    // Unspent units are forfeited when the lease expires; a failed fetch puts nothing.
    leases.put("c", 3, 0, 100, 0);
    advance(100);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::fetch);
    leases.put("c", 0, 0, 0, 0);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::fetch);

    // Batches add up to a whole batch at most: a late put of a fetch taken over cannot make
    // the host hold more.
    leases.put("c", 3, 0, 1000, 0);
    leases.put("c", 3, 0, 1000, 0);
    int admitted = 0;
    while (leases.take("c", 50).step != LeaseStep::ask) ++admitted;
    EXPECT_EQ(admitted, 4);
}

// One worker of a host fetching ahead, each batch arriving one request after it was asked
// for: no request finds the host empty, and the host never holds more than a batch.
TEST_F(SharedLeasesTest, FetchingAheadKeepsTheHostFromRunningEmpty) {
    constexpr uint64_t kBatch = 8;
    SharedLeases leases(name_, "leases of test", 1000, kBatch, &clock_);
    ASSERT_EQ(step(leases.take("w", 50)), LeaseStep::fetch);
    leases.put("w", kBatch - 1, 1000, 1000, 0);
    uint64_t put = kBatch, admitted = 1, due_in = 0, owed = 0;
    for (int i = 0; i < 200; ++i) {
        const LeaseAnswer answer = leases.take("w", 50);
        ASSERT_TRUE(answer.step == LeaseStep::admitted || answer.step == LeaseStep::admitted_fetch)
            << "request " << i;
        ++admitted;
        if (answer.step == LeaseStep::admitted_fetch) {
            owed = answer.want;
            due_in = 1;
        } else if (owed != 0 && --due_in == 0) {
            leases.put("w", static_cast<double>(owed), 1000, 1000, 0);
            put += owed;
            owed = 0;
        }
        ASSERT_LE(put - admitted, kBatch);
    }
}

// Clients whose slots hold nothing any more are forgotten as new ones come: a full region of
// one-off clients keeps working.
TEST_F(SharedLeasesTest, SpentSlotsAreForgotten) {
    SharedLeases leases(name_, "leases of test", 64, 1, &clock_);
    for (int i = 0; i < 2000; ++i) {
        const std::string key = "k" + std::to_string(i);
        ASSERT_EQ(step(leases.take(key, 10)), LeaseStep::fetch);
        leases.put(key, 1, 0, 5, 0);
        advance(10);
    }
    EXPECT_LE(leases.size(), 64u);
    EXPECT_EQ(leases.evictions(), 0u);
}

// Workers of one host spend one batch: a batch put by one process is taken by another, and a
// region opened for other lease settings is refused.
TEST_F(SharedLeasesTest, ProcessesShareOneRegion) {
    SharedLeases parent(name_, "leases of token_bucket lease=10", 1000, 10);
    const pid_t child = ::fork();
    if (child == 0) {
        int status = 1;
        try {
            SharedLeases own(name_, "leases of token_bucket lease=10", 1000, 10);
            if (own.take("shared", 1000).step == LeaseStep::fetch) {
                own.put("shared", 6, 0, 60000, 0);
                status = 0;
            }
        } catch (...) {
            status = 2;
        }
        ::_exit(status);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    int admitted = 0;
    for (LeaseStep got = parent.take("shared", 1000).step;
         got == LeaseStep::admitted || got == LeaseStep::admitted_fetch;
         got = parent.take("shared", 1000).step) {
        ++admitted;
    }
    EXPECT_EQ(admitted, 6);
    EXPECT_THROW(SharedLeases(name_, "leases of token_bucket lease=20", 1000, 20),
                 SharedRegionError);
}

}  // namespace
}  // namespace tolm::testing
#endif
