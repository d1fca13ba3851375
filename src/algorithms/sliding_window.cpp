#include "algorithms/sliding_window.hpp"

#include <new>
#include <string>

#include "core/format.hpp"
#include "runtime/fatal.hpp"

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

void SlidingWindow::check(std::string_view key, Clock& clock, AlgorithmVerdict& verdict) {
    auto state = states_.entry_or_insert(key, [] { return SlidingWindowState{}; });
    const uint64_t now = clock.now_ms();
    const uint64_t cutoff = now >= window_ms_ ? now - window_ms_ : 0;

    TimestampQueue& queue = state->timestamps;
    // Stop at the first value inside the window; later ones are not examined even if a
    // clock that stepped back left older values behind it.
    while (!queue.empty() && queue.front() < cutoff) queue.pop_front();
    const uint64_t n = queue.size();

    verdict.clear();
    if (!queue.empty()) {
        const uint64_t front = queue.front();
        const uint64_t expiry = front > UINT64_MAX - window_ms_ ? UINT64_MAX : front + window_ms_;
        verdict.reset_after_ms = expiry > now ? expiry - now : 0;
    }
    if (n < limit_) {
        queue.push_back(now);
        const uint64_t remaining = limit_ - n - 1;
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
}

}  // namespace tolm
