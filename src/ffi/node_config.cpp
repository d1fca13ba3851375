#include "ffi/node_config.hpp"

#include <array>
#include <variant>

#include "ffi/node_convert.hpp"

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

}  // namespace tolm::node
