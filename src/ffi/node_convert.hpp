// JavaScript values to text and numbers, with the value descriptions that argument
// errors quote.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "ffi/node_errors.hpp"

namespace tolm::node {

// Reads a JavaScript string as UTF-8 into `out`. Any other value fails with an error
// that describes it ("Number 5 ", "Object {...}", "function name(..) ", ...).
std::optional<Error> read_text(napi_env env, napi_value value, std::string& out);

// A text argument read for the length of one call. Short texts stay in the inline buffer,
// so they cost one Node-API call and no allocation; longer ones spill to the heap.
class TextArgument {
  public:
    std::string_view view() const noexcept { return view_; }

  private:
    friend std::optional<Error> read_text(napi_env env, napi_value value, TextArgument& out);

    std::array<char, 256> inline_;
    std::string spill_;
    std::string_view view_;
};

// As above, into a TextArgument.
std::optional<Error> read_text(napi_env env, napi_value value, TextArgument& out);

// Fails exactly as read_text would, without reading the text when `value` is a string: for
// a text argument whose content the call never uses.
std::optional<Error> check_text(napi_env env, napi_value value);

// Reads a JavaScript number (NaN and infinities included). Any other value fails with an
// error that names its type.
std::optional<Error> read_number(napi_env env, napi_value value, double& out);

}  // namespace tolm::node
