// SharedLeases: the Redis leases of one host, kept in a named shared region so that every
// worker of the host spends the same batches and sees the same refusals. The friendly layers'
// Redis limiters do the network part; this region only remembers, per client, what the host
// holds.
//
// A lease is a batch of a client's allowance that a Redis script granted. With leases held
// per process, every process of every host is a holder; with the host's region, each host is
// one, so the bound on over-admission (holders x batch) counts hosts, not processes.
//
// Per client, under the region's shard lock:
// - units left from the batch, spent one per request until the lease expires;
// - a refusal Redis answered, refused locally until the client may retry;
// - a fetch in progress: a process asks Redis for the next batch, outside the lock, and puts
//   it in. The request that takes the batch below a quarter of the largest batch starts it,
//   while units remain, so that the others rarely find the host empty; a request that does
//   find it empty fetches itself. Others that find it empty while a fetch is in progress ask
//   Redis for their own request alone rather than wait on another process. A fetch that
//   outlives its deadline (its process died, Redis is slow) is taken over by the next request.
// The host never holds more than the largest batch: a fetch asks for what is missing, and
// a put adds to the units still held up to that size (units beyond it are lost: fewer
// admissions, never more). Units held are spent before a refusal is answered: a request
// another worker asked for alone may be refused while the fetcher's batch arrives.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/clock.hpp"
#include "store/shared_state_map.hpp"

namespace tolm {

// A client's lease in the region. Times are the region's clock, in ms.
struct LeaseSlot {
    double units;                // units left of the batch
    double remaining;            // the allowance Redis reported left when it granted the batch
    uint64_t expires_ms;         // when unspent units are forfeited
    uint64_t refused_until_ms;   // before this, the client is refused without asking Redis
    uint64_t fetching_until_ms;  // before this, a process is fetching a batch for the client
};
static_assert(sizeof(LeaseSlot) == 40);

// When a client's lease slot holds nothing that can change a decision, so that the region may
// forget it, and how far a slot is from that (for eviction: the nearest goes first).
class LeaseRecovery {
  public:
    bool possible() const noexcept { return true; }
    bool operator()(const LeaseSlot& slot, uint64_t now) const noexcept;
    uint64_t distance(const LeaseSlot& slot, uint64_t now) const noexcept;
};

// What a request finds in its client's lease. The bindings hand the values on as they are.
enum class LeaseStep : uint8_t {
    admitted = 0,        // a unit was taken from the batch
    refused = 1,         // Redis refused the client until `wait_ms` from now
    fetch = 2,           // the caller is to fetch `want` units from Redis, one for itself
    ask = 3,             // another process is fetching: the caller asks for this request alone
    admitted_fetch = 4,  // admitted, and the caller is to fetch `want` units for the host
};

struct LeaseAnswer {
    LeaseStep step;
    double remaining = 0;  // admitted: the allowance left, as far as this host knows
    uint64_t wait_ms = 0;  // refused: until the client may retry
    uint64_t want = 0;     // fetch: the units to ask Redis for
};

// What a binding hands its friendly layer beside the step: the allowance left when admitted,
// the wait in ms when refused, 0 otherwise.
double lease_answer_value(const LeaseAnswer& answer) noexcept;

class SharedLeases {
  public:
    // Opens or creates the region `name` for `max_clients` clients of the limit `description`
    // names (its algorithm, numbers, batch size and lease lifetime), with batches of at most
    // `most_units` (>= 1). Throws SharedRegionError as SharedStore does: another layout,
    // other settings, a bad name or size. `clock` is for tests; by default the region's own
    // clock, the same in every process.
    SharedLeases(std::string_view name, const std::string& description, uint64_t max_clients,
                 uint64_t most_units, Clock* clock = nullptr);

    // Takes a unit for one request of `key`, or says what the caller must do instead. A
    // fetch started here is another process's to take over after `fetch_budget_ms`.
    LeaseAnswer take(std::string_view key, uint64_t fetch_budget_ms);

    // What Redis answered the caller's fetch (or, refused, any request of `key`): `units`
    // for the host to spend within `lifetime_ms`, added to those still held up to the largest
    // batch, with `remaining` left beyond them (which ends a refusal); or, when `refused_ms`
    // > 0, a refusal for that long, answered once the units held are spent. Ends the fetch in
    // progress either way; a fetch that failed puts nothing (all zeros).
    void put(std::string_view key, double units, double remaining, uint64_t lifetime_ms,
             uint64_t refused_ms);

    uint64_t size() const { return map_.size(); }
    uint64_t evictions() const { return map_.evictions(); }
    AnchoredClock& clock() noexcept { return clock_; }

  private:
    SharedStateMap<LeaseSlot> map_;
    AnchoredClock clock_;
    Clock* reading_;  // clock_, or a test's clock
    double most_units_;
};

}  // namespace tolm
