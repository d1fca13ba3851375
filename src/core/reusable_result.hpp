// The CheckResult a binding fills on every check of a thread. Its texts keep their storage
// from one call to the next, so a check of an existing key allocates nothing.
#pragma once

#include <optional>

#include "core/engine.hpp"

namespace tolm {

namespace reusable_result_detail {
// The calling thread's result and whether a call is using it.
struct Slot {
    CheckResult shared;
    bool in_use = false;
};
inline thread_local Slot thread_slot;
}  // namespace reusable_result_detail

// Hands out the calling thread's shared CheckResult for the length of one binding call.
// Turning a result into host objects can run host code (a garbage collection that runs
// finalizers, say) that checks again on the same thread while the outer result is still
// being read; such a nested call gets a result of its own instead of overwriting the outer
// one.
class ReusableResult {
  public:
    // One lookup of the thread's slot per call: in a library loaded at run time every
    // thread-local access is a call into the dynamic loader.
    ReusableResult() noexcept
        : slot_(&reusable_result_detail::thread_slot), nested_(slot_->in_use) {
        slot_->in_use = true;
    }
    ~ReusableResult() { slot_->in_use = nested_; }
    ReusableResult(const ReusableResult&) = delete;
    ReusableResult& operator=(const ReusableResult&) = delete;

    CheckResult& get() {
        if (!nested_) return slot_->shared;
        own_.emplace();
        return *own_;
    }

  private:
    reusable_result_detail::Slot* slot_;
    bool nested_;  // an outer call on this thread holds the slot's result
    std::optional<CheckResult> own_;
};

}  // namespace tolm
