// Conversions from Python values to the library's own types. Each throws PyError on a value
// it refuses; convert_argument labels such an error with the parameter's name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "python/cpython.hpp"
#include "python/error.hpp"

namespace tolm::python {

// A str (or subclass) as an owned UTF-8 copy. Other types are a TypeError; a str that is
// not encodable (a lone surrogate) is the interpreter's UnicodeEncodeError.
std::string to_text(PyObject* value);
// None or an unsupplied slot (null) is absent; anything else as to_text.
std::optional<std::string> to_optional_text(PyObject* value);

// The same conversions without a copy: the UTF-8 text is borrowed from `value`, which must
// outlive the view (call arguments do, for the length of the call). Where the interpreter
// cannot lend its UTF-8 form, `storage` keeps a copy.
std::string_view to_text_view(PyObject* value, std::string& storage);
std::optional<std::string_view> to_optional_text_view(PyObject* value, std::string& storage);
// Whatever the interpreter's float conversion accepts.
double to_double(PyObject* value);

// The TypeError "'{qualname of the value's type}' object cannot be converted to '{target}'".
PyError conversion_error(PyObject* value, std::string_view target);

// An exact TypeError becomes "argument '{parameter}': {message}" with the same cause; any
// other error, TypeError subclasses included, is returned unchanged.
PyError label(PyError error, std::string_view parameter);

template <typename Convert>
auto convert_argument(Convert&& convert, PyObject* value, std::string_view parameter)
    -> decltype(convert(value)) {
    try {
        return convert(value);
    } catch (PyError& error) {
        throw label(std::move(error), parameter);
    }
}

}  // namespace tolm::python
