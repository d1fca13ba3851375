// The CPython import slots of the Windows build and the search that fills them. Declares
// nothing of CPython's: python/windows/imports.cpp defines the slots under the names the
// compiler gives dllimport references, which must not meet CPython's own declarations.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolm::python {

struct CPythonImports {
    // Whether a module that looks like CPython was found; when not, nothing was filled.
    bool found = false;
    // The file name of that module.
    std::string host;
    // Required symbols the host does not export. Their slots keep what they held.
    std::vector<std::string_view> missing;
};

// Looks every listed symbol up in the CPython module that holds `caller` or, when that
// module is not CPython (a program calling PyInit_tolm_native itself), in a python3*.dll
// loaded in the process, and stores each address found in its slot.
CPythonImports fill_cpython_imports(void* caller);

// Whether the slot of PyUnicode_AsUTF8AndSize was filled (declared for the binding in
// python/cpython.hpp).
bool provides_utf8_and_size() noexcept;

}  // namespace tolm::python
