// How failures inside the Node binding are carried and thrown: the Node-API status names
// that become an error's `code`, the error record, and every message the binding words.
//
// Inside the binding a failure is a thrown Error. It unwinds to the callback's entry point
// (at_boundary in ffi/node_registration.hpp), which throws it into JavaScript once; no code
// in between checks or forwards it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ffi/node_api_table.hpp"

namespace tolm::node {

// Node-API statuses 0 to 22 keep their numbers; anything else is `unknown`.
enum class Status : uint16_t {
    ok = 0,
    invalid_arg = 1,
    object_expected = 2,
    string_expected = 3,
    name_expected = 4,
    function_expected = 5,
    number_expected = 6,
    boolean_expected = 7,
    array_expected = 8,
    generic_failure = 9,
    pending_exception = 10,
    cancelled = 11,
    escape_called_twice = 12,
    handle_scope_mismatch = 13,
    callback_scope_mismatch = 14,
    queue_full = 15,
    closing = 16,
    bigint_expected = 17,
    date_expected = 18,
    arraybuffer_expected = 19,
    detachable_arraybuffer_expected = 20,
    would_deadlock = 21,
    no_external_buffers_allowed = 22,
    unknown = 1024,
};

Status to_status(napi_status raw) noexcept;
std::string_view to_text(Status status) noexcept;

// The display name of a napi_typeof result inside messages.
std::string_view type_name(napi_valuetype type) noexcept;

// A failure on its way to JavaScript. `maybe_raw` holds a reference to a value that is
// already an error object; the binding's own errors leave it empty.
struct Error {
    Status status = Status::generic_failure;
    std::string reason;
    napi_ref maybe_raw = nullptr;
};

inline Error make_error(napi_status raw, std::string reason = {}) {
    return Error{to_status(raw), std::move(reason), nullptr};
}

// Throws the Error for a failed Node-API call.
[[noreturn]] inline void fail(napi_status raw, std::string reason = {}) {
    throw make_error(raw, std::move(reason));
}
[[noreturn]] inline void fail(napi_status raw, std::string_view reason) {
    throw make_error(raw, std::string(reason));
}

// Throws unless `status` is napi_ok. The reason is a constant, so that a call that succeeds
// builds no message; a reason that must be composed is built only on the failure path.
inline void expect_ok(napi_status status, std::string_view reason = {}) {
    if (status != napi_ok) fail(status, reason);
}

// Throws `error` into `env`, unless an exception is already pending there: that one is
// thrown instead. Stops the process when the pending state cannot be read.
void throw_error(napi_env env, Error error) noexcept;

// Every text the binding words, so that callers and tests agree on one spelling.
namespace messages {
inline constexpr std::string_view kCallbackInfo = "Failed to initialize napi function call.";
inline constexpr std::string_view kUnwrap =
    "Failed to unwrap exclusive reference of `TolmNode` type from napi value";
inline constexpr std::string_view kGlobalObject = "Get global object from Env failed";
inline constexpr std::string_view kResultFactory = "Failed to prepare the result factory";
inline constexpr std::string_view kWithoutNew =
    "Class constructor TolmNode cannot be invoked without 'new'";
inline constexpr std::string_view kConfigSuffix = " on NodeConfig.";
inline constexpr std::string_view kVerdictArray =
    "The verdict argument must be a Float64Array of at least 3 elements";

std::string register_class(std::string_view name);
std::string wrap(std::string_view constructor_name);
std::string set_property(std::string_view name);
std::string get_property(std::string_view name);
std::string value_to_text(std::string_view description);
std::string read_text(std::string_view description);
std::string value_to_number(std::string_view type);
}  // namespace messages

}  // namespace tolm::node
