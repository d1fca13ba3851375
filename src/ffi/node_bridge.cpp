#include "ffi/node_bridge.hpp"

#include <array>
#include <variant>
#include <vector>

#include "ffi/node_convert.hpp"
#include "ffi/node_registration.hpp"

namespace tolm::node {
namespace {

constexpr std::string_view class_name = "TolmNode";
constexpr auto method_attributes =
    static_cast<napi_property_attributes>(napi_writable | napi_enumerable | napi_configurable);

// ---------------------------------------------------------------------------------------
// NodeConfig

using TextField = std::optional<std::string> NodeConfig::*;
using NumberField = std::optional<double> NodeConfig::*;

struct ConfigField {
    const char* name;
    std::variant<TextField, NumberField> member;
};

constexpr std::array<ConfigField, 12> config_fields = {{
    {"algorithm", &NodeConfig::algorithm},
    {"mode", &NodeConfig::mode},
    {"capacity", &NodeConfig::capacity},
    {"refillRate", &NodeConfig::refill_rate},
    {"apiKey", &NodeConfig::api_key},
    {"debug", &NodeConfig::debug},
    {"backendUrl", &NodeConfig::backend_url},
    {"requestsPerMinute", &NodeConfig::requests_per_minute},
    {"requestsPerSecond", &NodeConfig::requests_per_second},
    {"burstLimit", &NodeConfig::burst_limit},
    {"burstMultiplier", &NodeConfig::burst_multiplier},
    {"blockDurationMs", &NodeConfig::block_duration_ms},
}};

std::optional<Error> read_field(napi_env env, napi_value config, const ConfigField& field,
                                NodeConfig& out) {
    napi_value value = nullptr;
    napi_status status = node_api.napi_get_named_property(env, config, field.name, &value);
    if (status != napi_ok) return make_error(status, messages::get_property(field.name));
    napi_valuetype type = napi_undefined;
    status = node_api.napi_typeof(env, value, &type);
    if (status != napi_ok) return make_error(status);
    if (type == napi_undefined) return std::nullopt;

    if (const auto* text = std::get_if<TextField>(&field.member)) {
        std::string read;
        if (auto error = read_text(env, value, read)) return error;
        out.** text = std::move(read);
    } else {
        double read = 0.0;
        if (auto error = read_number(env, value, read)) return error;
        out.*std::get<NumberField>(field.member) = read;
    }
    return std::nullopt;
}

std::optional<uint64_t> saturated(std::optional<double> value) {
    if (!value) return std::nullopt;
    return to_u64_saturating(*value);
}

// ---------------------------------------------------------------------------------------
// Result objects
//
// One Node-API call per property costs several times the engine's own work, so each
// environment compiles a small factory once. Called with an instance's algorithm text it
// returns that instance's builder, which turns (outcome, detail) into the plain result
// object with a literal: the properties, their order and their attributes are those of an
// object built property by property. The outcome packs allowed (bit 0), wouldBlock
// (bit 1) and the reason above them: 0 leaves "reason" out, 1 + n is reason code n.

std::string result_factory_source() {
    std::string source =
        "(function (algorithm) {\n"
        "  'use strict';\n"
        "  return function (outcome, debugInfo) {\n"
        "    const allowed = (outcome & 1) === 1;\n"
        "    const wouldBlock = (outcome & 2) === 2;\n"
        "    switch (outcome >> 2) {\n"
        "      case 0: return { allowed, wouldBlock, algorithm, debugInfo };\n";
    for (int code = 0; code <= 2; ++code) {
        source +=
            "      case " + std::to_string(code + 1) + ": return { allowed, wouldBlock, reason: '";
        source += to_text(static_cast<ReasonCode>(code));
        source += "', algorithm, debugInfo };\n";
    }
    source +=
        "    }\n"
        "  };\n"
        "})";
    return source;
}

// The factory of each environment living on this thread.
struct EnvironmentFactory {
    napi_env env;
    napi_ref maker;
};

std::vector<EnvironmentFactory>& environment_factories() {
    thread_local std::vector<EnvironmentFactory> factories;
    return factories;
}

void forget_environment(void* env) {
    auto& factories = environment_factories();
    std::erase_if(factories, [env](const EnvironmentFactory& f) { return f.env == env; });
}

std::optional<Error> factory_maker(napi_env env, napi_value& out) {
    for (const EnvironmentFactory& known : environment_factories()) {
        if (known.env != env) continue;
        const napi_status status = node_api.napi_get_reference_value(env, known.maker, &out);
        if (status != napi_ok) return make_error(status, std::string(messages::result_factory));
        return std::nullopt;
    }
    const std::string source = result_factory_source();
    napi_value script = nullptr;
    napi_ref maker = nullptr;
    napi_status status =
        node_api.napi_create_string_utf8(env, source.data(), source.size(), &script);
    if (status == napi_ok) status = node_api.napi_run_script(env, script, &out);
    if (status == napi_ok) status = node_api.napi_create_reference(env, out, 1, &maker);
    if (status == napi_ok) {
        status = node_api.napi_add_env_cleanup_hook(env, forget_environment, env);
    }
    if (status != napi_ok) return make_error(status, std::string(messages::result_factory));
    environment_factories().push_back(EnvironmentFactory{env, maker});
    return std::nullopt;
}

std::optional<Error> make_result_builder(napi_env env, std::string_view algorithm, napi_ref& out) {
    napi_value maker = nullptr;
    if (auto error = factory_maker(env, maker)) return error;
    napi_value text = nullptr;
    napi_value builder = nullptr;
    napi_status status =
        node_api.napi_create_string_utf8(env, algorithm.data(), algorithm.size(), &text);
    if (status == napi_ok) {
        status = node_api.napi_call_function(env, maker, maker, 1, &text, &builder);
    }
    if (status == napi_ok) status = node_api.napi_create_reference(env, builder, 1, &out);
    if (status != napi_ok) return make_error(status, std::string(messages::result_factory));
    return std::nullopt;
}

// The builder's outcome argument for a result (see result_factory_source).
int32_t packed_outcome(const CheckResult& result) {
    int32_t reason = 0;
    if (result.reason) {
        for (int32_t code = 0; code <= 2; ++code) {
            if (*result.reason == to_text(static_cast<ReasonCode>(code))) reason = code + 1;
        }
    }
    return (result.allowed ? 1 : 0) | (result.would_block ? 2 : 0) | (reason << 2);
}

bool is_ascii(std::string_view text) noexcept {
    unsigned char high_bits = 0;
    for (const char c : text) high_bits |= static_cast<unsigned char>(c);
    return high_bits < 0x80;
}

std::optional<Error> build_result(napi_env env, const TolmNode& part, napi_value recv,
                                  const CheckResult& result, napi_value& out) {
    std::array<napi_value, 2> args{};
    napi_value builder = nullptr;
    napi_status status = node_api.napi_get_reference_value(env, part.result_factory, &builder);
    if (status != napi_ok) return make_error(status, std::string(messages::result_factory));
    status = node_api.napi_create_int32(env, packed_outcome(result), &args[0]);
    if (status != napi_ok) return make_error(status, messages::set_property("allowed"));
    // Detail texts are ASCII, which reads the same as Latin-1; V8 then copies the bytes
    // without decoding them.
    const std::string& detail = result.detail;
    status = is_ascii(detail)
                 ? node_api.napi_create_string_latin1(env, detail.data(), detail.size(), &args[1])
                 : node_api.napi_create_string_utf8(env, detail.data(), detail.size(), &args[1]);
    if (status != napi_ok) return make_error(status, messages::set_property("debugInfo"));
    status = node_api.napi_call_function(env, recv, builder, args.size(), args.data(), &out);
    if (status != napi_ok) return make_error(status, std::string(messages::result_factory));
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// Callbacks

// The instance this thread used last, checked against `this` through its weak wrap
// reference: servers call one limiter over and over, and napi_unwrap costs more than the
// engine's own check. The finalizer clears it before the native part goes away.
struct LastInstance {
    napi_env env = nullptr;
    TolmNode* part = nullptr;
    napi_ref reference = nullptr;
};

// What checkRequest keeps per thread, in one place so that a call looks it up once.
struct CheckState {
    LastInstance last_instance;
    // Keeps its text storage from call to call. Nothing between the engine's check and
    // the copy into JavaScript runs code that could call back in.
    CheckResult result;
};

CheckState& check_state() {
    thread_local CheckState state;
    return state;
}

std::optional<Error> instance_of(napi_env env, napi_value self, TolmNode*& out) {
    LastInstance& last_instance = check_state().last_instance;
    if (last_instance.part != nullptr && last_instance.env == env) {
        napi_value held = nullptr;
        bool same = false;
        if (node_api.napi_get_reference_value(env, last_instance.reference, &held) == napi_ok &&
            held != nullptr && node_api.napi_strict_equals(env, held, self, &same) == napi_ok &&
            same) {
            out = last_instance.part;
            return std::nullopt;
        }
    }
    void* native = nullptr;
    const napi_status status = node_api.napi_unwrap(env, self, &native);
    if (status != napi_ok) return make_error(status, std::string(messages::unwrap));
    // Objects wrapped by another addon unwrap too; only parts this thread wrapped are ours.
    const ReferenceEntry* entry = ReferenceMap::current().find(native);
    if (entry == nullptr) return make_error(napi_invalid_arg, std::string(messages::unwrap));
    out = static_cast<TolmNode*>(native);
    last_instance = LastInstance{env, out, entry->reference};
    return std::nullopt;
}

napi_value fail(napi_env env, Error error) {
    throw_error(env, std::move(error));
    return nullptr;
}

void finalize(napi_env env, void* data, void* /*hint*/) {
    at_boundary([&] {
        auto* part = static_cast<TolmNode*>(data);
        LastInstance& last_instance = check_state().last_instance;
        if (last_instance.part == part) last_instance = {};
        part->engine.reset();
        if (auto entry = ReferenceMap::current().take(part)) {
            (*entry->finalize)();
            node_api.napi_delete_reference(env, entry->reference);
        }
        if (part->result_factory != nullptr) {
            node_api.napi_delete_reference(env, part->result_factory);
        }
        delete part;
    });
}

napi_value construct(napi_env env, napi_callback_info info) {
    return at_boundary([&]() -> napi_value {
        size_t argc = 1;
        napi_value argv[1] = {};
        napi_value self = nullptr;
        napi_status status = node_api.napi_get_cb_info(env, info, &argc, argv, &self, nullptr);
        if (status != napi_ok)
            return fail(env, make_error(status, std::string(messages::callback_info)));

        // Called without `new`, `this` is the global object: wrapping it would tie an
        // engine to the global for the life of the environment.
        napi_value new_target = nullptr;
        status = node_api.napi_get_new_target(env, info, &new_target);
        if (status != napi_ok) {
            return fail(env, make_error(status, std::string(messages::callback_info)));
        }
        if (new_target == nullptr) {
            return fail(env, make_error(napi_invalid_arg, std::string(messages::without_new)));
        }

        NodeConfig config;
        if (auto error = read_node_config(env, argv[0], config))
            return fail(env, std::move(*error));

        auto part = std::make_unique<TolmNode>();
        part->engine = std::make_shared<Engine>(to_engine_config(std::move(config)));
        if (auto error =
                make_result_builder(env, part->engine->config().algorithm, part->result_factory)) {
            return fail(env, std::move(*error));
        }

        napi_ref reference = nullptr;
        status = node_api.napi_wrap(env, self, part.get(), finalize, nullptr, &reference);
        if (status != napi_ok) {
            node_api.napi_delete_reference(env, part->result_factory);
            return fail(env, make_error(status, messages::wrap("constructor")));
        }
        ReferenceMap::current().add(env, part.release(), reference);
        return self;
    });
}

napi_value check_request(napi_env env, napi_callback_info info) {
    return at_boundary([&]() -> napi_value {
        size_t argc = 3;
        napi_value argv[3] = {};
        napi_value self = nullptr;
        napi_status status = node_api.napi_get_cb_info(env, info, &argc, argv, &self, nullptr);
        if (status != napi_ok)
            return fail(env, make_error(status, std::string(messages::callback_info)));

        TolmNode* part = nullptr;
        if (auto error = instance_of(env, self, part)) return fail(env, std::move(*error));

        TextArgument ip;
        TextArgument route;
        double start_time_ms = 0.0;
        if (auto error = read_text(env, argv[0], ip)) return fail(env, std::move(*error));
        // The route only reaches the record, which only a telemetry event reads.
        const bool route_used = part->engine->config().api_key.has_value();
        if (auto error = route_used ? read_text(env, argv[1], route) : check_text(env, argv[1]))
            return fail(env, std::move(*error));
        if (auto error = read_number(env, argv[2], start_time_ms))
            return fail(env, std::move(*error));

        CheckResult& result = check_state().result;
        // JavaScript never sees the record, so the engine may skip building it.
        part->engine->check_into(result, std::nullopt, ip.view(), route.view(),
                                 to_u64_saturating(start_time_ms), RecordUse::unread);

        napi_value object = nullptr;
        if (auto error = build_result(env, *part, self, result, object))
            return fail(env, std::move(*error));
        return object;
    });
}

[[maybe_unused]] const bool loaded = [] {
    register_class(class_name);
    register_method(class_name, {"checkRequest", check_request, method_attributes, false});
    register_method(class_name, {"constructor", construct, method_attributes, true});
    fill_node_api_table();
    return true;
}();

}  // namespace

std::optional<Error> read_node_config(napi_env env, napi_value value, NodeConfig& out) {
    for (const ConfigField& field : config_fields) {
        if (auto error = read_field(env, value, field, out)) {
            error->reason.append(messages::config_suffix).append(field.name);
            return error;
        }
    }
    return std::nullopt;
}

EngineConfig to_engine_config(NodeConfig config) {
    EngineConfig engine;
    engine.algorithm = config.algorithm.value_or("token_bucket");
    engine.mode = config.mode.value_or("active");
    engine.capacity = config.capacity.value_or(100.0);
    engine.refill_rate = config.refill_rate.value_or(10.0);
    engine.api_key = std::move(config.api_key);
    engine.debug = std::move(config.debug);
    engine.requests_per_minute = saturated(config.requests_per_minute);
    engine.requests_per_second = saturated(config.requests_per_second);
    engine.burst_limit = saturated(config.burst_limit);
    engine.burst_multiplier = config.burst_multiplier.value_or(2.0);
    engine.block_duration_ms =
        config.block_duration_ms ? to_u64_saturating(*config.block_duration_ms) : 60000;
    engine.backend_url = config.backend_url.value_or(std::string(default_backend_url));
    return engine;
}

}  // namespace tolm::node
