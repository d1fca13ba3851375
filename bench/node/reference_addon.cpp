// Reference points for the checkRequest benchmark, built by bench/node/run.sh as a
// separate addon linked directly against the host's Node-API (never shipped):
//
//   floor(ip, route, startTimeMs)    reads the three arguments exactly as checkRequest
//                                    does and returns a result object built by the same
//                                    kind of factory, without asking any engine;
//   setNamed(ip, route, startTimeMs) asks a real engine like checkRequest, then builds
//                                    the result with one napi_set_named_property per
//                                    property;
//   engineLoop(calls)                runs the engine's check that many times in C++ and
//                                    returns nanoseconds per check: what the engine adds
//                                    to any binding.
#include <node_api.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "core/engine.hpp"

namespace {

napi_ref builder_ref = nullptr;
std::unique_ptr<tolm::Engine> engine;

// Reads as checkRequest does: one call into a buffer that fits short texts, two calls
// (length, then text) for longer ones.
struct Text {
    char inline_[256];
    std::string spill;
    std::string_view view;
};

bool read_text(napi_env env, napi_value value, Text& out) {
    size_t length = 0;
    if (napi_get_value_string_utf8(env, value, out.inline_, sizeof out.inline_, &length) !=
        napi_ok) {
        return false;
    }
    if (length + 4 < sizeof out.inline_ - 1) {
        out.view = std::string_view(out.inline_, length);
        return true;
    }
    if (napi_get_value_string_utf8(env, value, nullptr, 0, &length) != napi_ok) return false;
    out.spill.resize(length);
    if (napi_get_value_string_utf8(env, value, out.spill.data(), length + 1, &length) != napi_ok) {
        return false;
    }
    out.view = out.spill;
    return true;
}

bool read_arguments(napi_env env, napi_callback_info info, napi_value& self, Text& ip, Text& route,
                    double& start) {
    size_t argc = 3;
    napi_value argv[3] = {};
    if (napi_get_cb_info(env, info, &argc, argv, &self, nullptr) != napi_ok) return false;
    return read_text(env, argv[0], ip) && read_text(env, argv[1], route) &&
           napi_get_value_double(env, argv[2], &start) == napi_ok;
}

// The detail text both floors return, as a generous token bucket reports it.
constexpr std::string_view kFloorDetail = "999999999 tokens remaining";

napi_value floor(napi_env env, napi_callback_info info) {
    napi_value self = nullptr;
    Text ip, route;
    double start = 0;
    if (!read_arguments(env, info, self, ip, route, start)) return nullptr;
    napi_value args[4];
    napi_value builder = nullptr;
    napi_value out = nullptr;
    napi_get_reference_value(env, builder_ref, &builder);
    napi_get_boolean(env, true, &args[0]);
    napi_get_boolean(env, false, &args[1]);
    napi_create_int32(env, 0, &args[2]);
    // As checkRequest does for its ASCII detail texts.
    napi_create_string_latin1(env, kFloorDetail.data(), kFloorDetail.size(), &args[3]);
    napi_call_function(env, self, builder, 4, args, &out);
    return out;
}

// The floor of another design, for comparison: the native call returns only the detail
// text and leaves the packed outcome in memory that JavaScript reads through an Int32Array,
// and a JavaScript function around it builds the object (see check_request.js).
int32_t packed_outcome_slot = 0;

napi_value primitive_floor(napi_env env, napi_callback_info info) {
    napi_value self = nullptr;
    Text ip, route;
    double start = 0;
    if (!read_arguments(env, info, self, ip, route, start)) return nullptr;
    packed_outcome_slot = 1;  // allowed, not would-block, reason 0
    napi_value out = nullptr;
    napi_create_string_latin1(env, kFloorDetail.data(), kFloorDetail.size(), &out);
    return out;
}

bool set_text(napi_env env, napi_value object, const char* name, const std::string& text) {
    napi_value value = nullptr;
    return napi_create_string_utf8(env, text.data(), text.size(), &value) == napi_ok &&
           napi_set_named_property(env, object, name, value) == napi_ok;
}

bool set_bool(napi_env env, napi_value object, const char* name, bool flag) {
    napi_value value = nullptr;
    return napi_get_boolean(env, flag, &value) == napi_ok &&
           napi_set_named_property(env, object, name, value) == napi_ok;
}

napi_value set_named(napi_env env, napi_callback_info info) {
    napi_value self = nullptr;
    Text ip, route;
    double start = 0;
    if (!read_arguments(env, info, self, ip, route, start)) return nullptr;
    const tolm::CheckResult result =
        engine->check(std::nullopt, ip.view, route.view, tolm::to_u64_saturating(start));
    napi_value out = nullptr;
    napi_create_object(env, &out);
    set_bool(env, out, "allowed", result.allowed);
    set_bool(env, out, "wouldBlock", result.would_block);
    if (result.reason) set_text(env, out, "reason", *result.reason);
    set_text(env, out, "algorithm", result.algorithm);
    set_text(env, out, "debugInfo", result.detail);
    return out;
}

napi_value engine_loop(napi_env env, napi_callback_info info) {
    size_t argc = 1;
    napi_value argv[1] = {};
    double calls = 0;
    napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
    napi_get_value_double(env, argv[0], &calls);
    tolm::CheckResult result;
    const auto begin = std::chrono::steady_clock::now();
    for (double i = 0; i < calls; ++i) {
        engine->check_into(result, std::nullopt, "10.0.0.1", "/api/items", 0);
    }
    const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - begin;
    napi_value out = nullptr;
    napi_create_double(env, spent.count() / calls, &out);
    return out;
}

const char* const factory_source =
    "(function (algorithm) {\n"
    "  'use strict';\n"
    "  return function (allowed, wouldBlock, reason, debugInfo) {\n"
    "    switch (reason) {\n"
    "      case -1: return { allowed, wouldBlock, algorithm, debugInfo };\n"
    "      case 0: reason = 'within_limit'; break;\n"
    "      case 1: reason = 'limit_exceeded'; break;\n"
    "      case 2: reason = 'token_exhausted'; break;\n"
    "    }\n"
    "    return { allowed, wouldBlock, reason, algorithm, debugInfo };\n"
    "  };\n"
    "})";

}  // namespace

