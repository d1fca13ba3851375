#include "python/args.hpp"

#include <vector>

#include "python/convert.hpp"
#include "python/error.hpp"
#include "python/messages.hpp"
#include "python/ref.hpp"

namespace tolm::python {
namespace {

[[noreturn]] void fail(const std::string& message) {
    throw PyError(PyExc_TypeError, message);
}

bool names(PyObject* key, const char* name) noexcept {
    // Never raises: a key that is not ASCII-comparable (a lone surrogate) just matches nothing.
    return PyUnicode_CompareWithASCIIString(key, name) == 0;
}

// The key's str() for the unexpected-keyword message, lone surrogates kept.
std::string key_text(PyObject* key) {
    PyRef text = PyRef::steal(PyObject_Str(key));
    if (!text) throw PyError::fetch();
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) throw PyError::fetch();
    return std::string(data, static_cast<size_t>(size));
}

void bind_keywords(const ArgSpec& spec, PyObject* kwargs, std::span<PyObject*> slots) {
    const size_t positional_count = spec.positional.size();
    std::vector<std::string_view> positional_only_used;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        if (!PyUnicode_Check(key)) throw conversion_error(key, "PyString");
        bool matched = false;
        for (size_t k = 0; k < spec.keyword_only.size() && !matched; ++k) {
            if (!names(key, spec.keyword_only[k].name)) continue;
            matched = true;
            PyObject*& slot = slots[positional_count + k];
            if (slot != nullptr)
                fail(messages::multiple_values(spec.display_name(), spec.keyword_only[k].name));
            slot = value;
        }
        for (size_t i = 0; i < positional_count && !matched; ++i) {
            if (!names(key, spec.positional[i])) continue;
            matched = true;
            if (i < spec.positional_only) {
                positional_only_used.emplace_back(spec.positional[i]);
            } else if (slots[i] != nullptr) {
                fail(messages::multiple_values(spec.display_name(), spec.positional[i]));
            } else {
                slots[i] = value;
            }
        }
        if (!matched) fail(messages::unexpected_keyword(spec.display_name(), key_text(key)));
    }
    if (!positional_only_used.empty()) {
        fail(messages::positional_only_as_keyword(spec.display_name(), positional_only_used));
    }
}

}  // namespace

std::string ArgSpec::display_name() const {
    std::string name;
    if (class_name) {
        name += *class_name;
        name += '.';
    }
    name += function_name;
    name += "()";
    return name;
}

void bind(const ArgSpec& spec, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
    const size_t given = static_cast<size_t>(PyTuple_Size(args));
    const size_t positional_count = spec.positional.size();
    for (size_t i = 0; i < given && i < positional_count; ++i) {
        slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    }
    if (given > positional_count) {
        fail(messages::too_many_positional(spec.display_name(), spec.required, positional_count,
                                           given));
    }
    if (kwargs != nullptr) bind_keywords(spec, kwargs, slots);

    if (given < spec.required) {
        std::vector<std::string_view> missing;
        for (size_t i = 0; i < spec.required; ++i) {
            if (slots[i] == nullptr) missing.emplace_back(spec.positional[i]);
        }
        if (!missing.empty()) {
            fail(messages::missing_arguments(spec.display_name(), "positional", missing));
        }
    }
    std::vector<std::string_view> missing_keywords;
    for (size_t k = 0; k < spec.keyword_only.size(); ++k) {
        if (spec.keyword_only[k].required && slots[positional_count + k] == nullptr) {
            missing_keywords.emplace_back(spec.keyword_only[k].name);
        }
    }
    if (!missing_keywords.empty()) {
        fail(messages::missing_arguments(spec.display_name(), "keyword", missing_keywords));
    }
}

}  // namespace tolm::python
