// The plain objects checkRequest returns, built by JavaScript.
//
// One Node-API call per property costs several times the engine's own work, so each
// environment compiles a small factory once. Called with an instance's algorithm text it
// returns that instance's builder, which turns (outcome, detail) into the plain result object
// with a literal: the properties, their order and their attributes are those of an object
// built property by property.
#pragma once

#include <string_view>

#include "core/engine.hpp"
#include "ffi/node_errors.hpp"

namespace tolm::node {

// A new reference to the builder of results for an instance configured with `algorithm`.
napi_ref make_result_builder(napi_env env, std::string_view algorithm);

// The result object for `result`, made by `builder` with `recv` as its `this`.
napi_value build_result(napi_env env, napi_ref builder, napi_value recv, const CheckResult& result);

}  // namespace tolm::node
