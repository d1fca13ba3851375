// The Node.js face of the engine: the `TolmNode` class and the `NodeConfig` it is built
// from.
#pragma once

#include <memory>
#include <optional>
#include <string>

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

inline constexpr std::string_view default_backend_url = "http://localhost:4000";

// Reads the twelve properties in their fixed order, stopping at the first failure.
std::optional<Error> read_node_config(napi_env env, napi_value value, NodeConfig& out);

// Fills absent settings with the binding's defaults.
EngineConfig to_engine_config(NodeConfig config);

// The native part of one `TolmNode` instance. It holds the only reference to its engine,
// so the engine lives exactly as long as the JavaScript object.
struct TolmNode {
    std::shared_ptr<Engine> engine;
    napi_ref result_factory = nullptr;  // builds this instance's result objects
};

}  // namespace tolm::node
