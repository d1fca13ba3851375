// The Node.js face of the engine: the `TolmNode` class.
#pragma once

#include <memory>

#include "core/engine.hpp"
#include "ffi/node_errors.hpp"
#include "ffi/node_result.hpp"

namespace tolm::node {

// The native part of one `TolmNode` instance. Its engine lives as long as the JavaScript
// object, and as long as any function _decider made from it.
struct TolmNode {
    std::shared_ptr<Engine> engine;
    ResultBuilder results;  // builds this instance's result objects
};

}  // namespace tolm::node
