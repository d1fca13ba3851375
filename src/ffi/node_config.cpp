#include "ffi/node_config.hpp"

#include <array>
#include <variant>

#include "ffi/node_convert.hpp"
#include "runtime/shared_region.hpp"

namespace tolm::node {
namespace {

using TextField = std::optional<std::string> NodeConfig::*;
using NumberField = std::optional<double> NodeConfig::*;

struct ConfigField {
    const char* name;
    std::variant<TextField, NumberField> member;
};

// The properties in the order they are read: a getter that throws, or a value of the wrong
// type, stops the reading at that property.
constexpr std::array<ConfigField, 12> kConfigFields = {{
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

void read_field(napi_env env, napi_value config, const ConfigField& field, NodeConfig& out) {
    napi_value value = nullptr;
    const napi_status status = node_api.napi_get_named_property(env, config, field.name, &value);
    if (status != napi_ok) fail(status, messages::get_property(field.name));
    napi_valuetype type = napi_undefined;
    expect_ok(node_api.napi_typeof(env, value, &type));
    if (type == napi_undefined) return;

    if (const auto* text = std::get_if<TextField>(&field.member)) {
        out.** text = read_text(env, value);
    } else {
        out.*std::get<NumberField>(field.member) = read_number(env, value);
    }
}

std::optional<uint64_t> saturated(std::optional<double> value) {
    if (!value) return std::nullopt;
    return to_u64_saturating(*value);
}

}  // namespace

NodeConfig read_node_config(napi_env env, napi_value value) {
    NodeConfig config;
    for (const ConfigField& field : kConfigFields) {
        try {
            read_field(env, value, field, config);
        } catch (Error& error) {
            error.reason.append(messages::kConfigSuffix).append(field.name);
            throw;
        }
    }
    return config;
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
    engine.backend_url = config.backend_url.value_or(std::string(kDefaultBackendUrl));
    return engine;
}

namespace {

// The property `name` of `object`, or null when it is undefined (or null, for `nullable`).
napi_value option(napi_env env, napi_value object, const char* name, bool nullable = false) {
    napi_value value = nullptr;
    const napi_status status = node_api.napi_get_named_property(env, object, name, &value);
    if (status != napi_ok) fail(status, messages::get_property(name));
    napi_valuetype type = napi_undefined;
    expect_ok(node_api.napi_typeof(env, value, &type));
    if (type == napi_undefined || (nullable && type == napi_null)) return nullptr;
    return value;
}

// Runs `read`, prefixing a failure's reason with the option's name.
template <typename Read>
auto labelled(const char* name, Read&& read) -> decltype(read()) {
    try {
        return read();
    } catch (Error& error) {
        error.reason.insert(0, std::string(name) + ": ");
        throw;
    }
}

[[noreturn]] void refuse(const char* name, const std::string& problem) {
    fail(napi_invalid_arg, std::string(name) + problem);
}

void expect_fine(const char* name, const std::string& problem) {
    if (!problem.empty()) refuse(name, problem);
}

std::optional<std::string> text_option(napi_env env, napi_value object, const char* name) {
    napi_value value = option(env, object, name);
    if (value == nullptr) return std::nullopt;
    return labelled(name, [&] { return read_text(env, value); });
}

std::optional<double> number_option(napi_env env, napi_value object, const char* name) {
    napi_value value = option(env, object, name);
    if (value == nullptr) return std::nullopt;
    return labelled(name, [&] { return read_number(env, value); });
}

uint64_t whole_option(napi_env env, napi_value object, const char* name, uint64_t fallback,
                      uint64_t least, uint64_t most) {
    const std::optional<double> number = number_option(env, object, name);
    if (!number) return fallback;
    expect_fine(name, whole_number_problem(*number, least, most));
    return static_cast<uint64_t>(*number);
}

}  // namespace

OpenRequest read_open_options(napi_env env, napi_value value) {
    napi_valuetype type = napi_undefined;
    expect_ok(node_api.napi_typeof(env, value, &type));
    if (type != napi_object) fail(napi_object_expected, std::string("options must be an object"));

    OpenRequest request;
    EngineConfig& config = request.config;
    config = to_engine_config(NodeConfig{});
    if (auto algorithm = text_option(env, value, "algorithm")) {
        expect_fine("algorithm", algorithm_problem(*algorithm));
        config.algorithm = std::move(*algorithm);
    }
    if (auto mode = text_option(env, value, "mode")) {
        expect_fine("mode", mode_problem(*mode));
        config.mode = std::move(*mode);
    }
    if (auto capacity = number_option(env, value, "capacity")) config.capacity = *capacity;
    if (auto refill = number_option(env, value, "refillRate")) config.refill_rate = *refill;
    config.window_ms = whole_option(env, value, "windowMs", kDefaultWindowMs, 1, kMaxWindowMs);
    config.max_clients = whole_option(env, value, "maxClients", 0, 0, kMaxClients);

    if (napi_value shared = option(env, value, "shared", true)) {
        std::string name = labelled("shared", [&] { return read_text(env, shared); });
        if (config.max_clients == 0) {
            refuse("maxClients", " must be above 0 for a shared engine (it sizes the region)");
        }
        try {
            platform::validate_shared_region_name(name);
        } catch (const platform::SharedRegionError& error) {
            fail(napi_invalid_arg, std::string("shared: ") + error.what());
        }
        request.options.shared = std::move(name);
    }
    if (auto clock = text_option(env, value, "clock")) {
        const std::optional<ClockChoice> choice = parse_clock(*clock);
        if (!choice) refuse("clock", clock_problem(*clock));
        request.options.clock = *choice;
    }
    config.api_key = text_option(env, value, "apiKey");
    // debug is stored and read by nothing: a flag or a text.
    if (napi_value debug = option(env, value, "debug", true)) {
        napi_valuetype debug_type = napi_undefined;
        expect_ok(node_api.napi_typeof(env, debug, &debug_type));
        if (debug_type == napi_boolean) {
            bool flag = false;
            expect_ok(node_api.napi_get_value_bool(env, debug, &flag));
            if (flag) config.debug = "true";
        } else {
            config.debug = labelled("debug", [&] { return read_text(env, debug); });
        }
    }
    if (auto url = text_option(env, value, "backendUrl")) config.backend_url = std::move(*url);
    request.options.lease_units = whole_option(env, value, "lease", 0, 0, kMaxLeaseUnits);
    request.options.lease_ms = whole_option(env, value, "leaseMs", 0, 0, kMaxWindowMs);
    if (request.options.lease_units > 0) {
        if (!request.options.shared)
            refuse("lease", " needs shared: the region that holds the leases");
        if (request.options.lease_ms == 0) refuse("leaseMs", " must be above 0 with lease");
    }
    return request;
}

}  // namespace tolm::node
