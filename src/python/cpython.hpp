// The one way this library includes CPython. Every translation unit of the Python binding
// includes this header instead of <Python.h>, so the weak-reference list below applies to
// every reference the library makes.
//
// The same shared object is also loaded by Node.js, which resolves data symbols such as
// PyExc_TypeError when it loads a library and refuses it if they are missing. Marking every
// CPython symbol weak lets those references resolve to null there; Node never reaches the
// code that uses them. The library does not link libpython: under CPython the symbols come
// from the interpreter that loaded it.
//
// tests/python checks that every CPython symbol in the built library is weak, so a new call
// must be added here before it is used.
#pragma once

#ifndef Py_LIMITED_API
#error "the Python binding is built against the limited API (cmake/python.cmake defines it)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Every CPython since 3.3 exports PyUnicode_AsUTF8AndSize, but the limited API declares it
// only from 3.10 on. It is weak like the rest: where it is missing the converters fall back
// to PyUnicode_AsUTF8String.
#if Py_LIMITED_API + 0 < 0x030A0000
extern "C" PyAPI_FUNC(const char*) PyUnicode_AsUTF8AndSize(PyObject* unicode, Py_ssize_t* size);
#endif

// Data symbols, resolved at load time.
#pragma weak PyBaseObject_Type
#pragma weak PyExc_AttributeError
#pragma weak PyExc_BaseException
#pragma weak PyExc_ImportError
#pragma weak PyExc_RuntimeError
#pragma weak PyExc_SystemError
#pragma weak PyExc_TypeError
#pragma weak PyUnicode_Type
#pragma weak _Py_FalseStruct
#pragma weak _Py_NoneStruct
#pragma weak _Py_TrueStruct

// Functions, including those that the CPython headers call from their inline helpers.
#pragma weak PyBytes_AsStringAndSize
#pragma weak PyDict_Copy
#pragma weak PyDict_New
#pragma weak PyDict_Next
#pragma weak PyDict_SetItem
#pragma weak PyErr_Clear
#pragma weak PyErr_ExceptionMatches
#pragma weak PyErr_Fetch
#pragma weak PyErr_GivenExceptionMatches
#pragma weak PyErr_NewExceptionWithDoc
#pragma weak PyErr_NormalizeException
#pragma weak PyErr_Occurred
#pragma weak PyErr_Print
#pragma weak PyErr_PrintEx
#pragma weak PyErr_Restore
#pragma weak PyErr_SetObject
#pragma weak PyException_GetCause
#pragma weak PyException_SetCause
#pragma weak PyFloat_AsDouble
#pragma weak PyList_Append
#pragma weak PyList_New
#pragma weak PyLong_FromUnsignedLongLong
#pragma weak PyModule_Create2
#pragma weak PyObject_GetAttrString
#pragma weak PyObject_SetAttrString
#pragma weak PyObject_Str
#pragma weak PySys_WriteStderr
#pragma weak PyTuple_GetItem
#pragma weak PyTuple_Size
#pragma weak PyType_FromSpec
#pragma weak PyType_GenericAlloc
#pragma weak PyType_GetFlags
#pragma weak PyType_GetSlot
#pragma weak PyUnicode_AsEncodedString
#pragma weak PyUnicode_AsUTF8AndSize
#pragma weak PyUnicode_AsUTF8String
#pragma weak PyUnicode_CompareWithASCIIString
#pragma weak PyUnicode_DecodeUTF8
#pragma weak PyUnicode_InternFromString
#pragma weak _Py_Dealloc
