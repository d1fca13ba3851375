/* The floor for NativeEngine.check: a C function of the same shape (positional tuple and
 * keyword dictionary in, two dictionaries out) that converts its two str arguments to UTF-8
 * copies and builds the result dictionaries with cached interned keys and direct dictionary
 * calls, but asks no engine anything. Built by bench/python/run.sh, never shipped. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <string.h>

static PyObject* keys[8];
static PyObject* allow_text;
static PyObject* within_text;
static PyObject* algorithm_text;
static const char* key_names[8] = {"allowed",   "would_block", "reason",    "decision",
                                   "algorithm", "route",       "remaining", "latency_ms"};

static int copy_utf8(PyObject* value, char* out, size_t size) {
    if (!PyUnicode_Check(value)) return -1;
    PyObject* bytes = PyUnicode_AsUTF8String(value);
    if (bytes == NULL) return -1;
    char* data;
    Py_ssize_t length;
    PyBytes_AsStringAndSize(bytes, &data, &length);
    memcpy(out, data, (size_t)length < size ? (size_t)length : size);
    Py_DECREF(bytes);
    return (int)length;
}

static PyObject* floor_check(PyObject* self, PyObject* args, PyObject* kwargs) {
    (void)self;
    (void)kwargs;
    char ip[64], route[64];
    if (PyTuple_Size(args) != 2) return NULL;
    int ip_length = copy_utf8(PyTuple_GetItem(args, 0), ip, sizeof ip);
    int route_length = copy_utf8(PyTuple_GetItem(args, 1), route, sizeof route);
    if (ip_length < 0 || route_length < 0) return NULL;

    PyObject* nested = PyDict_New();
    PyDict_SetItem(nested, keys[3], allow_text);
    PyDict_SetItem(nested, keys[2], within_text);
    PyDict_SetItem(nested, keys[4], algorithm_text);
    PyObject* route_text = PyUnicode_DecodeUTF8(route, route_length, NULL);
    PyDict_SetItem(nested, keys[5], route_text);
    Py_DECREF(route_text);
    PyObject* remaining = PyLong_FromUnsignedLongLong(99);
    PyDict_SetItem(nested, keys[6], remaining);
    Py_DECREF(remaining);
    PyObject* latency = PyLong_FromUnsignedLongLong(0);
    PyDict_SetItem(nested, keys[7], latency);
    Py_DECREF(latency);

    PyObject* outer = PyDict_New();
    PyDict_SetItem(outer, keys[0], Py_True);
    PyDict_SetItem(outer, keys[1], Py_False);
    PyDict_SetItem(outer, keys[2], within_text);
    PyDict_SetItem(outer, keys[3], nested);
    Py_DECREF(nested);
    return outer;
}

static PyMethodDef methods[] = {
    {"check", (PyCFunction)(void (*)(void))floor_check, METH_VARARGS | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "tolm_bench_floor", NULL, 0, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_tolm_bench_floor(void) {
    for (int i = 0; i < 8; ++i) keys[i] = PyUnicode_InternFromString(key_names[i]);
    allow_text = PyUnicode_FromString("allow");
    within_text = PyUnicode_FromString("within_limit");
    algorithm_text = PyUnicode_FromString("token_bucket");
    return PyModule_Create(&module);
}
