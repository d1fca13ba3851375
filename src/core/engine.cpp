#include "core/engine.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>

#include "runtime/fatal.hpp"

namespace tolm {
namespace {

// Overwrites `target` with a copy of `source`, reusing the target's text storage.
void assign_optional(std::optional<std::string>& target, std::optional<std::string_view> source) {
    if (source) {
        target = *source;
    } else {
        target.reset();
    }
}

}  // namespace

Algorithm parse_algorithm(std::string_view text) noexcept {
    if (text == "sliding_window") return Algorithm::sliding_window;
    if (text == "fixed_window") return Algorithm::fixed_window;
    if (text == "leaky_bucket") return Algorithm::leaky_bucket;
    return Algorithm::token_bucket;  // "token_bucket" and every unrecognised text
}

Mode parse_mode(std::string_view text) noexcept {
    if (text == "disabled") return Mode::disabled;
    if (text == "shadow") return Mode::shadow;
    return Mode::active;
}

namespace {

template <typename T>
T make_algorithm_object(Algorithm kind, const EngineConfig& config) {
    const double capacity = config.capacity;
    switch (kind) {
        case Algorithm::sliding_window:
            return T(std::in_place_type<SlidingWindow>, config.window_ms,
                     to_u64_saturating(capacity));
        case Algorithm::fixed_window:
            return T(std::in_place_type<FixedWindow>, config.window_ms,
                     to_u64_saturating(capacity));
        case Algorithm::leaky_bucket:
            return T(std::in_place_type<LeakyBucket>, capacity, config.refill_rate);
        case Algorithm::token_bucket:
            break;
    }
    return T(std::in_place_type<TokenBucket>, capacity, config.refill_rate);
}

std::string quoted(std::string_view text) {
    std::string out = "'";
    out += text;
    out += '\'';
    return out;
}

// Runs `algorithm` on its own map, or on the shared store when the engine has one.
template <typename AlgorithmType>
void run_on_store(AlgorithmType& algorithm, SharedStore* shared, std::string_view key, Clock& clock,
                  AlgorithmVerdict& verdict) {
    if (shared != nullptr) return shared->check(algorithm, key, clock, verdict);
    algorithm.check(key, clock, verdict);
}

}  // namespace

std::string algorithm_problem(std::string_view algorithm) {
    if (algorithm == "token_bucket" || algorithm == "sliding_window" ||
        algorithm == "fixed_window" || algorithm == "leaky_bucket") {
        return {};
    }
    return " must be one of 'token_bucket', 'sliding_window', 'fixed_window', "
           "'leaky_bucket', got " +
           quoted(algorithm);
}

std::string mode_problem(std::string_view mode) {
    if (mode == "active" || mode == "shadow" || mode == "disabled") return {};
    return " must be one of 'active', 'shadow', 'disabled', got " + quoted(mode);
}

std::optional<ClockChoice> parse_clock(std::string_view text) noexcept {
    if (text == "wall") return ClockChoice::wall;
    if (text == "monotonic") return ClockChoice::monotonic;
    return std::nullopt;
}

std::string clock_problem(std::string_view clock) {
    if (parse_clock(clock)) return {};
    return " must be 'wall' or 'monotonic', got " + quoted(clock);
}

std::string whole_number_problem(double value, uint64_t least, uint64_t most) {
    // Both bounds are below 2^53, so they and every whole number between them are exact.
    if (std::isfinite(value) && value == std::floor(value) && value >= static_cast<double>(least) &&
        value <= static_cast<double>(most)) {
        return {};
    }
    std::string text = " must be a whole number from " + std::to_string(least) + " to " +
                       std::to_string(most) + ", got ";
    if (std::isnan(value)) return text + "nan";
    if (std::isinf(value)) return text + (value < 0 ? "-inf" : "inf");
    char digits[32];
    const auto written = std::to_chars(digits, digits + sizeof digits, value);
    return text + std::string(digits, written.ptr);
}

std::string cost_problem(Algorithm algorithm, double cost) {
    if (!(cost > 0.0) || !(cost <= kMaxCost)) {
        char digits[32];
        const auto written = std::to_chars(digits, digits + sizeof digits, cost);
        return " must be a number above 0 and at most 2^53, got " +
               std::string(digits, written.ptr);
    }
    const bool windowed =
        algorithm == Algorithm::fixed_window || algorithm == Algorithm::sliding_window;
    if (windowed && cost != std::floor(cost)) {
        return " must be a whole number of requests for " + std::string(to_text(algorithm));
    }
    return {};
}

std::string units_problem(Algorithm algorithm, double units) {
    if (!(units >= -kMaxCost && units <= kMaxCost)) {
        char digits[32];
        const auto written = std::to_chars(digits, digits + sizeof digits, units);
        return " must be a number from -2^53 to 2^53, got " + std::string(digits, written.ptr);
    }
    const bool windowed =
        algorithm == Algorithm::fixed_window || algorithm == Algorithm::sliding_window;
    if (windowed && units != std::floor(units)) {
        return " must be a whole number of requests for " + std::string(to_text(algorithm));
    }
    return {};
}

Engine::Engine(EngineConfig config, Clock& clock) : Engine(std::move(config), &clock, nullptr) {}

Engine::Parts Engine::make_parts(const EngineConfig& config, const EngineOptions& options) {
    Parts parts;
    if (options.shared && options.lease_units > 0) {
        if (config.max_clients == 0) {
            throw std::invalid_argument("a lease region needs max_clients above 0");
        }
        const std::string description =
            "leases of " + SharedStore::describe(parse_algorithm(config.algorithm), config) +
            " lease=" + std::to_string(options.lease_units) +
            " lease_ms=" + std::to_string(options.lease_ms);
        parts.leases = std::make_unique<SharedLeases>(*options.shared, description,
                                                      config.max_clients, options.lease_units);
        if (options.clock == ClockChoice::monotonic) {
            parts.own_clock = std::make_unique<AnchoredClock>(AnchoredClock::anchored_now());
        }
    } else if (options.shared) {
        if (config.max_clients == 0) {
            throw std::invalid_argument("a shared engine needs max_clients above 0");
        }
        parts.shared =
            std::make_unique<SharedStore>(parse_algorithm(config.algorithm), config,
                                          SharedOptions{*options.shared, config.max_clients});
    } else if (options.clock == ClockChoice::monotonic) {
        parts.own_clock = std::make_unique<AnchoredClock>(AnchoredClock::anchored_now());
    }
    // Both clocks live on the heap, so the pointer stays good when the parts move.
    if (parts.shared) {
        parts.clock = &parts.shared->clock();
    } else if (parts.own_clock) {
        parts.clock = parts.own_clock.get();
    } else {
        parts.clock = &wall_clock();
    }
    return parts;
}

Engine::Engine(EngineConfig config, const EngineOptions& options)
    : Engine(std::move(config), make_parts(config, options)) {}

Engine::Engine(EngineConfig&& config, Parts parts)
    : Engine(std::move(config), parts.clock, std::move(parts.shared)) {
    own_clock_ = std::move(parts.own_clock);
    leases_ = std::move(parts.leases);
}

std::unique_ptr<Engine> Engine::open(EngineConfig config, const EngineOptions& options) {
    return std::make_unique<Engine>(std::move(config), options);
}

std::unique_ptr<Engine> Engine::open_shared(EngineConfig config, const SharedOptions& options,
                                            Clock* clock) {
    auto shared = std::make_unique<SharedStore>(parse_algorithm(config.algorithm), config, options);
    Clock* reading = clock != nullptr ? clock : &shared->clock();
    return std::unique_ptr<Engine>(new Engine(std::move(config), reading, std::move(shared)));
}

bool Engine::remove_shared(std::string_view name) {
    return remove_shared_region(name);
}

Engine::~Engine() = default;

Engine::Engine(EngineConfig config, Clock* clock, std::unique_ptr<SharedStore> shared)
    : config_(std::move(config)),
      algorithm_kind_(parse_algorithm(config_.algorithm)),
      mode_(parse_mode(config_.mode)),
      clock_(clock),
      telemetry_(config_.backend_url, config_.api_key.has_value()),
      algorithm_object_(make_algorithm_object<AlgorithmObject>(algorithm_kind_, config_)),
      shared_(std::move(shared)) {
    if (!shared_) cap_private_map();
}

void Engine::cap_private_map() {
    if (config_.max_clients == 0) return;
    // Not yet shared with any other thread, or called under the engine lock.
    std::visit([&](auto& algorithm) { algorithm.states().set_max_clients(config_.max_clients); },
               algorithm_object_);
}

void Engine::run_algorithm(std::string_view key, AlgorithmVerdict& verdict) {
    // Lock order: this engine lock first, then (inside the algorithm) the one shard lock of
    // the key. A fatal failure below poisons this lock on its way out, because the key's state
    // may be half updated.
    with_poisoning_lock(lock_, [&]() TOLM_REQUIRES(lock_) {
        if (lock_.poisoned()) raise_fatal("engine lock poisoned by an earlier failure");
        Clock& clock = *clock_;
        SharedStore* shared = shared_.get();
        switch (algorithm_kind_) {
            case Algorithm::sliding_window:
                return run_on_store(*std::get_if<SlidingWindow>(&algorithm_object_), shared, key,
                                    clock, verdict);
            case Algorithm::fixed_window:
                return run_on_store(*std::get_if<FixedWindow>(&algorithm_object_), shared, key,
                                    clock, verdict);
            case Algorithm::leaky_bucket:
                return run_on_store(*std::get_if<LeakyBucket>(&algorithm_object_), shared, key,
                                    clock, verdict);
            case Algorithm::token_bucket:
                return run_on_store(*std::get_if<TokenBucket>(&algorithm_object_), shared, key,
                                    clock, verdict);
        }
    });
}

void Engine::change(std::string_view key, const StateChange& change) {
    with_poisoning_lock(lock_, [&]() TOLM_REQUIRES(lock_) {
        if (lock_.poisoned()) raise_fatal("engine lock poisoned by an earlier failure");
        Clock& clock = *clock_;
        SharedStore* shared = shared_.get();
        const auto apply = [&]<typename State>(auto& algorithm) {
            if (shared != nullptr) {
                algorithm.change_in(shared->map<State>(), key, clock, change);
            } else {
                algorithm.change_in(algorithm.states(), key, clock, change);
            }
        };
        switch (algorithm_kind_) {
            case Algorithm::sliding_window:
                return apply.template operator()<SharedSlidingWindowState>(
                    *std::get_if<SlidingWindow>(&algorithm_object_));
            case Algorithm::fixed_window:
                return apply.template operator()<FixedWindowState>(
                    *std::get_if<FixedWindow>(&algorithm_object_));
            case Algorithm::leaky_bucket:
                return apply.template operator()<LeakyBucketState>(
                    *std::get_if<LeakyBucket>(&algorithm_object_));
            case Algorithm::token_bucket:
                return apply.template operator()<TokenBucketState>(
                    *std::get_if<TokenBucket>(&algorithm_object_));
        }
    });
}

void Engine::reset(std::string_view key) {
    if (mode_ == Mode::disabled) return;
    change(key, StateChange{StateChange::Kind::reset, 0.0, 0});
}

void Engine::adjust(std::string_view key, double units) {
    if (mode_ == Mode::disabled || units == 0.0) return;
    change(key, StateChange{StateChange::Kind::adjust, units, 0});
}

void Engine::block(std::string_view key, uint64_t duration_ms) {
    if (mode_ == Mode::disabled || duration_ms == 0) return;
    change(key, StateChange{StateChange::Kind::block, 0.0, duration_ms});
}

void Engine::clear() {
    if (shared_) return shared_->clear();
    with_poisoning_lock(lock_, [&]() TOLM_REQUIRES(lock_) {
        if (lock_.poisoned()) raise_fatal("engine lock poisoned by an earlier failure");
        // A fresh map: every client's state goes at once, and the settings stay.
        // The count of evictions outlives the map it was made in.
        uint64_t evicted = 0;
        std::visit([&](auto& algorithm) { evicted = algorithm.states().evictions(); },
                   algorithm_object_);
        cleared_evictions_ += evicted;
        const uint64_t limit = to_u64_saturating(config_.capacity);
        switch (algorithm_kind_) {
            case Algorithm::sliding_window:
                algorithm_object_.emplace<SlidingWindow>(config_.window_ms, limit);
                break;
            case Algorithm::fixed_window:
                algorithm_object_.emplace<FixedWindow>(config_.window_ms, limit);
                break;
            case Algorithm::leaky_bucket:
                algorithm_object_.emplace<LeakyBucket>(config_.capacity, config_.refill_rate);
                break;
            case Algorithm::token_bucket:
                algorithm_object_.emplace<TokenBucket>(config_.capacity, config_.refill_rate);
                break;
        }
        cap_private_map();
    });
}

EngineStats Engine::stats() {
    EngineStats stats;
    if (shared_) {
        stats.evictions = shared_->evictions();
        stats.clients = shared_->size();
        return stats;
    }
    with_poisoning_lock(lock_, [&]() TOLM_REQUIRES(lock_) {
        std::visit(
            [&](auto& algorithm) {
                stats.clients = algorithm.states().size();
                stats.evictions = algorithm.states().evictions();
            },
            algorithm_object_);
        stats.evictions += cleared_evictions_;
    });
    return stats;
}

void Engine::fill_record(DecisionRecord& record, Decision decision, ReasonCode reason,
                         const AlgorithmVerdict* verdict, std::optional<std::string_view> identity,
                         std::string_view ip, std::string_view route, uint64_t start_ms,
                         bool texts) const {
    const uint64_t now = clock_->now_ms();
    if (verdict != nullptr) {
        record.remaining = verdict->remaining;
        record.reset_after_ms = verdict->reset_after_ms;
        record.retry_after_ms = verdict->retry_after_ms;
    } else {
        record.remaining.reset();
        record.reset_after_ms.reset();
        record.retry_after_ms.reset();
    }
    record.latency_ms = now > start_ms ? now - start_ms : 0;
    record.timestamp = now / 1000;
    if (!texts) return;
    record.decision = to_text(decision);
    record.reason = to_text(reason);
    record.algorithm = config_.algorithm;
    record.route = route;
    record.mode = to_text(mode_);
    assign_optional(record.identity, identity);
    record.ip = ip;
}

CheckResult Engine::check(std::optional<std::string_view> identity, std::string_view ip,
                          std::string_view route, uint64_t start_ms) {
    CheckResult result;
    check_into(result, identity, ip, route, start_ms);
    return result;
}

void Engine::check_into(CheckResult& result, std::optional<std::string_view> identity,
                        std::string_view ip, std::string_view route, uint64_t start_ms,
                        RecordUse record_use, DetailUse detail_use, TextUse text_use, double cost) {
    const bool queue_event = config_.api_key.has_value();
    const bool build_record = record_use == RecordUse::read || queue_event;
    const bool texts = text_use == TextUse::read;
    if (mode_ == Mode::disabled) {
        if (build_record) {
            fill_record(result.record, Decision::allow, ReasonCode::within_limit, nullptr, identity,
                        ip, route, start_ms, texts || queue_event);
        }
        if (texts) {
            result.algorithm = config_.algorithm;
            result.reason.reset();
        }
        result.detail = "disabled";
        result.allowed = true;
        result.would_block = false;
        result.decision_code = Decision::allow;
        result.reason_code.reset();
        result.remaining.reset();
        result.admit_after_ms.reset();
        result.whole_after_ms.reset();
        return;
    }

    // The algorithm writes its detail straight into the result's text, reusing its storage.
    AlgorithmVerdict verdict(result.detail);
    verdict.detail_wanted = detail_use == DetailUse::read;
    verdict.cost = cost;
    run_algorithm(identity ? *identity : ip, verdict);

    // Without an api key the event latency feeds nothing, so its clock reading is skipped.
    uint64_t event_latency_ms = 0;
    if (queue_event) {
        const uint64_t now = clock_->now_ms();
        event_latency_ms = now > start_ms ? now - start_ms : 0;
    }
    const bool shadow = mode_ == Mode::shadow;
    result.allowed = verdict.allowed || shadow;
    const Decision decision =
        verdict.allowed ? Decision::allow : (shadow ? Decision::would_block : Decision::block);
    if (build_record) {
        fill_record(result.record, decision, verdict.reason, &verdict, identity, ip, route,
                    start_ms, texts || queue_event);
    }

    if (queue_event) {
        // The event stores the record field by field below; a new field must be added there.
        static_assert(sizeof(DecisionRecord) ==
                      4 * sizeof(std::optional<uint64_t>) + 6 * sizeof(std::string) +
                          sizeof(std::optional<std::string>) + sizeof(uint64_t));
        // The queue's mutex is taken here, after the engine lock was released above.
        telemetry_.emplace([&](QueuedEvent& event, bool recycled) {
            const DecisionRecord& record = result.record;
            // This engine is the only source of its queue's events, so a recycled slot
            // already holds the values that are the same in all of them. The record's
            // decision, reason and mode are stored as the codes they were made from, and its
            // route, ip and identity are the event's own.
            if (!recycled) {
                QueuedEvent::assign_text(event.algorithm, record.algorithm);
                event.mode = mode_;
                QueuedEvent::assign_text(event.api_key, config_.api_key);
            }
            event.remaining = record.remaining;
            event.reset_after_ms = record.reset_after_ms;
            event.record_latency_ms = record.latency_ms;
            event.retry_after_ms = record.retry_after_ms;
            event.decision = decision;
            event.reason = verdict.reason;
            event.timestamp = record.timestamp;
            event.latency_ms = event_latency_ms;
            QueuedEvent::assign_text(event.route, route);
            QueuedEvent::assign_text(event.ip, ip);
            QueuedEvent::assign_text(event.identity, identity);
            event.status_code = result.allowed ? 200 : 429;
        });
    }

    if (texts) {
        result.algorithm = config_.algorithm;
        result.reason = to_text(verdict.reason);
    }
    result.would_block = !verdict.allowed;
    result.decision_code = decision;
    result.reason_code = verdict.reason;
    result.remaining = verdict.remaining;
    result.admit_after_ms = verdict.admit_after_ms;
    result.whole_after_ms = verdict.whole_after_ms;
}

}  // namespace tolm
