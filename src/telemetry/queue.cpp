#include "telemetry/queue.hpp"

#include "runtime/fatal.hpp"

namespace tolm {

void QueuedEvent::assign_text(std::string& target, std::string_view text) {
    if (text.size() > kMaxEventTextBytes) {
        size_t cut = kMaxEventTextBytes;
        // Keep whole UTF-8 characters: back up over the continuation bytes (10xxxxxx) of the
        // character the cut would split, of which there are at most three.
        while (cut > kMaxEventTextBytes - 3 &&
               (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        text = text.substr(0, cut);
    }
    if (text.size() > target.capacity()) {
        target = std::string(text);  // exactly the size, not the string's usual doubling
    } else {
        target.assign(text);
    }
}

void QueuedEvent::assign_text(std::optional<std::string>& target,
                              std::optional<std::string_view> text) {
    if (!text) {
        target.reset();
        return;
    }
    if (!target) target.emplace();
    assign_text(*target, *text);
}

TelemetryQueue::TelemetryQueue(std::string backend_url, bool enabled)
    : backend_url_(std::move(backend_url)),
      events_(std::make_shared<Events>()),
      enabled_(enabled) {}

void TelemetryQueue::fail_poisoned() {
    raise_fatal("telemetry queue mutex poisoned by an earlier failure");
}

QueuedEvent& TelemetryQueue::next_slot(bool& recycled) {
    std::vector<QueuedEvent>& slots = events_->slots;
    recycled = slots.size() >= max_queued_events;
    if (!recycled) return slots.emplace_back();
    QueuedEvent& displaced = slots[events_->oldest];
    events_->oldest = (events_->oldest + 1) % max_queued_events;
    return displaced;
}

namespace {

TelemetryEvent expand(const QueuedEvent& queued) {
    TelemetryEvent event;
    DecisionRecord& record = event.record;
    record.remaining = queued.remaining;
    record.reset_after_ms = queued.reset_after_ms;
    record.latency_ms = queued.record_latency_ms;
    record.retry_after_ms = queued.retry_after_ms;
    record.decision = to_text(queued.decision);
    record.reason = to_text(queued.reason);
    record.algorithm = queued.algorithm;
    record.route = queued.route;
    record.mode = to_text(queued.mode);
    record.identity = queued.identity;
    record.ip = queued.ip;
    record.timestamp = queued.timestamp;
    event.latency_ms = queued.latency_ms;
    event.route = queued.route;
    event.ip = queued.ip;
    event.mode = to_text(queued.mode);
    event.identity = queued.identity;
    event.status_code = queued.status_code;
    event.event_type = "decision";
    event.api_key = queued.api_key;
    event.timestamp = queued.timestamp;
    return event;
}

}  // namespace

std::vector<TelemetryEvent> TelemetryQueue::snapshot() const {
    std::vector<TelemetryEvent> ordered;
    with_poisoning_lock(events_->mutex, [&]() TOLM_REQUIRES(events_->mutex) {
        const size_t held = events_->slots.size();
        ordered.reserve(held);
        for (size_t i = 0; i < held; ++i) {
            ordered.push_back(expand(events_->slots[(events_->oldest + i) % held]));
        }
    });
    return ordered;
}

}  // namespace tolm
