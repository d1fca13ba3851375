#include "ffi/node_convert.hpp"

namespace tolm::node {
namespace {

// Reads a value known or hoped to be a string, without describing it on failure.
napi_status read_utf8(napi_env env, napi_value value, std::string& out) {
    size_t length = 0;
    napi_status status = node_api.napi_get_value_string_utf8(env, value, nullptr, 0, &length);
    if (status != napi_ok) return status;
    out.resize(length);
    // std::string keeps room for the terminator Node-API writes after the text.
    status = node_api.napi_get_value_string_utf8(env, value, out.data(), length + 1, &length);
    out.resize(length);
    return status;
}

std::optional<Error> get_named(napi_env env, napi_value object, const char* name, napi_value& out) {
    const napi_status status = node_api.napi_get_named_property(env, object, name, &out);
    if (status != napi_ok) return make_error(status, messages::get_property(name));
    return std::nullopt;
}

std::optional<Error> describe_object(napi_env env, napi_value value, std::string& out) {
    napi_value global = nullptr;
    napi_status status = node_api.napi_get_global(env, &global);
    if (status != napi_ok) return make_error(status, std::string(messages::global_object));
    napi_value json = nullptr;
    napi_value stringify = nullptr;
    if (auto error = get_named(env, global, "JSON", json)) return error;
    if (auto error = get_named(env, json, "stringify", stringify)) return error;
    napi_value text = nullptr;
    status = node_api.napi_call_function(env, json, stringify, 1, &value, &text);
    if (status != napi_ok) return make_error(status);
    out = "Object ";
    // JSON.stringify answers undefined for values it cannot render; the description then
    // carries the type alone.
    std::string rendered;
    if (read_utf8(env, text, rendered) == napi_ok) out += rendered;
    return std::nullopt;
}

std::optional<Error> describe_function(napi_env env, napi_value value, std::string& out) {
    napi_value name = nullptr;
    if (auto error = get_named(env, value, "name", name)) return error;
    // A `name` that is not a string is left out rather than described in turn: a
    // function may name itself, and describing it would never end.
    std::string text;
    if (read_utf8(env, name, text) != napi_ok) text.clear();
    out = "function ";
    out += text;
    out += "(..) ";
    return std::nullopt;
}

std::optional<Error> describe_primitive(napi_env env, napi_value value, napi_valuetype type,
                                        std::string& out) {
    napi_value coerced = nullptr;
    napi_status status = node_api.napi_coerce_to_string(env, value, &coerced);
    if (status != napi_ok) return make_error(status);
    std::string text;
    status = read_utf8(env, coerced, text);
    if (status != napi_ok) return make_error(status);
    out = type_name(type);
    out += ' ';
    out += text;
    out += ' ';
    return std::nullopt;
}

std::optional<Error> describe(napi_env env, napi_value value, napi_valuetype type,
                              std::string& out) {
    switch (type) {
        case napi_boolean:
        case napi_number:
            return describe_primitive(env, value, type, out);
        case napi_object:
            return describe_object(env, value, out);
        case napi_function:
            return describe_function(env, value, out);
        default:
            out = type_name(type);
            return std::nullopt;
    }
}

// The error for a value the first read refused: a description of it, unless describing
// failed in turn.
Error not_a_string(napi_env env, napi_value value, napi_status first) {
    napi_valuetype type = napi_undefined;
    const napi_status typed = node_api.napi_typeof(env, value, &type);
    if (typed != napi_ok) return make_error(typed);
    std::string description;
    if (auto error = describe(env, value, type, description)) return std::move(*error);
    return make_error(first, messages::value_to_text(description));
}

}  // namespace

std::optional<Error> read_text(napi_env env, napi_value value, std::string& out) {
    size_t length = 0;
    const napi_status first = node_api.napi_get_value_string_utf8(env, value, nullptr, 0, &length);
    if (first != napi_ok) return not_a_string(env, value, first);
    out.resize(length);
    const napi_status second =
        node_api.napi_get_value_string_utf8(env, value, out.data(), length + 1, &length);
    if (second == napi_ok) {
        out.resize(length);
        return std::nullopt;
    }
    napi_valuetype type = napi_undefined;
    const napi_status typed = node_api.napi_typeof(env, value, &type);
    if (typed != napi_ok) return make_error(typed);
    std::string description;
    if (auto error = describe(env, value, type, description)) return error;
    return make_error(second, messages::read_text(description));
}

std::optional<Error> read_text(napi_env env, napi_value value, TextArgument& out) {
    size_t copied = 0;
    const napi_status first = node_api.napi_get_value_string_utf8(env, value, out.inline_.data(),
                                                                  out.inline_.size(), &copied);
    if (first != napi_ok) return not_a_string(env, value, first);
    // A cut text fills the buffer to within one UTF-8 sequence (at most 4 bytes) of its
    // end, so anything shorter is the whole text.
    if (copied + 4 < out.inline_.size() - 1) {
        out.view_ = std::string_view(out.inline_.data(), copied);
        return std::nullopt;
    }
    if (auto error = read_text(env, value, out.spill_)) return error;
    out.view_ = out.spill_;
    return std::nullopt;
}

std::optional<Error> read_number(napi_env env, napi_value value, double& out) {
    const napi_status status = node_api.napi_get_value_double(env, value, &out);
    if (status == napi_ok) return std::nullopt;
    napi_valuetype type = napi_undefined;
    const napi_status typed = node_api.napi_typeof(env, value, &type);
    if (typed != napi_ok) return make_error(typed);
    return make_error(status, messages::value_to_number(type_name(type)));
}

std::optional<Error> check_text(napi_env env, napi_value value) {
    napi_valuetype type = napi_undefined;
    if (node_api.napi_typeof(env, value, &type) == napi_ok && type == napi_string) {
        return std::nullopt;
    }
    std::string unused;
    return read_text(env, value, unused);
}

}  // namespace tolm::node
