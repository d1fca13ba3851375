// Python errors as values, the fatal-failure exception PanicException, and the trap that
// every Python entry point runs its body in.
//
// Inside an entry point, an ordinary Python error travels as a thrown PyError and is handed
// to the interpreter by the trap. A fatal failure travels as tolm::FatalError (or any other
// C++ exception) and reaches Python as PanicException. Either way the unwinding releases
// every PyRef, text and lock on the way out.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "python/cpython.hpp"
#include "python/ref.hpp"
#include "runtime/fatal.hpp"

namespace tolm::python {

class PyError {
  public:
    // A new exception of `type` whose one argument is `message`; created when raised.
    PyError(PyObject* type, std::string_view message);
    // An exception of `type` with `value` as its argument or as the instance itself.
    PyError(PyObject* type, PyRef value) noexcept;

    // Takes the interpreter's pending exception. With none pending this is a SystemError.
    // A PanicException raised by Python code is not an ordinary error: it is reported and
    // resumed as a fatal failure, so this throws FatalError for it.
    static PyError fetch();

    PyObject* type() const noexcept { return type_.get(); }
    bool is_exactly(PyObject* type) const noexcept { return type_.get() == type; }
    // The exception instance, creating it first when the error still holds an argument.
    PyRef instance();
    // Hands the error to the interpreter, which then holds it as the pending exception.
    void raise() && noexcept;

  private:
    PyRef type_;
    PyRef value_;      // the argument or the instance; null for no argument
    PyRef traceback_;  // only for fetched errors
    bool fetched_ = false;
};

// Checks the result of an interpreter call that must not fail (creating a dict, a str or an
// int). On null it prints the pending exception and fails fatally.
PyObject* must(PyObject* result);

// Raises PanicException carrying `message` as the pending exception. Never throws: if even
// the exception class cannot be made, the process ends.
void raise_panic(std::string_view message) noexcept;

// Ends the process for a fatal failure that reached the interpreter without a trap.
[[noreturn]] void boundary_abort() noexcept;

// The trap around the body of every entry point except deallocation: the body returns a
// new reference, or throws. Returns null with the matching Python exception set on failure.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (PyError& error) {
        std::move(error).raise();
    } catch (const FatalError& failure) {
        raise_panic(failure.message());
    } catch (const std::exception& failure) {
        raise_panic(failure.what());
    } catch (...) {
        raise_panic({});
    }
    return nullptr;
}

}  // namespace tolm::python
