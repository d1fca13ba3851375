/* pyconfig.h for compiling tolm's Python entry for 64-bit Windows against the CPython headers
 * of the build machine (cmake/python.cmake copies those headers and puts this file in place of
 * their own pyconfig.h, which describes the build machine).
 *
 * It describes what the limited API headers need to know about the target, and nothing else:
 * the target is x86-64 Windows, whose C data model is LLP64 (long is 32 bits), and CPython is a
 * DLL there whose functions and data an extension module imports. Every value below is fixed by
 * the Windows x64 ABI and by how CPython is built for Windows, not by any one CPython release;
 * python/cpython.hpp checks the sizes against the compiler's. It is safe for the stable ABI
 * because the limited API exposes no structure whose layout depends on anything but these
 * sizes: the structures the module passes (PyModuleDef, PyType_Spec, PyType_Slot, PyMethodDef,
 * the object header) are made of pointers, int, unsigned int and Py_ssize_t.
 *
 * Only the limited API may be compiled with it: the full API depends on much more of CPython's
 * own build configuration. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__x86_64__)
#error "this pyconfig.h describes 64-bit Windows on x86-64 only"
#endif
#ifndef Py_LIMITED_API
#error "this pyconfig.h serves the limited API only"
#endif

/* Windows, 64-bit, Windows threads: the headers then leave out unistd.h and declare the
 * Windows-only calls. */
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS

/* CPython on Windows is a DLL (python3X.dll, with python3.dll forwarding the stable ABI to
 * it): with these two the headers declare every function and data symbol
 * __declspec(dllimport), so each use reads the symbol's address from an import slot, and
 * PyMODINIT_FUNC exports the module's entry point. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64. */
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
/* The Windows C runtime's process id is an int. */
#define SIZEOF_PID_T SIZEOF_INT
#define LONG_BIT 32

/* mingw-w64 declares ssize_t (64 bits here), which becomes Py_ssize_t. */
#define HAVE_SSIZE_T 1
#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define WITH_DOC_STRINGS 1

/* Not defined, as in a release build of CPython: Py_DEBUG, Py_REF_DEBUG and Py_TRACE_REFS
 * change the object header and the reference counting, and the stable ABI excludes them. */

#endif /* Py_CONFIG_H */
