// Sliding window: at most `limit` accepted requests per key in any span of `window_ms`
// that ends at the current request. Remembers the time of each accepted request still
// inside the span, oldest first.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "algorithms/algorithm.hpp"
#include "core/vocabulary.hpp"
#include "store/keyed_state_map.hpp"

namespace tolm {

// First-in first-out queue of timestamps in a ring that doubles when full. 16 bytes when
// empty, so that a key costs little until it has accepted requests.
class TimestampQueue {
  public:
    TimestampQueue() noexcept = default;
    TimestampQueue(TimestampQueue&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)),
          head_(std::exchange(other.head_, 0)),
          size_(std::exchange(other.size_, 0)) {}
    TimestampQueue& operator=(TimestampQueue&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(capacity_, other.capacity_);
        std::swap(head_, other.head_);
        std::swap(size_, other.size_);
        return *this;
    }
    TimestampQueue(const TimestampQueue&) = delete;
    TimestampQueue& operator=(const TimestampQueue&) = delete;
    ~TimestampQueue() { std::free(data_); }

    bool empty() const noexcept { return size_ == 0; }
    uint64_t size() const noexcept { return size_; }
    uint64_t front() const noexcept { return data_[head_]; }
    uint64_t back() const noexcept { return at(size_ - 1); }
    // The value `i` places behind the front (0 is the front).
    uint64_t at(uint64_t i) const noexcept {
        uint64_t slot = head_ + i;
        if (slot >= capacity_) slot -= capacity_;
        return data_[slot];
    }
    void pop_front() noexcept {
        head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
        --size_;
    }
    void pop_back() noexcept { --size_; }
    void push_back(uint64_t value);

  private:
    uint64_t* data_ = nullptr;
    uint32_t capacity_ = 0;
    uint32_t head_ = 0;
    uint32_t size_ = 0;
};

struct SlidingWindowState {
    TimestampQueue timestamps;  // now_ms of each accepted request still remembered
};

// The same queue in a shared region, where nothing can grow: a ring of `capacity` (the
// limit) timestamps that the slot keeps right behind this record (SharedStateMap's tail).
struct SharedSlidingWindowState {
    uint32_t head;
    uint32_t size;
    uint32_t capacity;
    uint32_t unused;
};

// TimestampQueue's interface over a SharedSlidingWindowState and its ring. A check never
// pushes beyond the limit, which is the ring's capacity.
class TimestampRing {
  public:
    explicit TimestampRing(const SharedSlidingWindowState& state) noexcept
        : state_(const_cast<SharedSlidingWindowState*>(&state)),
          data_(reinterpret_cast<uint64_t*>(state_ + 1)) {}
    bool empty() const noexcept { return state_->size == 0; }
    uint64_t size() const noexcept { return state_->size; }
    uint64_t front() const noexcept { return data_[state_->head]; }
    uint64_t back() const noexcept { return at(state_->size - 1); }
    uint64_t at(uint64_t i) const noexcept {
        uint64_t slot = state_->head + i;
        if (slot >= state_->capacity) slot -= state_->capacity;
        return data_[slot];
    }
    void pop_front() noexcept {
        state_->head = state_->head + 1 == state_->capacity ? 0 : state_->head + 1;
        --state_->size;
    }
    void pop_back() noexcept { --state_->size; }
    void push_back(uint64_t value) noexcept {
        uint64_t tail = uint64_t{state_->head} + state_->size;
        if (tail >= state_->capacity) tail -= state_->capacity;
        data_[tail] = value;
        ++state_->size;
    }

  private:
    SharedSlidingWindowState* state_;
    uint64_t* data_;
};

// When a key is a new key's again, so that its map may forget it: every request it remembers
// has left the window, so a check at `now` prunes its queue empty (see sliding_window.cpp).
// Possible for every limit.
class SlidingWindowRecovery {
  public:
    explicit SlidingWindowRecovery(uint64_t window_ms) noexcept : window_ms_(window_ms) {}
    bool possible() const noexcept { return true; }
    bool operator()(const SlidingWindowState& state, uint64_t now) const noexcept;
    bool operator()(const SharedSlidingWindowState& state, uint64_t now) const noexcept;
    // The ms until every remembered request has left the window (0 when none is left): what a
    // full store compares to evict the entry that gives away the least.
    uint64_t distance(const SharedSlidingWindowState& state, uint64_t now) const noexcept;
    uint64_t distance(const SlidingWindowState& state, uint64_t now) const noexcept;

  private:
    uint64_t window_ms_;
};

class SlidingWindow {
  public:
    SlidingWindow(uint64_t window_ms, uint64_t limit)
        : window_ms_(window_ms), limit_(limit), recovery_(window_ms) {}

    // The KeyedAlgorithm interface (algorithm.hpp).
    void check(std::string_view key, Clock& clock, AlgorithmVerdict& verdict) {
        check_in(states_, key, clock, verdict);
    }
    template <typename Store>
    void check_in(Store& states, std::string_view key, Clock& clock, AlgorithmVerdict& verdict);
    template <typename Store>
    void change_in(Store& states, std::string_view key, Clock& clock, const StateChange& change);

  private:
    // Fills the verdict's waits (see KeyedAlgorithm).
    // `queue` is the key's TimestampQueue or TimestampRing.
    template <typename Queue>
    void report_waits(const Queue& queue, uint64_t now, AlgorithmVerdict& verdict) const;

  public:
    KeyedStateMap<SlidingWindowState>& states() noexcept { return states_; }

  private:
    KeyedStateMap<SlidingWindowState> states_;
    uint64_t window_ms_;  // window length in ms
    uint64_t limit_;      // accepted requests allowed per window
    SlidingWindowRecovery recovery_;
};

}  // namespace tolm
