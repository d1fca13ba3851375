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

// One instance's builder of result objects.
class ResultBuilder {
  public:
    // Makes the builder for an instance configured with `algorithm`.
    void create(napi_env env, std::string_view algorithm);
    // Drops the builder; safe to call when create() failed or never ran.
    void release(napi_env env) noexcept;

    // The result object for `result`, with `recv` as the builder's `this`.
    napi_value build(napi_env env, napi_value recv, const CheckResult& result);

  private:
    napi_ref builder_ = nullptr;
};

}  // namespace tolm::node
