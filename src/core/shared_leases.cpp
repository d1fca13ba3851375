#include "core/shared_leases.hpp"

#include <algorithm>

namespace tolm {
namespace {

// The last ms at which the slot still holds something a decision reads.
uint64_t held_until(const LeaseSlot& slot) noexcept {
    uint64_t until = std::max(slot.refused_until_ms, slot.fetching_until_ms);
    if (slot.units >= 1) until = std::max(until, slot.expires_ms);
    return until;
}

uint64_t add_ms(uint64_t now, uint64_t ms) noexcept {
    return ms > UINT64_MAX - now ? UINT64_MAX : now + ms;
}

}  // namespace

bool LeaseRecovery::operator()(const LeaseSlot& slot, uint64_t now) const noexcept {
    return held_until(slot) <= now;
}

uint64_t LeaseRecovery::distance(const LeaseSlot& slot, uint64_t now) const noexcept {
    const uint64_t until = held_until(slot);
    return until <= now ? 0 : until - now;
}

double lease_answer_value(const LeaseAnswer& answer) noexcept {
    switch (answer.step) {
        case LeaseStep::admitted:
        case LeaseStep::admitted_fetch:
            return answer.remaining;
        case LeaseStep::refused:
            return static_cast<double>(answer.wait_ms);
        case LeaseStep::fetch:
        case LeaseStep::ask:
            break;
    }
    return 0;
}

SharedLeases::SharedLeases(std::string_view name, const std::string& description,
                           uint64_t max_clients, uint64_t most_units, Clock* clock)
    : map_(name, SharedTableSettings{description, max_clients}),
      clock_(0, 0),
      reading_(clock),
      most_units_(static_cast<double>(std::max<uint64_t>(most_units, 1))) {
    const SharedTableHeader& header = map_.table().header();
    clock_ = AnchoredClock(header.anchor_wall_ms, header.anchor_monotonic_ns);
    if (reading_ == nullptr) reading_ = &clock_;
}

LeaseAnswer SharedLeases::take(std::string_view key, uint64_t fetch_budget_ms) {
    const uint64_t now = reading_->now_ms();
    auto entry = map_.entry_or_insert(key, [] { return LeaseSlot{}; });
    LeaseSlot& slot = *entry;
    // At least a ms, so that a fetch is seen by whoever comes next.
    const uint64_t fetch_until = add_ms(now, std::max<uint64_t>(fetch_budget_ms, 1));
    LeaseAnswer answer{LeaseStep::fetch};
    // Units the host holds were granted: they are spent even when a later request was refused.
    if (slot.units >= 1 && now < slot.expires_ms) {
        slot.units -= 1;
        answer = {LeaseStep::admitted, slot.remaining + slot.units};
        if (slot.units * 4 < most_units_ && now >= slot.fetching_until_ms &&
            now >= slot.refused_until_ms) {
            slot.fetching_until_ms = fetch_until;
            answer.step = LeaseStep::admitted_fetch;
            answer.want = static_cast<uint64_t>(most_units_ - slot.units);
        }
    } else if (now < slot.refused_until_ms) {
        answer = {LeaseStep::refused, 0, slot.refused_until_ms - now};
    } else if (now < slot.fetching_until_ms) {
        answer = {LeaseStep::ask};
    } else {
        slot.fetching_until_ms = fetch_until;
        answer.want = static_cast<uint64_t>(most_units_);
    }
    entry.release(now, LeaseRecovery{});
    return answer;
}

void SharedLeases::put(std::string_view key, double units, double remaining, uint64_t lifetime_ms,
                       uint64_t refused_ms) {
    const uint64_t now = reading_->now_ms();
    auto entry = map_.entry_or_insert(key, [] { return LeaseSlot{}; });
    LeaseSlot& slot = *entry;
    slot.fetching_until_ms = 0;
    if (refused_ms > 0) {
        slot.refused_until_ms = add_ms(now, refused_ms);
    } else if (units >= 1 && lifetime_ms > 0) {
        const double held = slot.units >= 1 && now < slot.expires_ms ? slot.units : 0;
        slot.units = std::min(held + units, most_units_);
        slot.remaining = remaining;
        slot.expires_ms = add_ms(now, lifetime_ms);
        slot.refused_until_ms = 0;
    }
    entry.release(now, LeaseRecovery{});
}

}  // namespace tolm
