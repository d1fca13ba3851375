// The CheckResult a binding fills on every check of a thread. Its texts keep their storage
// from one call to the next, so a check of an existing key allocates nothing.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "core/engine.hpp"

namespace tolm {

// The text storage a thread's result may keep between calls, over all its texts. A call whose
// texts were longer gives the excess back when it ends, so one large route or identity is not
// carried for the rest of the thread's life.
inline constexpr size_t kKeptResultTextBytes = 4096;

namespace reusable_result_detail {
// The calling thread's result and whether a call is using it.
struct Slot {
    CheckResult shared;
    bool in_use = false;
};
inline thread_local Slot thread_slot;

// Calls `visit(std::string&)` on every text of `result` that holds one.
template <typename Visit>
void for_each_text(CheckResult& result, Visit&& visit) {
    DecisionRecord& record = result.record;
    for (std::string* text : {&result.algorithm, &result.detail, &record.decision, &record.reason,
                              &record.algorithm, &record.route, &record.mode, &record.ip}) {
        visit(*text);
    }
    if (result.reason) visit(*result.reason);
    if (record.identity) visit(*record.identity);
}

// Empties every text of `result`, so that nothing a call saw (a route, an address, an
// identity) outlives the call, or the engine that made it. The storage stays for the next call
// unless it adds up to more than kKeptResultTextBytes; then every text longer than an eighth of
// that bound gives its storage back (the shorter ones, eleven at most, stay under the bound).
inline void forget_texts(CheckResult& result) noexcept {
    size_t kept = 0;
    for_each_text(result, [&](std::string& text) {
        text.clear();
        kept += text.capacity();
    });
    if (kept <= kKeptResultTextBytes) return;
    for_each_text(result, [](std::string& text) {
        if (text.capacity() > kKeptResultTextBytes / 8) std::string().swap(text);
    });
}
}  // namespace reusable_result_detail

// Hands out the calling thread's shared CheckResult for the length of one binding call.
// Turning a result into host objects can run host code (a garbage collection that runs
// finalizers, say) that checks again on the same thread while the outer result is still
// being read; such a nested call gets a result of its own instead of overwriting the outer
// one. When the call ends the shared result's texts are emptied (see forget_texts).
class ReusableResult {
  public:
    // One lookup of the thread's slot per call: in a library loaded at run time every
    // thread-local access is a call into the dynamic loader.
    ReusableResult() noexcept
        : slot_(&reusable_result_detail::thread_slot), nested_(slot_->in_use) {
        slot_->in_use = true;
    }
    ~ReusableResult() {
        if (!nested_) reusable_result_detail::forget_texts(slot_->shared);
        slot_->in_use = nested_;
    }
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
