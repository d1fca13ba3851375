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

napi_value get_named(napi_env env, napi_value object, const char* name) {
    napi_value out = nullptr;
    const napi_status status = node_api.napi_get_named_property(env, object, name, &out);
    if (status != napi_ok) fail(status, messages::get_property(name));
    return out;
}

std::string describe_object(napi_env env, napi_value value) {
    napi_value global = nullptr;
    expect_ok(node_api.napi_get_global(env, &global), messages::kGlobalObject);
    napi_value json = get_named(env, global, "JSON");
    napi_value stringify = get_named(env, json, "stringify");
    napi_value text = nullptr;
    expect_ok(node_api.napi_call_function(env, json, stringify, 1, &value, &text));
    // JSON.stringify answers undefined for values it cannot render; the description then
    // carries the type alone.
    std::string out = "Object ";
    std::string rendered;
    if (read_utf8(env, text, rendered) == napi_ok) out += rendered;
    return out;
}

std::string describe_function(napi_env env, napi_value value) {
    napi_value name = get_named(env, value, "name");
    // A `name` that is not a string is left out rather than described in turn: a
    // function may name itself, and describing it would never end.
    std::string text;
    if (read_utf8(env, name, text) != napi_ok) text.clear();
    return "function " + text + "(..) ";
}

std::string describe_primitive(napi_env env, napi_value value, napi_valuetype type) {
    napi_value coerced = nullptr;
    expect_ok(node_api.napi_coerce_to_string(env, value, &coerced));
    std::string text;
    expect_ok(read_utf8(env, coerced, text));
    std::string out(type_name(type));
    out += ' ';
    out += text;
    out += ' ';
    return out;
}

std::string describe(napi_env env, napi_value value) {
    napi_valuetype type = napi_undefined;
    expect_ok(node_api.napi_typeof(env, value, &type));
    switch (type) {
        case napi_boolean:
        case napi_number:
            return describe_primitive(env, value, type);
        case napi_object:
            return describe_object(env, value);
        case napi_function:
            return describe_function(env, value);
        default:
            return std::string(type_name(type));
    }
}

// The error for a value the first read refused: a description of it, unless describing
// failed in turn.
[[noreturn]] void fail_not_a_string(napi_env env, napi_value value, napi_status first) {
    fail(first, messages::value_to_text(describe(env, value)));
}

}  // namespace

std::string read_text(napi_env env, napi_value value) {
    size_t length = 0;
    const napi_status first = node_api.napi_get_value_string_utf8(env, value, nullptr, 0, &length);
    if (first != napi_ok) fail_not_a_string(env, value, first);
    std::string out(length, '\0');
    const napi_status second =
        node_api.napi_get_value_string_utf8(env, value, out.data(), length + 1, &length);
    if (second != napi_ok) fail(second, messages::read_text(describe(env, value)));
    out.resize(length);
    return out;
}

void TextArgument::read(napi_env env, napi_value value) {
    size_t copied = 0;
    const napi_status first =
        node_api.napi_get_value_string_utf8(env, value, inline_.data(), inline_.size(), &copied);
    if (first != napi_ok) fail_not_a_string(env, value, first);
    // A cut text fills the buffer to within one UTF-8 sequence (at most 4 bytes) of its
    // end, so anything shorter is the whole text.
    if (copied + 4 < inline_.size() - 1) {
        view_ = std::string_view(inline_.data(), copied);
        return;
    }
    spill_ = read_text(env, value);
    view_ = spill_;
}

double read_number(napi_env env, napi_value value) {
    double out = 0.0;
    const napi_status status = node_api.napi_get_value_double(env, value, &out);
    if (status == napi_ok) return out;
    napi_valuetype type = napi_undefined;
    expect_ok(node_api.napi_typeof(env, value, &type));
    fail(status, messages::value_to_number(type_name(type)));
}

void expect_text(napi_env env, napi_value value) {
    napi_valuetype type = napi_undefined;
    if (node_api.napi_typeof(env, value, &type) == napi_ok && type == napi_string) return;
    read_text(env, value);
}

}  // namespace tolm::node
