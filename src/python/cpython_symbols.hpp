// Every CPython symbol this library references, as lists of names for X-macros. It includes
// nothing, so that code which must not see CPython's declarations (the Windows import table)
// can expand it too.
//
// python/cpython.hpp turns the lists into weak references on Linux and into run-time imports
// on Windows. A CPython call that is missing here fails the build on Windows (its import has
// no slot) and fails tests/python on Linux (its reference is not weak), so a new call must be
// added here before it is used.
#pragma once

// clang-format off

// Data: exception classes, type objects and the singletons None, True and False.
#define TOLM_CPYTHON_DATA(X)                                                                   \
    X(PyBaseObject_Type) X(PyExc_AttributeError) X(PyExc_BaseException) X(PyExc_ImportError)   \
    X(PyExc_OSError) X(PyExc_RuntimeError) X(PyExc_ValueError) X(PyExc_SystemError) X(PyExc_TypeError) X(PyUnicode_Type)            \
    X(_Py_FalseStruct) X(_Py_NoneStruct) X(_Py_TrueStruct)

// Functions, including those that the CPython headers call from their inline helpers.
#define TOLM_CPYTHON_FUNCTIONS(X)                                                              \
    X(PyBytes_AsStringAndSize) X(PyDict_Copy) X(PyDict_New) X(PyDict_Next) X(PyDict_SetItem)   \
    X(PyErr_Clear) X(PyDict_SetItemString) X(PyErr_ExceptionMatches) X(PyErr_Fetch) X(PyErr_GivenExceptionMatches)     \
    X(PyErr_NewExceptionWithDoc) X(PyErr_NormalizeException) X(PyErr_Occurred) X(PyErr_Print)  \
    X(PyErr_PrintEx) X(PyErr_Restore) X(PyErr_SetObject) X(PyException_GetCause)               \
    X(PyException_SetCause) X(PyFloat_AsDouble) X(PyFloat_FromDouble) X(PyList_Append) X(PyList_New) \
    X(PyLong_FromUnsignedLongLong) X(PyModule_Create2) X(PyObject_GetAttrString)               \
    X(PyObject_SetAttrString) X(PyObject_Str) X(PySys_WriteStderr) X(PyTuple_GetItem)          \
    X(PyTuple_New) X(PyTuple_SetItem) X(PyTuple_Size) X(PyType_FromSpec) X(PyType_GenericAlloc) X(PyType_GetFlags)               \
    X(PyType_GetSlot) X(PyUnicode_AsEncodedString) X(PyUnicode_AsUTF8String)                   \
    X(PyUnicode_CompareWithASCIIString) X(PyUnicode_DecodeUTF8) X(PyUnicode_InternFromString)  \
    X(_Py_Dealloc)

// Functions that an interpreter may lack; the code checks for each before calling it.
// PyUnicode_AsUTF8AndSize: every CPython since 3.3 exports it, but it joined the limited API
// only in 3.10, so the stable-ABI forwarder python3.dll of 3.8 and 3.9 does not offer it.
#define TOLM_CPYTHON_OPTIONAL_FUNCTIONS(X) X(PyUnicode_AsUTF8AndSize)

// clang-format on
