// Telemetry: one event per evaluated check of an engine built with an api key, kept in a
// bounded in-memory queue of the latest 10000. Nothing in the library reads, sends or
// drains the queue; the backend URL is stored beside it and never contacted.
//
// The queue is bounded in bytes as well as in events: it keeps each of the five texts of an
// event once, cut to kMaxEventTextBytes, so a full queue holds at most 10000 x (272 + 5 x 256)
// bytes of events and texts (about 16 MB, before the allocator's own overhead) whatever routes,
// addresses and identities the requests carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/vocabulary.hpp"
#include "runtime/sync.hpp"

namespace tolm {

// The longest text an event keeps, in bytes. A longer text is cut to at most this many
// bytes, at a UTF-8 character boundary when the text is UTF-8. Routes, addresses and
// identities that a real client sends fit; what is cut is a request built to be large.
inline constexpr size_t kMaxEventTextBytes = 256;

// One event as snapshot() hands it out.
struct TelemetryEvent {
    DecisionRecord record;               // the check's record (texts cut as below)
    std::optional<uint64_t> latency_ms;  // the check latency, taken before the record's own
    std::string route;
    std::string ip;
    std::string mode;  // "active" or "shadow"
    std::optional<std::string> identity;
    std::optional<uint16_t> status_code;  // 200 when the check allowed the request, else 429
    std::string event_type;               // always "decision"
    std::optional<std::string> api_key;
    uint64_t timestamp = 0;  // the record's timestamp, whole seconds since 1970
};

// One event as the queue stores it: the record's numbers, the decision, reason and mode as
// codes, and each text once (the record's route, ip and identity are the event's), every text
// cut to kMaxEventTextBytes by assign_text. snapshot() expands it into a TelemetryEvent.
struct QueuedEvent {
    std::optional<uint64_t> remaining;
    std::optional<uint64_t> reset_after_ms;
    std::optional<uint64_t> record_latency_ms;  // the record's latency
    std::optional<uint64_t> retry_after_ms;
    std::optional<uint64_t> latency_ms;  // the event's latency, read before the record's
    uint64_t timestamp = 0;              // the record's, and the event's
    std::string algorithm;               // the record's algorithm text
    std::string route;
    std::string ip;
    std::optional<std::string> identity;
    std::optional<std::string> api_key;
    uint16_t status_code = 0;
    Decision decision = Decision::allow;
    ReasonCode reason = ReasonCode::within_limit;
    Mode mode = Mode::active;

    // Copies `text` into `target`, cut to kMaxEventTextBytes. The target keeps its storage
    // when the text fits in it and otherwise gets storage of exactly the text's size, so a
    // slot reused event after event never holds more than the bound per text.
    static void assign_text(std::string& target, std::string_view text);
    static void assign_text(std::optional<std::string>& target,
                            std::optional<std::string_view> text);
};

class TelemetryQueue {
  public:
    static constexpr size_t max_queued_events = 10000;

    TelemetryQueue(std::string backend_url, bool enabled);

    // Queues one event, displacing the oldest once 10000 are held; a disabled queue queues
    // nothing. `fill(QueuedEvent& slot, bool recycled)` writes the event straight into the
    // slot it will occupy, under the queue's mutex, with QueuedEvent::assign_text for every
    // text. Once the ring is full that slot holds the displaced event (`recycled` is true),
    // whose texts keep their storage, so a steady stream of checks copies texts without
    // allocating; a filler that is the only source of this queue's events may also leave
    // fields that are the same in all of its events as they are. Otherwise `fill` must
    // overwrite every field.
    // Throws FatalError when an earlier failure poisoned the queue's mutex; a failure inside
    // `fill` poisons it.
    template <typename Fill>
    void emplace(Fill&& fill) {
        if (!enabled_) return;
        with_poisoning_lock(events_->mutex, [&]() TOLM_REQUIRES(events_->mutex) {
            if (events_->mutex.poisoned()) fail_poisoned();
            bool recycled = false;
            QueuedEvent& slot = next_slot(recycled);
            fill(slot, recycled);
        });
    }

    const std::string& backend_url() const noexcept { return backend_url_; }
    bool enabled() const noexcept { return enabled_; }

    // A copy of the queued events, oldest first. For diagnostics and tests; the library
    // itself never reads the queue.
    std::vector<TelemetryEvent> snapshot() const;

  private:
    [[noreturn]] static void fail_poisoned();
    // The slot the next event goes into; called with the mutex held.
    QueuedEvent& next_slot(bool& recycled) TOLM_REQUIRES(events_->mutex);

    // A ring: `slots` grows like a vector until it holds max_queued_events, after which
    // each event overwrites the oldest, found at `oldest`.
    //
    // The ring lives behind a reference-counted handle rather than inside the queue, the
    // shape a sender draining it from another thread would need. Nothing drains it today: the
    // engine's queue holds the only reference, so the ring and every event in it are freed
    // with the engine.
    struct Events {
        mutable PoisonMutex mutex;
        std::vector<QueuedEvent> slots TOLM_GUARDED_BY(mutex);
        size_t oldest TOLM_GUARDED_BY(mutex) = 0;
    };

    std::string backend_url_;
    std::shared_ptr<Events> events_;
    bool enabled_;
};

}  // namespace tolm
