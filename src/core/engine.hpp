// The rate-limit engine: its settings, what a check returns, and the Engine that both host
// bindings wrap. The top of the core: it includes the algorithms, the telemetry queue and the
// clock; above it there are only the bindings (and core/reusable_result.hpp, which serves
// them).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "algorithms/fixed_window.hpp"
#include "algorithms/leaky_bucket.hpp"
#include "algorithms/sliding_window.hpp"
#include "algorithms/token_bucket.hpp"
#include "core/clock.hpp"
#include "core/shared_leases.hpp"
#include "core/shared_store.hpp"
#include "core/vocabulary.hpp"
#include "runtime/sync.hpp"
#include "telemetry/queue.hpp"

namespace tolm {

inline constexpr uint64_t kDefaultWindowMs = 60000;

// What an engine is built from, in the order the bindings pass the values. No value is
// ever refused: unknown texts fall back and numbers pass through unchecked.
struct EngineConfig {
    std::string algorithm;     // algorithm name; kept verbatim and reported back
    std::string mode;          // "active", "shadow" or "disabled"; anything else is active
    double capacity = 0.0;     // bucket size, or requests per window for the window algorithms
    double refill_rate = 0.0;  // tokens added (or units drained) per second
    std::optional<std::string> api_key;           // present: every evaluated check is queued
    std::optional<std::string> debug;             // stored, consulted by nothing
    std::optional<uint64_t> requests_per_minute;  // stored, consulted by nothing
    std::optional<uint64_t> requests_per_second;  // stored, consulted by nothing
    std::optional<uint64_t> burst_limit;          // stored, consulted by nothing
    double burst_multiplier = 1.0;                // stored, consulted by nothing
    uint64_t block_duration_ms = 60000;           // stored, consulted by nothing
    std::string backend_url;                      // kept by the telemetry queue, never contacted
    // Window length of the two window algorithms; the public classes always use one minute.
    uint64_t window_ms = kDefaultWindowMs;
    // Most clients a private engine keeps (0: no cap); past it, a new client evicts the one
    // that gives away the least allowance. A shared engine is sized by SharedOptions instead.
    uint64_t max_clients = 0;
};

// Which time an engine's checks read.
enum class ClockChoice : uint8_t {
    wall,       // the wall clock, as the public classes
    monotonic,  // elapsed time anchored to the wall clock once (AnchoredClock)
};

// How Engine::open builds an engine beyond its settings.
struct EngineOptions {
    // Present: the clients' states live in the shared region of that name, sized by
    // EngineConfig::max_clients (then required), and the engine reads the region's clock.
    std::optional<std::string> shared;
    ClockChoice clock = ClockChoice::wall;
    // Above 0 with `shared`: the region holds the host's Redis leases (SharedLeases) of
    // batches of at most lease_units, each spent within lease_ms, and the clients' states stay
    // in the engine's own map (the Redis limiter's fallback, on the clock chosen).
    uint64_t lease_units = 0;
    uint64_t lease_ms = 0;
};

// Counters an operator reads.
struct EngineStats {
    uint64_t evictions = 0;  // clients evicted to stay within max_clients
    uint64_t clients = 0;    // clients currently kept
};

// The limits Engine::open enforces, for the bindings' messages.
inline constexpr uint64_t kMaxWindowMs = uint64_t{1} << 53;
inline constexpr uint64_t kMaxClients = uint64_t{1} << 28;
// The largest lease batch, and the most units a lease slot takes.
inline constexpr uint64_t kMaxLeaseUnits = uint64_t{1} << 53;

// What is wrong with one of Engine::open's settings, worded to follow the setting's name in
// the host's spelling ("window_ms", "windowMs"), or empty when the setting is fine.
std::string algorithm_problem(std::string_view algorithm);
std::string mode_problem(std::string_view mode);
std::string clock_problem(std::string_view clock);
std::optional<ClockChoice> parse_clock(std::string_view text) noexcept;
// A request's cost: positive, at most kMaxCost, and whole for the window algorithms.
std::string cost_problem(Algorithm algorithm, double cost);
inline constexpr double kMaxCost = 9007199254740992.0;  // 2^53
// Units given back or taken by adjust(): at most kMaxCost either way, whole for the window
// algorithms.
std::string units_problem(Algorithm algorithm, double units);
// A whole number in [least, most], given as a double.
std::string whole_number_problem(double value, uint64_t least, uint64_t most);

// What one check returns. Owned by the caller; shares nothing with the engine.
//
// The decision and the reason come twice: as the texts a caller may show, and as the codes
// those texts were made from, so that a host indexing its own cached strings never has to
// turn a text back into a code. The two always agree: `record.decision` is
// to_text(decision_code), `reason` is to_text(*reason_code) when present, and `record.reason`
// is to_text(reason_code.value_or(within_limit)) (when the record is built at all).
struct CheckResult {
    DecisionRecord record;
    std::string algorithm;              // the configured algorithm text, verbatim
    std::string detail;                 // the algorithm's detail, or "disabled"
    std::optional<std::string> reason;  // absent in disabled mode only
    bool allowed = false;               // the request may proceed
    bool would_block = false;           // the algorithm refused it, enforced or not
    Decision decision_code = Decision::allow;
    std::optional<ReasonCode> reason_code;  // absent exactly when `reason` is
    // The verdict's numbers, set on every check whether or not the record is built, for a
    // host that turns them into headers; all absent in disabled mode. See AlgorithmVerdict.
    std::optional<uint64_t> remaining;
    std::optional<uint64_t> admit_after_ms;
    std::optional<uint64_t> whole_after_ms;
};

// A check's outcome in one small integer, as the bindings' lean entries hand it to the
// friendly layers: allowed (bit 0), would_block (bit 1) and the reason above them, where 0
// means none (disabled mode) and 1 + n is ReasonCode n.
constexpr int32_t packed_outcome(const CheckResult& result) noexcept {
    const int32_t reason = result.reason_code ? 1 + static_cast<int32_t>(*result.reason_code) : 0;
    return (result.allowed ? 1 : 0) | (result.would_block ? 2 : 0) | (reason << 2);
}

// Whether the caller of a check reads the result's DecisionRecord. A host that never shows
// the record (Node) passes `unread`: the record's clock reading and text copies then feed
// nothing and are skipped, and `record` is left as it was. An engine with an api key still
// builds the record, because its telemetry event copies it whole.
enum class RecordUse : uint8_t { read, unread };

// Whether the caller reads the result's `detail`. A host that never shows it (Python) passes
// `unread`: the algorithm then skips formatting it and `detail` is left empty, except in
// disabled mode, where it still reads "disabled".
enum class DetailUse : uint8_t { read, unread };

// Whether the caller reads the texts of the result other than the detail: its `algorithm`
// and `reason`, and the record's texts. A host that works from the codes and keeps its own
// strings (both bindings) passes `unread`: those texts are then left as they were instead of
// being copied on every check. The codes are always set; an engine with an api key still
// fills the record's texts, because its telemetry event copies them.
enum class TextUse : uint8_t { read, unread };

Algorithm parse_algorithm(std::string_view text) noexcept;
Mode parse_mode(std::string_view text) noexcept;

class Engine {
  public:
    // `clock` is read by every check (up to three times, see check_into) and must outlive the
    // engine. Production engines read the wall clock; tests pass a clock they steer.
    explicit Engine(EngineConfig config, Clock& clock = wall_clock());

