// The one way this library includes CPython. Every translation unit of the Python binding
// includes this header instead of <Python.h>, so that every reference the library makes to
// CPython is one of those listed in python/cpython_symbols.hpp and is handled as below.
//
// The same library file is also loaded by Node.js, where no CPython exists, and it links
// against no libpython or python3.dll: the symbols come from the interpreter that imports it.
//
// Linux: every CPython symbol is weak. Node.js resolves data symbols such as PyExc_TypeError
// when it loads a library and refuses it if they are missing; weak references resolve to null
// there instead, and Node never reaches the code that uses them. tests/python checks that
// every CPython symbol in the built library is weak.
//
// Windows: there are no weak symbols, and a DLL import that cannot be resolved stops the load.
// The headers (with the pyconfig.h of python/windows) declare every symbol dllimport, so each
// use reads the symbol's address from its import slot `__imp_<name>`; the library defines
// those slots itself (python/windows/imports.cpp) and fills them when CPython calls
// PyInit_tolm_native, from the module that called it. A symbol without a slot fails the link.
#pragma once

#ifndef Py_LIMITED_API
#error "the Python binding is built against the limited API (cmake/python.cmake defines it)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/cpython_symbols.hpp"

// Every CPython since 3.3 exports PyUnicode_AsUTF8AndSize, but the limited API declares it
// only from 3.10 on. It is optional: where it is missing the converters fall back to
// PyUnicode_AsUTF8String.
#if Py_LIMITED_API + 0 < 0x030A0000
extern "C" PyAPI_FUNC(const char*) PyUnicode_AsUTF8AndSize(PyObject* unicode, Py_ssize_t* size);
#endif

#if defined(_WIN32)

// The headers' picture of the target, from python/windows/pyconfig.h, must be the compiler's.
static_assert(sizeof(int) == SIZEOF_INT && sizeof(long) == SIZEOF_LONG &&
              sizeof(long long) == SIZEOF_LONG_LONG && sizeof(void*) == SIZEOF_VOID_P &&
              sizeof(size_t) == SIZEOF_SIZE_T && sizeof(wchar_t) == SIZEOF_WCHAR_T &&
              sizeof(time_t) == SIZEOF_TIME_T && sizeof(Py_ssize_t) == sizeof(size_t));

namespace tolm::python {

// Fills the import slots from the CPython that called PyInit_tolm_native: the module holding
// `caller`, PyInit's return address, or else a python3*.dll loaded in the process. Returns
// true when every required symbol was found. Otherwise returns false with ImportError set,
// naming the missing symbols, or stops the process when not even ImportError can be raised.
bool import_cpython(void* caller) noexcept;

// Whether the interpreter provides PyUnicode_AsUTF8AndSize.
bool provides_utf8_and_size() noexcept;

}  // namespace tolm::python

#else

// One `#pragma weak` per symbol.
#define TOLM_CPYTHON_PRAGMA(text) _Pragma(#text)
#define TOLM_CPYTHON_WEAK(name) TOLM_CPYTHON_PRAGMA(weak name)
TOLM_CPYTHON_DATA(TOLM_CPYTHON_WEAK)
TOLM_CPYTHON_FUNCTIONS(TOLM_CPYTHON_WEAK)
TOLM_CPYTHON_OPTIONAL_FUNCTIONS(TOLM_CPYTHON_WEAK)
#undef TOLM_CPYTHON_WEAK
#undef TOLM_CPYTHON_PRAGMA

namespace tolm::python {

// Whether the interpreter provides PyUnicode_AsUTF8AndSize.
inline bool provides_utf8_and_size() noexcept {
    return &PyUnicode_AsUTF8AndSize != nullptr;
}

}  // namespace tolm::python

#endif