extern "C" __attribute__((visibility("default"))) napi_value napi_register_module_v1(
    napi_env env, napi_value exports) {
    tolm::EngineConfig config;
    config.algorithm = "token_bucket";
    config.mode = "active";
    config.capacity = 1e9;
    config.refill_rate = 1e9;
    config.backend_url = "http://localhost:4000";
    engine = std::make_unique<tolm::Engine>(config);

    napi_value source = nullptr, maker = nullptr, algorithm = nullptr, builder = nullptr;
    napi_create_string_utf8(env, factory_source, NAPI_AUTO_LENGTH, &source);
    napi_run_script(env, source, &maker);
    napi_create_string_utf8(env, "token_bucket", NAPI_AUTO_LENGTH, &algorithm);
    napi_call_function(env, maker, maker, 1, &algorithm, &builder);
    napi_create_reference(env, builder, 1, &builder_ref);

    napi_value function = nullptr;
    napi_create_function(env, "floor", NAPI_AUTO_LENGTH, floor, nullptr, &function);
    napi_set_named_property(env, exports, "floor", function);
    napi_create_function(env, "setNamed", NAPI_AUTO_LENGTH, set_named, nullptr, &function);
    napi_set_named_property(env, exports, "setNamed", function);
    napi_create_function(env, "engineLoop", NAPI_AUTO_LENGTH, engine_loop, nullptr, &function);
    napi_set_named_property(env, exports, "engineLoop", function);
    napi_create_function(env, "primitiveFloor", NAPI_AUTO_LENGTH, primitive_floor, nullptr,
                         &function);
    napi_set_named_property(env, exports, "primitiveFloor", function);
    napi_value buffer = nullptr, outcome = nullptr;
    napi_create_external_arraybuffer(env, &packed_outcome_slot, sizeof packed_outcome_slot, nullptr,
                                     nullptr, &buffer);
    napi_create_typedarray(env, napi_int32_array, 1, buffer, 0, &outcome);
    napi_set_named_property(env, exports, "packedOutcome", outcome);
    return exports;
}
