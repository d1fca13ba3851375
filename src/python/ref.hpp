// An owned reference to a Python object, released when the holder goes out of scope. Every
// object the binding creates during a call lives in one of these until it is either handed
// back to the interpreter (release) or dropped, so no path leaks a reference.
#pragma once

#include <utility>

#include "python/cpython.hpp"

namespace tolm::python {

class PyRef {
  public:
    PyRef() noexcept = default;
    ~PyRef() { Py_XDECREF(object_); }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    // Takes over a new reference (or null) returned by the C API.
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Adds a reference of its own to a borrowed object.
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller, typically the interpreter.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

  private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace tolm::python
