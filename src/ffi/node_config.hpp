// NodeConfig: the settings object `new TolmNode(config)` reads, and the EngineConfig it
// becomes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/engine.hpp"
#include "ffi/node_errors.hpp"

namespace tolm::node {

// The configuration object as read: every field absent or holding the value given.
struct NodeConfig {
    std::optional<std::string> algorithm;
    std::optional<std::string> mode;
    std::optional<double> capacity;
    std::optional<double> refill_rate;
    std::optional<std::string> api_key;
    std::optional<std::string> debug;
    std::optional<std::string> backend_url;
    std::optional<double> requests_per_minute;
    std::optional<double> requests_per_second;
    std::optional<double> burst_limit;
    std::optional<double> burst_multiplier;
    std::optional<double> block_duration_ms;
};

inline constexpr std::string_view kDefaultBackendUrl = "http://localhost:4000";

// Reads the twelve properties in their fixed order; the first failure is thrown as an Error
// whose reason ends with " on NodeConfig." and the property's name.
NodeConfig read_node_config(napi_env env, napi_value value);

// Fills absent settings with the binding's defaults.
EngineConfig to_engine_config(NodeConfig config);

// What TolmNode._open(options) builds: the constructor's defaults for what is absent, every
// given value checked. A refused value fails with an Error whose reason starts with the
// option's name.
struct OpenRequest {
    EngineConfig config;
    EngineOptions options;
};
OpenRequest read_open_options(napi_env env, napi_value value);

}  // namespace tolm::node
