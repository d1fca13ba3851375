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
// carried for the rest of the thread's life; and no text a caller supplied outlives its call.
inline constexpr size_t kKeptResultTextBytes = 4096;

namespace reusable_result_detail {
// The calling thread's result and whether a call is using it.
struct Slot {
    CheckResult shared;
    bool in_use = false;
};
inline thread_local Slot thread_slot;

// The storage one tidied text may keep: five of them at most this each, beside the short
// texts that are never tidied, stay under kKeptResultTextBytes together.
inline constexpr size_t kKeptTextBytes = kKeptResultTextBytes / 16;

// Empties `text`, keeping its storage unless it is larger than kKeptTextBytes. An empty text
// was tidied when it was last emptied (a check only ever writes into a tidied result), so it
// is left alone.
inline void forget_text(std::string& text) noexcept {
    if (text.empty()) return;
    if (text.capacity() > kKeptTextBytes) {
        std::string().swap(text);
    } else {
        text.clear();
    }
}

// Empties the texts of `result` that carry what a caller or a configuration supplied (the
// route, the address, the identity, the algorithm's name), so that none of them outlives the
// call, or the engine that made it, and gives back the storage of the long ones (see
// kKeptTextBytes). The other texts come from a fixed vocabulary (decision, reason, mode) or
// are a number and a fixed phrase (the detail): short, and nothing of the request.
inline void forget_texts(CheckResult& result) noexcept {
    DecisionRecord& record = result.record;
    forget_text(result.algorithm);
    forget_text(record.algorithm);
    forget_text(record.route);
    forget_text(record.ip);
    if (record.identity) forget_text(*record.identity);
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
