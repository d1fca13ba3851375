// JavaScript values to text and numbers, with the value descriptions that argument errors
// quote. Every function throws Error on a value it refuses.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "ffi/node_errors.hpp"

namespace tolm::node {

// A JavaScript string as UTF-8. Any other value fails with an error that describes it
// ("Number 5 ", "Object {...}", "function name(..) ", ...).
std::string read_text(napi_env env, napi_value value);

// A text argument read for the length of one call. Short texts stay in the inline buffer,
// so they cost one Node-API call and no allocation; longer ones spill to the heap.
class TextArgument {
  public:
    // Reads `value` as read_text does.
    void read(napi_env env, napi_value value);
    std::string_view view() const noexcept { return view_; }

  private:
    std::array<char, 256> inline_;
    std::string spill_;
    std::string_view view_;
};

// Fails exactly as read_text would, without reading the text when `value` is a string: for
// a text argument whose content the call never uses.
void expect_text(napi_env env, napi_value value);

// A JavaScript number (NaN and infinities included). Any other value fails with an error
// that names its type.
double read_number(napi_env env, napi_value value);

}  // namespace tolm::node