    // An engine whose client states live in the shared-memory region `options.name`, shared
    // with every process of the host that opens that name with the same settings: all of
    // them together decide exactly as one engine would for the interleaved checks. The region
    // is created on first use. `clock` is for tests; by default the engine reads the region's
    // clock (RegionClock), the same time in every process. Throws
    // platform::SharedRegionError, whose text names the region and what is wrong.
    static std::unique_ptr<Engine> open_shared(EngineConfig config, const SharedOptions& options,
                                               Clock* clock = nullptr);
    // Removes the region `name` so that the next open_shared creates it anew; engines that
    // have it open keep theirs. False when there was none (always on Windows, where a region
    // goes with its last user).
    static bool remove_shared(std::string_view name);

    // The engine the friendly layers build: private or shared, on the clock chosen. Expects
    // settings that pass the *_problem checks above (the algorithm and mode named exactly);
    // throws platform::SharedRegionError for a region that cannot be opened, and
    // std::invalid_argument for a shared engine without max_clients.
    static std::unique_ptr<Engine> open(EngineConfig config, const EngineOptions& options);
    // The same, built in place (for a host that keeps the engine inside its own object).
    Engine(EngineConfig config, const EngineOptions& options);

    // Outside any check, under the engine lock like one: forget `key` (a new client's state
    // from now on); give back (units < 0) or take (units > 0) allowance; refuse `key` until
    // duration_ms from now, a block that only reset() ends early; forget every client.
    // `key` is the text checks key by: the identity when given, else the address.
    void reset(std::string_view key);
    void adjust(std::string_view key, double units);
    void block(std::string_view key, uint64_t duration_ms);
    void clear();

