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
    SharedLeases leases(name_, "leases of test", 1000, &clock_);
    // The first request of a client fetches; while it does, the others ask for themselves.
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::fetch);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::ask);
    // A batch of 3 beyond the fetcher's own unit, 10 more left in Redis.
    leases.put("c", 3, 10, 1000, 0);
    for (const double remaining : {12.0, 11.0, 10.0}) {
        const LeaseAnswer answer = leases.take("c", 50);
        EXPECT_EQ(answer.step, LeaseStep::admitted);
        EXPECT_EQ(answer.remaining, remaining);
    }
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::fetch);

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
    advance(1);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::fetch);

    // Units held are spent before a refusal that raced them is answered, and a new batch ends
    // a refusal.
    leases.put("c", 2, 0, 1000, 0);
    leases.put("c", 0, 0, 0, 300);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::admitted);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::admitted);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::refused);
    leases.put("c", 1, 0, 1000, 0);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::admitted);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::fetch);

    // Unspent units are forfeited when the lease expires; a failed fetch puts nothing.
    leases.put("c", 5, 0, 100, 0);
    advance(100);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::fetch);
    leases.put("c", 0, 0, 0, 0);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::fetch);

    // A new batch replaces what was left of the last: the host never holds two.
    leases.put("c", 4, 0, 1000, 0);
    leases.put("c", 2, 0, 1000, 0);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::admitted);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::admitted);
    EXPECT_EQ(step(leases.take("c", 50)), LeaseStep::fetch);
}

TEST_F(SharedLeasesTest, TheOneNumberBindingsReturn) {
    EXPECT_EQ(lease_answer_number({LeaseStep::admitted, 7, 0}), 7);
    EXPECT_EQ(lease_answer_number({LeaseStep::admitted, 0, 0}), 0);
    EXPECT_EQ(lease_answer_number({LeaseStep::fetch}), -1);
    EXPECT_EQ(lease_answer_number({LeaseStep::ask}), -2);
    EXPECT_EQ(lease_answer_number({LeaseStep::refused, 0, 0}), -3);
    EXPECT_EQ(lease_answer_number({LeaseStep::refused, 0, 1500}), -1503);
}

// Clients whose slots hold nothing any more are forgotten as new ones come: a full region of
// one-off clients keeps working.
TEST_F(SharedLeasesTest, SpentSlotsAreForgotten) {
    SharedLeases leases(name_, "leases of test", 64, &clock_);
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
    SharedLeases parent(name_, "leases of token_bucket lease=10", 1000);
    const pid_t child = ::fork();
    if (child == 0) {
        int status = 1;
        try {
            SharedLeases own(name_, "leases of token_bucket lease=10", 1000);
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
    while (parent.take("shared", 1000).step == LeaseStep::admitted) ++admitted;
    EXPECT_EQ(admitted, 6);
    EXPECT_THROW(SharedLeases(name_, "leases of token_bucket lease=20", 1000), SharedRegionError);
}

}  // namespace
}  // namespace tolm::testing
#endif
