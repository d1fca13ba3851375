#include "algorithms/sliding_window.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "algorithms/wait.hpp"
#include "core/format.hpp"
#include "runtime/fatal.hpp"
#include "store/shared_state_map.hpp"

namespace tolm {

void TimestampQueue::push_back(uint64_t value) {
    if (size_ == capacity_) {
        if (capacity_ >= (UINT32_MAX >> 1))
            raise_fatal("timestamp queue size cannot be represented");
        const uint32_t new_capacity = capacity_ == 0 ? 4 : capacity_ * 2;
        auto* grown = static_cast<uint64_t*>(std::malloc(sizeof(uint64_t) * new_capacity));
        if (grown == nullptr) throw std::bad_alloc();
        for (uint32_t i = 0; i < size_; ++i) {
            grown[i] = data_[(head_ + i) % capacity_];
        }
        std::free(data_);
        data_ = grown;
        capacity_ = new_capacity;
        head_ = 0;
    }
    uint32_t tail = head_ + size_;
    if (tail >= capacity_) tail -= capacity_;
    data_[tail] = value;
    ++size_;
}

namespace {

// The oldest time a request may have been accepted at and still count at `now`, and whether
// `accepted` is older: both the check's pruning and the recovery test use these, so they
// cannot disagree.
uint64_t window_cutoff(uint64_t now, uint64_t window_ms) noexcept {
    return now >= window_ms ? now - window_ms : 0;
}
bool expired(uint64_t accepted, uint64_t cutoff) noexcept {
    return accepted < cutoff;
}

// A new key's empty queue, and the queue a state holds, in either store.
SlidingWindowState empty_state(const KeyedStateMap<SlidingWindowState>&, uint64_t) {
    return SlidingWindowState{};
}
SharedSlidingWindowState empty_state(const SharedStateMap<SharedSlidingWindowState>&,
                                     uint64_t limit) {
    return SharedSlidingWindowState{0, 0, static_cast<uint32_t>(limit), 0};
}
TimestampQueue& queue_of(SlidingWindowState& state) noexcept {
    return state.timestamps;
}
TimestampRing queue_of(SharedSlidingWindowState& state) noexcept {
    return TimestampRing(state);
}

template <typename Queue>
bool all_expired(const Queue& queue, uint64_t now, uint64_t window_ms) noexcept {
    if (queue.empty()) return true;
    const uint64_t cutoff = window_cutoff(now, window_ms);
    if (!expired(queue.back(), cutoff)) return false;
    for (uint64_t i = 0; i < queue.size(); ++i) {
        if (!expired(queue.at(i), cutoff)) return false;
    }
    return true;
}

// A value accepted at t counts until now > t + window_ms; the latest of them decides.
template <typename Queue>
uint64_t ms_until_all_expired(const Queue& queue, uint64_t now, uint64_t window_ms) noexcept {
    uint64_t latest = 0;
    for (uint64_t i = 0; i < queue.size(); ++i) latest = std::max(latest, queue.at(i));
    if (queue.empty() || expired(latest, window_cutoff(now, window_ms))) return 0;
    const uint64_t leaves =
        latest > UINT64_MAX - window_ms - 1 ? UINT64_MAX : latest + window_ms + 1;
    return leaves - now;
}

}  // namespace

bool SlidingWindowRecovery::operator()(const SharedSlidingWindowState& state,
                                       uint64_t now) const noexcept {
    return all_expired(TimestampRing(state), now, window_ms_);
}

uint64_t SlidingWindowRecovery::distance(const SharedSlidingWindowState& state,
                                         uint64_t now) const noexcept {
    return ms_until_all_expired(TimestampRing(state), now, window_ms_);
}
uint64_t SlidingWindowRecovery::distance(const SlidingWindowState& state,
                                         uint64_t now) const noexcept {
    return ms_until_all_expired(state.timestamps, now, window_ms_);
}

// A check at `now` prunes from the front while the front has expired; when every value has,
// the queue ends empty, which is a new key's default, and the verdict follows from the empty
// queue alone. Every value is tested, not only the front: after a clock stepped back, an
// older value can sit behind a newer one, and pruning stops at the newer one. The newest is
// tested first, which settles the usual case (a key still in use) in one comparison. The
// cutoff never decreases as `now` grows, so values expired at `now` stay expired. An empty
// queue (limit 0 keeps every queue empty) is recovered at any time.
bool SlidingWindowRecovery::operator()(const SlidingWindowState& state,
                                       uint64_t now) const noexcept {
    return all_expired(state.timestamps, now, window_ms_);
}

// A request leaves the window once it is more than window_ms old: a refused client is
// admitted once the oldest one has left, and the whole allowance is back once the newest has
// (behind an older one only when the clock stepped back; then this is early).
template <typename Queue>
void SlidingWindow::report_waits(const Queue& queue, uint64_t now,
                                 AlgorithmVerdict& verdict) const {
    const auto gone = [&](uint64_t accepted) -> std::optional<uint64_t> {
        if (accepted > UINT64_MAX - window_ms_ - 1) return std::nullopt;
        const uint64_t leaves = accepted + window_ms_ + 1;
        return leaves > now ? leaves - now : 0;
    };
    verdict.whole_after_ms = queue.empty() ? std::optional<uint64_t>(0) : gone(queue.back());
    // A refused request of `units` is admitted once enough of the oldest have left to make
    // room for all of it; one larger than the limit never is.
    const uint64_t units = units_of(verdict.cost);
    if (!verdict.allowed && limit_ > 0 && units <= limit_ && !queue.empty()) {
        const uint64_t must_leave = queue.size() + units - limit_;  // at least 1 when refused
        const uint64_t index = must_leave == 0 ? 0 : std::min(must_leave, queue.size()) - 1;
        verdict.admit_after_ms = gone(queue.at(index));
    }
}

template <typename Store>
void SlidingWindow::check_in(Store& states, std::string_view key, Clock& clock,
                             AlgorithmVerdict& verdict) {
    auto state = states.entry_or_insert(key, [&] { return empty_state(states, limit_); });
    const uint64_t now = clock.now_ms();
    const uint64_t cutoff = window_cutoff(now, window_ms_);

    auto&& queue = queue_of(*state);
    // Stop at the first value inside the window; later ones are not examined even if a
    // clock that stepped back left older values behind it.
    while (!queue.empty() && expired(queue.front(), cutoff)) queue.pop_front();
    const uint64_t n = queue.size();

    verdict.clear();
    if (!queue.empty()) {
        const uint64_t front = queue.front();
        const uint64_t expiry = front > UINT64_MAX - window_ms_ ? UINT64_MAX : front + window_ms_;
        verdict.reset_after_ms = expiry > now ? expiry - now : 0;
    }
    const uint64_t units = units_of(verdict.cost);
    if (n < limit_ && units <= limit_ - n) {
        queue.push_back(now);
        for (uint64_t i = 1; i < units; ++i) queue.push_back(now);
        const uint64_t remaining = limit_ - n - units;
        verdict.remaining = remaining;
        if (verdict.detail_wanted) {
            assign_count_text(verdict.detail, remaining, " requests remaining");
        }
        verdict.allowed = true;
        verdict.reason = ReasonCode::within_limit;
    } else {
        verdict.remaining = 0;
        if (verdict.detail_wanted) verdict.detail = "0 requests remaining";
        verdict.allowed = false;
        verdict.reason = ReasonCode::limit_exceeded;
    }
    report_waits(queue, now, verdict);
    state.release(now, recovery_);
}

// A block fills the window with `limit` requests that leave it together at the block's end.
// Refunds take back the newest requests, so a refund during a block shortens it.
template <typename Store>
void SlidingWindow::change_in(Store& states, std::string_view key, Clock& clock,
                              const StateChange& change) {
    auto state = states.entry_or_insert(key, [&] { return empty_state(states, limit_); });
    const uint64_t now = clock.now_ms();
    auto&& queue = queue_of(*state);
    const uint64_t cutoff = window_cutoff(now, window_ms_);
    while (!queue.empty() && expired(queue.front(), cutoff)) queue.pop_front();
    switch (change.kind) {
        case StateChange::Kind::reset:
            while (!queue.empty()) queue.pop_front();
            break;
        case StateChange::Kind::adjust: {
            const uint64_t units = units_of(change.units < 0.0 ? -change.units : change.units);
            if (change.units < 0.0) {
                for (uint64_t i = 0; i < units && !queue.empty(); ++i) queue.pop_back();
            } else {
                for (uint64_t i = 0; i < units && queue.size() < limit_; ++i) queue.push_back(now);
            }
            break;
        }
        case StateChange::Kind::block: {
            // A value accepted at t leaves at t + window_ms + 1.
            const uint64_t until = now + change.duration_ms < now ? UINT64_MAX - window_ms_ - 1
                                                                  : now + change.duration_ms;
            const uint64_t accepted = until > window_ms_ ? until - window_ms_ - 1 : 0;
            while (!queue.empty()) queue.pop_front();
            for (uint64_t i = 0; i < limit_; ++i) queue.push_back(accepted);
            break;
        }
    }
    state.release(now, recovery_);
}

template void SlidingWindow::check_in(KeyedStateMap<SlidingWindowState>&, std::string_view, Clock&,
                                      AlgorithmVerdict&);
template void SlidingWindow::change_in(KeyedStateMap<SlidingWindowState>&, std::string_view, Clock&,
                                       const StateChange&);
template void SlidingWindow::change_in(SharedStateMap<SharedSlidingWindowState>&, std::string_view,
                                       Clock&, const StateChange&);
template void SlidingWindow::check_in(SharedStateMap<SharedSlidingWindowState>&, std::string_view,
                                      Clock&, AlgorithmVerdict&);

}  // namespace tolm