    // Evictions and the clients kept. Takes each shard lock in turn: not for the hot path.
    EngineStats stats();

    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Decides one request. `identity`, when present (the empty text included), is the
    // key; otherwise `ip` is. `route` is recorded, never part of the key. `start_ms` is
    // when the caller began handling the request and only feeds latencies. Safe to call
    // from any number of threads. Throws FatalError for a clock before 1970 or a lock
    // poisoned by an earlier failure.
    CheckResult check(std::optional<std::string_view> identity, std::string_view ip,
                      std::string_view route, uint64_t start_ms);

    // The same check, written into `result`, whose texts keep their storage from one call
    // to the next: a binding that keeps one CheckResult per thread allocates nothing on
    // the path of an existing key. Every field of `result` is overwritten.
    void check_into(CheckResult& result, std::optional<std::string_view> identity,
                    std::string_view ip, std::string_view route, uint64_t start_ms,
                    RecordUse record_use = RecordUse::read, DetailUse detail_use = DetailUse::read,
                    TextUse text_use = TextUse::read, double cost = 1.0);

    Algorithm algorithm() const noexcept { return algorithm_kind_; }
    Mode mode() const noexcept { return mode_; }
    const EngineConfig& config() const noexcept { return config_; }
    Clock& clock() const noexcept { return *clock_; }
    const TelemetryQueue& telemetry() const noexcept { return telemetry_; }
    TelemetryQueue& telemetry() noexcept { return telemetry_; }
    // The shared store of an engine made by open_shared, else null. Its evictions() is the
    // operators' count of clients evicted from a full region.
    const SharedStore* shared_store() const noexcept { return shared_.get(); }
    // The host's lease region of an engine opened with lease_units, else null. It keeps its
    // own locks: a binding calls it without the engine's.
    SharedLeases* leases() const noexcept { return leases_.get(); }

  private:
    // Reaches the algorithm's state map, for the core's own tests and benchmarks only
    // (tests/cpp/engine_diagnostics.hpp); no host binding includes it.
    friend struct EngineDiagnostics;

    using AlgorithmObject = std::variant<TokenBucket, SlidingWindow, FixedWindow, LeakyBucket>;
    static_assert(KeyedAlgorithm<TokenBucket> && KeyedAlgorithm<SlidingWindow> &&
                  KeyedAlgorithm<FixedWindow> && KeyedAlgorithm<LeakyBucket>);

    Engine(EngineConfig config, Clock* clock, std::unique_ptr<SharedStore> shared);
    // What Engine(config, options) is made of, built before the settings move in.
    struct Parts {
        std::unique_ptr<SharedStore> shared;
        std::unique_ptr<SharedLeases> leases;
        std::unique_ptr<AnchoredClock> own_clock;
        Clock* clock = nullptr;  // the shared store's, own_clock, or the wall clock
    };
    static Parts make_parts(const EngineConfig& config, const EngineOptions& options);
    Engine(EngineConfig&& config, Parts parts);

    void run_algorithm(std::string_view key, AlgorithmVerdict& verdict);
    void change(std::string_view key, const StateChange& change);
    void cap_private_map() TOLM_NO_THREAD_SAFETY_ANALYSIS;
    // Reads the clock once more and fills `record` from the decision, the verdict (null in
    // disabled mode) and the check's arguments; its texts only when `texts` is set.
    void fill_record(DecisionRecord& record, Decision decision, ReasonCode reason,
                     const AlgorithmVerdict* verdict, std::optional<std::string_view> identity,
                     std::string_view ip, std::string_view route, uint64_t start_ms,
                     bool texts) const;

    EngineConfig config_;  // the settings as configured; `algorithm` is the verbatim text
    Algorithm algorithm_kind_;
    Mode mode_;
    // Owned only when the engine made its own clock (ClockChoice::monotonic).
    std::unique_ptr<AnchoredClock> own_clock_;
    Clock* clock_;  // read without a lock (every Clock is safe to read concurrently)
    // Has its own mutex, taken only after `lock_` is released and never together with
    // another lock.
    TelemetryQueue telemetry_;
    // Serialises the algorithm step of every active and shadow check, and only that step.
    // Taken first: the algorithm takes one shard lock of its state map inside it, never the
    // reverse. Poisoned for good when a fatal failure unwinds through a holder.
    PoisonMutex lock_;
    AlgorithmObject algorithm_object_ TOLM_GUARDED_BY(lock_);
    uint64_t cleared_evictions_ TOLM_GUARDED_BY(lock_) = 0;  // evictions of maps clear() dropped
    // Present for a shared engine: the algorithm then keeps its states there instead of in
    // its own map. Also owns the region's clock.
    std::unique_ptr<SharedStore> shared_;
    std::unique_ptr<SharedLeases> leases_;
};

}  // namespace tolm
