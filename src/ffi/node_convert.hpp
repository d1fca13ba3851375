// JavaScript values to text and numbers, with the value descriptions that argument
// errors quote.
#pragma once

#include <optional>
#include <string>

#include "ffi/node_errors.hpp"

namespace tolm::node {

// Reads a JavaScript string as UTF-8 into `out`. Any other value fails with an error
// that describes it ("Number 5 ", "Object {...}", "function name(..) ", ...).
std::optional<Error> read_text(napi_env env, napi_value value, std::string& out);

// Reads a JavaScript number (NaN and infinities included). Any other value fails with an
// error that names its type.
std::optional<Error> read_number(napi_env env, napi_value value, double& out);

}  // namespace tolm::node
