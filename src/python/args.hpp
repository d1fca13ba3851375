// Binding a call's positional tuple and keyword dictionary to the parameters of a static
// argument description, with the interpreter's own wording for every mismatch.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "python/cpython.hpp"

namespace tolm::python {

struct KeywordOnlyParameter {
    const char* name;
    bool required;
};

// What one entry point accepts. Names are ASCII.
struct ArgSpec {
    std::optional<std::string_view> class_name;  // present for methods and constructors
    std::string_view function_name;
    std::span<const char* const> positional;  // in declaration order
    size_t positional_only = 0;               // leading names that may not be keywords
    size_t required = 0;                      // leading names that must be supplied
    std::span<const KeywordOnlyParameter> keyword_only = {};

    // "Class.function()" or "function()".
    std::string display_name() const;
    size_t slot_count() const noexcept { return positional.size() + keyword_only.size(); }
};

// Fills `slots` (positional parameters first, then keyword-only ones; slot_count() of them)
// with borrowed references to the supplied values, leaving unsupplied ones null. Throws
// PyError (a TypeError) when the call does not fit the description.
void bind(const ArgSpec& spec, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots);

}  // namespace tolm::python
