// Compiled into Windows builds only. The guard lets tools that read every source file on
// other systems (make lint's clang-tidy) pass over it; make test-windows lints it.
#if defined(_WIN32)

#include <algorithm>
#include <array>
#include <exception>
#include <string>
#include <string_view>

#include "python/cpython.hpp"
#include "python/windows/imports.hpp"
#include "runtime/fatal.hpp"

namespace tolm::python {
namespace {

constexpr std::string_view kNoInterpreter =
    "PyInit_tolm_native was called from outside CPython and no python3*.dll is loaded in the "
    "process, so there is no interpreter to take CPython's functions from";

// What raising the ImportError below takes.
constexpr std::array<std::string_view, 4> kNeededToRaise = {"PyErr_SetObject", "PyExc_ImportError",
                                                            "PyUnicode_DecodeUTF8", "_Py_Dealloc"};

std::string lacks_message(const CPythonImports& imports) {
    std::string message =
        "tolm_native cannot run on the Python runtime " + imports.host + ", which does not export ";
    for (size_t i = 0; i < imports.missing.size(); ++i) {
        if (i > 0) message += ", ";
        message += imports.missing[i];
    }
    return message;
}

bool import_or_raise(void* caller) {
    const CPythonImports imports = fill_cpython_imports(caller);
    if (!imports.found) abort_with_message(kNoInterpreter);
    if (imports.missing.empty()) return true;
    const std::string message = lacks_message(imports);
    for (std::string_view needed : kNeededToRaise) {
        if (std::find(imports.missing.begin(), imports.missing.end(), needed) !=
            imports.missing.end()) {
            abort_with_message(message);
        }
    }
    PyObject* text =
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return false;  // the decoding error is then the pending exception
    PyErr_SetObject(PyExc_ImportError, text);
    Py_DECREF(text);
    return false;
}

}  // namespace

bool import_cpython(void* caller) noexcept {
    try {
        return import_or_raise(caller);
    } catch (const std::exception& failure) {
        // Only allocation can throw here, before any CPython call can report it.
        abort_with_message(std::string("tolm_native could not look up CPython: ") + failure.what());
    }
}

}  // namespace tolm::python

#endif
