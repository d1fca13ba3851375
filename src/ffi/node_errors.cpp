#include "ffi/node_errors.hpp"

#include <array>

namespace tolm::node {
namespace {

constexpr std::array<std::string_view, 23> kStatusTexts = {
    "Ok",
    "InvalidArg",
    "ObjectExpected",
    "StringExpected",
    "NameExpected",
    "FunctionExpected",
    "NumberExpected",
    "BooleanExpected",
    "ArrayExpected",
    "GenericFailure",
    "PendingException",
    "Cancelled",
    "EscapeCalledTwice",
    "HandleScopeMismatch",
    "CallbackScopeMismatch",
    "QueueFull",
    "Closing",
    "BigintExpected",
    "DateExpected",
    "ArrayBufferExpected",
    "DetachableArraybufferExpected",
    "WouldDeadlock",
    "NoExternalBuffersAllowed",
};

constexpr std::array<std::string_view, 9> kTypeNames = {
    "Undefined", "Null", "Boolean", "Number", "String", "Symbol", "Object", "Function", "External",
};

constexpr std::string_view kToStringPhrase = " to a JavaScript String";
constexpr std::string_view kToNumberPhrase = " to a 64-bit float";

// Throwing itself failed and there is no caller left to tell.
[[noreturn]] void stop(std::string_view what) noexcept {
    abort_with_message(std::string("Node-API failed while throwing an error: ") +
                       std::string(what));
}

std::string joined(std::string_view a, std::string_view b, std::string_view c = {},
                   std::string_view d = {}) {
    std::string text;
    text.reserve(a.size() + b.size() + c.size() + d.size());
    text.append(a).append(b).append(c).append(d);
    return text;
}

}  // namespace

Status to_status(napi_status raw) noexcept {
    const auto value = static_cast<unsigned>(raw);
    return value < kStatusTexts.size() ? static_cast<Status>(value) : Status::unknown;
}

std::string_view to_text(Status status) noexcept {
    const auto value = static_cast<unsigned>(status);
    return value < kStatusTexts.size() ? kStatusTexts[value] : "Unknown";
}

std::string_view type_name(napi_valuetype type) noexcept {
    const auto value = static_cast<unsigned>(type);
    return value < kTypeNames.size() ? kTypeNames[value] : "Unknown";
}

void throw_error(napi_env env, Error error) noexcept {
    // The exception that made the call fail is the one the caller should see.
    if (error.status == Status::pending_exception) return;

    bool pending = false;
    if (node_api.napi_is_exception_pending(env, &pending) != napi_ok) {
        stop("napi_is_exception_pending");
    }
    if (pending) {
        napi_value exception = nullptr;
        if (node_api.napi_get_and_clear_last_exception(env, &exception) != napi_ok) {
            stop("napi_get_and_clear_last_exception");
        }
        node_api.napi_throw(env, exception);
        return;
    }

    if (error.maybe_raw != nullptr) {
        napi_value raw = nullptr;
        const bool fetched =
            node_api.napi_get_reference_value(env, error.maybe_raw, &raw) == napi_ok &&
            raw != nullptr;
        node_api.napi_delete_reference(env, error.maybe_raw);
        bool is_error = false;
        if (fetched && node_api.napi_is_error(env, raw, &is_error) == napi_ok && is_error) {
            node_api.napi_throw(env, raw);
            return;
        }
    }

    const std::string_view code_text = to_text(error.status);
    napi_value code = nullptr;
    napi_value message = nullptr;
    napi_value thrown = nullptr;
    if (node_api.napi_create_string_utf8(env, code_text.data(), code_text.size(), &code) !=
            napi_ok ||
        node_api.napi_create_string_utf8(env, error.reason.data(), error.reason.size(), &message) !=
            napi_ok ||
        node_api.napi_create_error(env, code, message, &thrown) != napi_ok) {
        return;  // the failed call left its own exception pending, or there is none to give
    }
    node_api.napi_throw(env, thrown);
}

namespace messages {

std::string register_class(std::string_view name) {
    return joined("Failed to register class `", name, "` generate by struct `", joined(name, "`"));
}
std::string wrap(std::string_view constructor_name) {
    return joined("Failed to initialize class `", constructor_name, "`");
}
std::string set_property(std::string_view name) {
    return joined("Failed to set property with field `", name, "`");
}
std::string get_property(std::string_view name) {
    return joined("Failed to get property with field `", name, "`");
}
std::string value_to_text(std::string_view description) {
    return joined("Failed to convert JavaScript value `", description, "`", kToStringPhrase);
}
std::string read_text(std::string_view description) {
    return joined("Failed to convert napi `", description, "`", kToStringPhrase);
}
std::string value_to_number(std::string_view type) {
    return joined("Failed to convert napi value ", type, kToNumberPhrase);
}

}  // namespace messages
}  // namespace tolm::node
