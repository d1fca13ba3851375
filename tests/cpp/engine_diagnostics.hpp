// The diagnostics of an engine's state map, for the core's tests and benchmarks: how many keys
// it holds, whether it holds one, which shard a key falls in, and a switch that turns removal
// off. The host bindings never include this file, so to them the map still has no size query,
// no lookup and no iteration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "core/engine.hpp"

namespace tolm {

struct EngineDiagnostics {
  private:
    // Under the engine lock, which guards the algorithm object (the map then takes its own
    // shard locks, in the engine's order).
    template <typename Body>
    static auto visit(Engine& engine, Body body) {
        engine.lock_.lock();
        auto result = std::visit([&](auto& algorithm) { return body(algorithm.states()); },
                                 engine.algorithm_object_);
        engine.lock_.unlock();
        return result;
    }

  public:
    static size_t live_keys(Engine& engine) {
        return visit(engine, [](auto& states) { return states.size(); });
    }
    static size_t slot_count(Engine& engine) {
        return visit(engine, [](auto& states) { return states.slot_count(); });
    }
    static bool holds(Engine& engine, std::string_view key) {
        return visit(engine, [key](auto& states) { return states.contains(key); });
    }
    static uint64_t shard_of(Engine& engine, std::string_view key) {
        return visit(engine, [key](auto& states) { return states.shard_of(key); });
    }
    static void set_removal_enabled(Engine& engine, bool enabled) {
        visit(engine, [enabled](auto& states) {
            states.set_removal_enabled(enabled);
            return 0;
        });
    }
};

}  // namespace tolm
