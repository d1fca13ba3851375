#include "python/convert.hpp"

#include "python/messages.hpp"
#include "python/ref.hpp"

namespace tolm::python {
namespace {

// The __qualname__ of the value's type, or a stand-in when it cannot be read as text.
std::string type_name(PyObject* value) {
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(name.get()));
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (bytes && PyBytes_AsStringAndSize(bytes.get(), &data, &size) == 0) {
            return std::string(data, static_cast<size_t>(size));
        }
    }
    PyErr_Clear();
    return std::string(messages::kTypeNameUnavailable);
}

}  // namespace

PyError conversion_error(PyObject* value, std::string_view target) {
    return PyError(PyExc_TypeError, messages::cannot_convert(type_name(value), target));
}

std::string to_text(PyObject* value) {
    if (!PyUnicode_Check(value)) throw conversion_error(value, "PyString");
    PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(value));
    if (!bytes) throw PyError::fetch();
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) throw PyError::fetch();
    return std::string(data, static_cast<size_t>(size));
}

std::string_view to_text_view(PyObject* value, std::string& storage) {
    if (!PyUnicode_Check(value)) throw conversion_error(value, "PyString");
    if (provides_utf8_and_size()) {
        // Strict UTF-8 like PyUnicode_AsUTF8String (a lone surrogate raises the same
        // UnicodeEncodeError), but the str keeps the encoded form, so nothing is copied.
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(value, &size);
        if (data == nullptr) throw PyError::fetch();
        return std::string_view(data, static_cast<size_t>(size));
    }
    storage = to_text(value);
    return storage;
}

std::optional<std::string_view> to_optional_text_view(PyObject* value, std::string& storage) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    return to_text_view(value, storage);
}

std::optional<std::string> to_optional_text(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    return to_text(value);
}

double to_double(PyObject* value) {
    const double result = PyFloat_AsDouble(value);
    // -1.0 is also an ordinary value; only a pending exception makes it an error.
    if (result == -1.0 && PyErr_Occurred() != nullptr) throw PyError::fetch();
    return result;
}

PyError label(PyError error, std::string_view parameter) {
    if (!error.is_exactly(PyExc_TypeError)) return error;
    PyRef original = error.instance();
    PyRef text = PyRef::steal(PyObject_Str(original.get()));
    if (!text) throw PyError::fetch();
    // A message from Python code may hold lone surrogates; keep them as they are.
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) throw PyError::fetch();
    PyError relabelled(
        PyExc_TypeError,
        messages::labelled(parameter, std::string_view(data, static_cast<size_t>(size))));
    if (PyObject* cause = PyException_GetCause(original.get())) {
        PyRef instance = relabelled.instance();
        PyException_SetCause(instance.get(), cause);  // takes over the reference
    }
    return relabelled;
}

}  // namespace tolm::python
