#include "telemetry/queue.hpp"

#include "runtime/fatal.hpp"

namespace tolm {

TelemetryQueue::TelemetryQueue(std::string backend_url, bool enabled)
    : backend_url_(std::move(backend_url)),
      events_(std::make_shared<Events>()),
      enabled_(enabled) {}

void TelemetryQueue::fail_poisoned() {
    raise_fatal("telemetry queue mutex poisoned by an earlier failure");
}

TelemetryEvent& TelemetryQueue::next_slot(bool& recycled) {
    std::vector<TelemetryEvent>& slots = events_->slots;
    recycled = slots.size() >= max_queued_events;
    if (!recycled) return slots.emplace_back();
    TelemetryEvent& displaced = slots[events_->oldest];
    events_->oldest = (events_->oldest + 1) % max_queued_events;
    return displaced;
}

std::vector<TelemetryEvent> TelemetryQueue::snapshot() const {
    PoisonGuard guard(events_->mutex);
    const std::vector<TelemetryEvent>& slots = events_->slots;
    std::vector<TelemetryEvent> ordered;
    ordered.reserve(slots.size());
    for (size_t i = 0; i < slots.size(); ++i) {
        ordered.push_back(slots[(events_->oldest + i) % slots.size()]);
    }
    return ordered;
}

}  // namespace tolm
