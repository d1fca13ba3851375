// The CheckResult a binding fills on every check of a thread. Its texts keep their storage
// from one call to the next, so a check of an existing key allocates nothing.
#pragma once

#include <optional>

#include "core/engine.hpp"

namespace tolm {

// Hands out the calling thread's shared CheckResult for the length of one binding call.
// Turning a result into host objects can run host code (a garbage collection that runs
// finalizers, say) that checks again on the same thread while the outer result is still
// being read; such a nested call gets a result of its own instead of overwriting the outer
// one.
class ReusableResult {
  public:
    ReusableResult() noexcept : nested_(in_use_) { in_use_ = true; }
    ~ReusableResult() { in_use_ = nested_; }
    ReusableResult(const ReusableResult&) = delete;
    ReusableResult& operator=(const ReusableResult&) = delete;

    CheckResult& get() {
        if (!nested_) return shared_;
        own_.emplace();
        return *own_;
    }

  private:
    static inline thread_local CheckResult shared_;
    static inline thread_local bool in_use_ = false;
    bool nested_;  // an outer call on this thread holds shared_
    std::optional<CheckResult> own_;
};

}  // namespace tolm
