#include "python/error.hpp"

#include "python/messages.hpp"

namespace tolm::python {
namespace {

// The PanicException class: made on first use, then kept for the life of the process. Only
// touched with the interpreter lock held.
PyObject* panic_class_slot = nullptr;

PyObject* panic_class() noexcept {
    if (panic_class_slot == nullptr) {
        panic_class_slot = PyErr_NewExceptionWithDoc(
            messages::kPanicQualifiedName, messages::kPanicDoc, PyExc_BaseException, nullptr);
        if (panic_class_slot == nullptr) {
            PyErr_Print();
            abort_with_message("could not create the PanicException class");
        }
    }
    return panic_class_slot;
}

// Messages are ours and valid UTF-8, except that a keyword name copied into one may hold a
// lone surrogate; surrogatepass carries that through unchanged.
PyObject* new_text(std::string_view text) noexcept {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
}

// The str() of an exception instance as UTF-8, or nothing if it has none.
std::optional<std::string> text_of(PyObject* value) {
    PyRef text = PyRef::steal(PyObject_Str(value));
    if (!text) return std::nullopt;
    PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(text.get()));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return std::nullopt;
    return std::string(data, static_cast<size_t>(size));
}

}  // namespace

PyError::PyError(PyObject* type, std::string_view message)
    : type_(PyRef::borrow(type)), value_(PyRef::steal(must(new_text(message)))) {}

PyError::PyError(PyObject* type, PyRef value) noexcept
    : type_(PyRef::borrow(type)), value_(std::move(value)) {}

PyError PyError::fetch() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return PyError(PyExc_SystemError, messages::kNoPendingException);
    }
    if (panic_class_slot != nullptr && PyErr_GivenExceptionMatches(type, panic_class_slot)) {
        PyErr_NormalizeException(&type, &value, &traceback);
        std::optional<std::string> message = value ? text_of(value) : std::nullopt;
        PyErr_Clear();
        PySys_WriteStderr("%s", messages::kResumingPanic);
        PyErr_Restore(type, value, traceback);
        PyErr_PrintEx(0);
        raise_fatal(message ? *message : messages::kPanicMessageUnreadable);
    }
    PyError error(type, PyRef::steal(value));
    Py_DECREF(type);  // the constructor took a reference of its own
    error.traceback_ = PyRef::steal(traceback);
    error.fetched_ = true;
    return error;
}

PyRef PyError::instance() {
    PyObject* type = type_.release();
    PyObject* value = value_.release();
    PyObject* traceback = traceback_.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    type_ = PyRef::steal(type);
    value_ = PyRef::steal(value);
    traceback_ = PyRef::steal(traceback);
    if (PyErr_Occurred() != nullptr) throw fetch();  // normalizing itself failed
    return PyRef::borrow(value_.get());
}

void PyError::raise() && noexcept {
    if (fetched_) {
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    } else {
        // Unlike Restore, SetObject chains the exception being handled as __context__.
        PyErr_SetObject(type_.get(), value_.get());
    }
}

PyObject* must(PyObject* result) {
    if (result == nullptr) {
        if (PyErr_Occurred() != nullptr) PyErr_Print();
        raise_fatal(messages::kApiCallFailed);
    }
    return result;
}

void raise_panic(std::string_view message) noexcept {
    if (message.empty()) message = messages::kFatalWithoutMessage;
    PyObject* type = panic_class();
    PyObject* text =
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) {
        PyErr_Print();
        boundary_abort();
    }
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void boundary_abort() noexcept {
    abort_with_message(messages::kFatalAtBoundary);
}

}  // namespace tolm::python
