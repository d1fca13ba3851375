/* A stand-in for CPython's DLL (built as python311.dll), for checking tolm_native.pyd on
 * Windows without a Windows CPython. It exports every CPython function and data symbol the
 * module imports, under CPython's names, written here from the stable ABI's documented layouts
 * (not from CPython's headers, so that a wrong picture of the ABI in the module's build shows
 * up as a disagreement). It implements only what PyInit_tolm_native calls, as small objects
 * with reference counts; any other call fails the check.
 *
 * standin_import loads the module and calls PyInit_tolm_native from this DLL, as CPython's
 * importer does, twice, and checks what it receives: the module definition passed to
 * PyModule_Create2, the class spec passed to PyType_FromSpec, the module's attributes and
 * __all__, data symbols arriving as this DLL's own objects, references that balance, and the
 * ImportError of the second call. standin_check_module and standin_check_second_import check
 * the same for calls made elsewhere.
 *
 * Built with TOLM_STANDIN_WITHOUT_TYPE_FROM_SPEC or TOLM_STANDIN_WITHOUT_ERR_SET_OBJECT, it
 * lacks that export, and standin_import expects PyInit_tolm_native to refuse the import with
 * an ImportError naming it, or (without PyErr_SetObject, so without a way to raise) to stop
 * the process; scripts/windows/test.sh checks the latter. */
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#define EXPORT __declspec(dllexport)

typedef intptr_t Py_ssize_t; /* the size of size_t, signed */

/* The object header of the stable ABI (no Py_TRACE_REFS): reference count, then type. */
typedef struct Object {
    Py_ssize_t refcnt;
    struct Object* type;
} Object;

typedef struct {
    Object head;
    Py_ssize_t size; /* the variable-size header of a type object */
    const char* name;
} Type;

typedef struct {
    Object head;
    char* text;
    int interned;
} Str;

typedef struct {
    Object head;
    Object** items;
    size_t count, capacity;
} List;

typedef struct {
    Object head;
    Object** keys;
    Object** values;
    size_t count, capacity;
} Dict;

typedef struct {
    Object head;
    const struct ModuleDef* def;
    Dict* attributes; /* keyed by Str */
} Module;

/* The stable ABI's structures as the module passes them. */
typedef struct {
    const char* name;
    void* method;
    int flags;
    const char* doc;
} MethodDef;

typedef struct ModuleDef {
    Object head;
    Object* (*init)(void);
    Py_ssize_t index;
    Object* copy;
    const char* name;
    const char* doc;
    Py_ssize_t size;
    MethodDef* methods;
    void* slots;
    void* traverse;
    void* clear;
    void* free;
} ModuleDef;

typedef struct {
    int slot;
    void* value;
} TypeSlot;

typedef struct {
    const char* name;
    int basicsize;
    int itemsize;
    unsigned int flags;
    TypeSlot* slots;
} TypeSpec;

/* Slot numbers (typeslots.h), flags and versions of the stable ABI. */
enum { kTpBase = 48, kTpDealloc = 52, kTpDoc = 56, kTpMethods = 64, kTpNew = 65 };
#define TPFLAGS_HAVE_VERSION_TAG (1u << 18)
#define METH_VARARGS 0x1
#define METH_KEYWORDS 0x2
#define ABI_VERSION 3

static int failures;

static void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fputs("stand-in: FAILED: ", stdout);
    vprintf(format, args);
    fputc('\n', stdout);
    fflush(stdout);
    va_end(args);
    ++failures;
}

/* A call this stand-in does not implement: PyInit_tolm_native has no business making it. */
static void unexpected(const char* name) {
    fail("unexpected call to %s", name);
    ExitProcess(70);
}

/* Types: of types, of instances of the stand-in's own kinds, and of freed objects. */
static Type type_type = {{1, &type_type.head}, 0, "type"};
#define STATIC_TYPE(variable, text) static Type variable = {{1, &type_type.head}, 0, text}
STATIC_TYPE(list_type, "list");
STATIC_TYPE(dict_type, "dict");
STATIC_TYPE(module_type, "module");
STATIC_TYPE(bool_type, "bool");
STATIC_TYPE(none_type, "NoneType");
STATIC_TYPE(freed_type, "<freed>");
STATIC_TYPE(attribute_error, "AttributeError");
STATIC_TYPE(base_exception, "BaseException");
STATIC_TYPE(import_error, "ImportError");
STATIC_TYPE(runtime_error, "RuntimeError");
STATIC_TYPE(system_error, "SystemError");
STATIC_TYPE(type_error, "TypeError");
STATIC_TYPE(os_error, "OSError");
STATIC_TYPE(value_error, "ValueError");

/* The exported data: type objects and singletons are the objects themselves; the exception
 * classes are pointers to them. */
EXPORT Type PyBaseObject_Type = {{1, &type_type.head}, 0, "object"};
EXPORT Type PyUnicode_Type = {{1, &type_type.head}, 0, "str"};
EXPORT Object _Py_NoneStruct = {1, &none_type.head};
EXPORT Object _Py_TrueStruct = {1, &bool_type.head};
EXPORT Object _Py_FalseStruct = {1, &bool_type.head};
EXPORT Object* PyExc_AttributeError = &attribute_error.head;
EXPORT Object* PyExc_BaseException = &base_exception.head;
EXPORT Object* PyExc_ImportError = &import_error.head;
EXPORT Object* PyExc_RuntimeError = &runtime_error.head;
EXPORT Object* PyExc_SystemError = &system_error.head;
EXPORT Object* PyExc_TypeError = &type_error.head;
EXPORT Object* PyExc_OSError = &os_error.head;
EXPORT Object* PyExc_ValueError = &value_error.head;

static int is_static(const Object* object) {
    return object->type == &type_type.head || object == &_Py_NoneStruct ||
           object == &_Py_TrueStruct || object == &_Py_FalseStruct;
}

/* An argument must be a live object; a freed one means a reference was dropped too early. */
static Object* live(Object* object, const char* function) {
    if (object == NULL) {
        fail("%s received NULL", function);
    } else if (object->type == &freed_type.head) {
        fail("%s received an object that was already freed", function);
    } else if (object->refcnt <= 0) {
        fail("%s received an object whose reference count is %lld", function,
             (long long)object->refcnt);
    }
    return object;
}

static void* allocate(size_t size, Type* type) {
    Object* object = calloc(1, size);
    if (object == NULL) {
        fail("out of memory");
        ExitProcess(71);
    }
    object->refcnt = 1;
    object->type = &type->head;
    return object;
}

static void incref(Object* object) {
    ++object->refcnt;
}

EXPORT void _Py_Dealloc(Object* object);

static void decref(Object* object) {
    if (object != NULL && --object->refcnt == 0) _Py_Dealloc(object);
}

static Object* new_str(const char* text, size_t size) {
    Str* str = allocate(sizeof(Str), &PyUnicode_Type);
    str->text = malloc(size + 1);
    memcpy(str->text, text, size);
    str->text[size] = '\0';
    return &str->head;
}

static const char* text_of(const Object* object) {
    return object->type == &PyUnicode_Type.head ? ((const Str*)object)->text : NULL;
}

static int same_text(const Object* a, const Object* b) {
    const char* x = text_of(a);
    const char* y = text_of(b);
    return a == b || (x != NULL && y != NULL && strcmp(x, y) == 0);
}

/* Keeps its own references to key and value; an equal key is replaced. */
static void dict_set(Dict* dict, Object* key, Object* value) {
    incref(key);
    incref(value);
    for (size_t i = 0; i < dict->count; ++i) {
        if (same_text(dict->keys[i], key)) {
            decref(dict->keys[i]);
            decref(dict->values[i]);
            dict->keys[i] = key;
            dict->values[i] = value;
            return;
        }
    }
    if (dict->count == dict->capacity) {
        dict->capacity = dict->capacity ? 2 * dict->capacity : 8;
        dict->keys = realloc(dict->keys, dict->capacity * sizeof(Object*));
        dict->values = realloc(dict->values, dict->capacity * sizeof(Object*));
    }
    dict->keys[dict->count] = key;
    dict->values[dict->count] = value;
    ++dict->count;
}

static Object* dict_get(const Dict* dict, const char* key) {
    for (size_t i = 0; i < dict->count; ++i) {
        const char* text = text_of(dict->keys[i]);
        if (text != NULL && strcmp(text, key) == 0) return dict->values[i];
    }
    return NULL;
}

/* The error indicator. */
static Object* error_type;
static Object* error_value;

static void set_error(Object* type, Object* value) {
    incref(type);
    if (value != NULL) incref(value);
    Object* old_type = error_type;
    Object* old_value = error_value;
    error_type = type;
    error_value = value;
    decref(old_type);
    decref(old_value);
}

/* What the checks look at afterwards. */
static struct {
    int module_creations;
    const ModuleDef* def;
    int api_version;
    int type_creations;
    TypeSpec spec;
    TypeSlot slots[16];
    size_t slot_count;
    Object* type;
    int saw_true, saw_false, saw_none;
    int interned;
} seen;

/* ---- The functions PyInit_tolm_native calls ---- */

EXPORT void _Py_Dealloc(Object* object) {
    if (object->refcnt != 0) {
        fail("_Py_Dealloc of an object with %lld references", (long long)object->refcnt);
        return;
    }
    if (object->type == &freed_type.head) {
        fail("_Py_Dealloc of an object that was already freed");
        return;
    }
    if (is_static(object) || object == &PyBaseObject_Type.head || object == &PyUnicode_Type.head) {
        fail("_Py_Dealloc of a static object: a reference was released that was never taken");
        return;
    }
    Object* type = object->type;
    if (type == &list_type.head) {
        List* list = (List*)object;
        for (size_t i = 0; i < list->count; ++i) decref(list->items[i]);
    } else if (type == &dict_type.head) {
        Dict* dict = (Dict*)object;
        for (size_t i = 0; i < dict->count; ++i) {
            decref(dict->keys[i]);
            decref(dict->values[i]);
        }
    } else if (type == &module_type.head) {
        decref(&((Module*)object)->attributes->head);
    }
    /* The memory stays, marked, so that a later use of the object is caught. */
    object->type = &freed_type.head;
}

EXPORT Object* PyModule_Create2(ModuleDef* def, int api_version) {
    ++seen.module_creations;
    seen.def = def;
    seen.api_version = api_version;
    Module* module = allocate(sizeof(Module), &module_type);
    module->def = def;
    module->attributes = allocate(sizeof(Dict), &dict_type);
    return &module->head;
}

#if !defined(TOLM_STANDIN_WITHOUT_TYPE_FROM_SPEC)
EXPORT Object* PyType_FromSpec(TypeSpec* spec) {
    ++seen.type_creations;
    seen.spec = *spec;
    seen.slot_count = 0;
    for (const TypeSlot* slot = spec->slots; slot->slot != 0; ++slot) {
        if (seen.slot_count == sizeof seen.slots / sizeof seen.slots[0]) {
            fail("PyType_FromSpec: more slots than a class of this module has");
            break;
        }
        seen.slots[seen.slot_count++] = *slot;
    }
    Type* type = allocate(sizeof(Type), &type_type);
    type->name = spec->name;
    seen.type = &type->head;
    return &type->head;
}
#endif

EXPORT Object* PyObject_GetAttrString(Object* object, const char* name) {
    live(object, "PyObject_GetAttrString");
    if (object->type != &module_type.head) unexpected("PyObject_GetAttrString on a non-module");
    Object* value = dict_get(((Module*)object)->attributes, name);
    if (value == NULL) {
        Object* message = new_str(name, strlen(name));
        set_error(PyExc_AttributeError, message);
        decref(message);
        return NULL;
    }
    incref(value);
    return value;
}

EXPORT int PyObject_SetAttrString(Object* object, const char* name, Object* value) {
    live(object, "PyObject_SetAttrString");
    live(value, "PyObject_SetAttrString");
    if (object->type != &module_type.head) unexpected("PyObject_SetAttrString on a non-module");
    Object* key = new_str(name, strlen(name));
    dict_set(((Module*)object)->attributes, key, value);
    decref(key);
    return 0;
}

EXPORT int PyErr_ExceptionMatches(Object* type) {
    if (type != PyExc_AttributeError) unexpected("PyErr_ExceptionMatches for another class");
    return error_type == type;
}

EXPORT void PyErr_Clear(void) {
    Object* type = error_type;
    Object* value = error_value;
    error_type = error_value = NULL;
    decref(type);
    decref(value);
}

EXPORT Object* PyErr_Occurred(void) {
    return error_type;
}

#if !defined(TOLM_STANDIN_WITHOUT_ERR_SET_OBJECT)
EXPORT void PyErr_SetObject(Object* type, Object* value) {
    live(type, "PyErr_SetObject");
    set_error(type, value);
}
#endif

EXPORT Object* PyList_New(Py_ssize_t size) {
    if (size != 0) unexpected("PyList_New with items");
    return allocate(sizeof(List), &list_type);
}

EXPORT int PyList_Append(Object* object, Object* item) {
    live(object, "PyList_Append");
    live(item, "PyList_Append");
    List* list = (List*)object;
    if (list->count == list->capacity) {
        list->capacity = list->capacity ? 2 * list->capacity : 4;
        list->items = realloc(list->items, list->capacity * sizeof(Object*));
    }
    incref(item);
    list->items[list->count++] = item;
    return 0;
}

EXPORT Object* PyUnicode_DecodeUTF8(const char* text, Py_ssize_t size, const char* errors) {
    (void)errors;
    if (size < 0) unexpected("PyUnicode_DecodeUTF8 with a negative size");
    return new_str(text, (size_t)size);
}

EXPORT Object* PyUnicode_InternFromString(const char* text) {
    Str* str = (Str*)new_str(text, strlen(text));
    str->interned = 1;
    ++seen.interned;
    return &str->head;
}

EXPORT Object* PyDict_New(void) {
    return allocate(sizeof(Dict), &dict_type);
}

EXPORT int PyDict_SetItem(Object* dict, Object* key, Object* value) {
    live(dict, "PyDict_SetItem");
    live(key, "PyDict_SetItem");
    live(value, "PyDict_SetItem");
    if (dict->type != &dict_type.head) unexpected("PyDict_SetItem on a non-dict");
    if (text_of(key) == NULL || !((Str*)key)->interned) {
        fail("PyDict_SetItem: a result key that is not an interned str");
    }
    seen.saw_true |= value == &_Py_TrueStruct;
    seen.saw_false |= value == &_Py_FalseStruct;
    seen.saw_none |= value == &_Py_NoneStruct;
    dict_set((Dict*)dict, key, value);
    return 0;
}

/* ---- Everything else the module imports, which only calls after the import use. The
 * module finds them by name; as they fail at once, their parameters do not matter. ---- */

#define NOT_AT_IMPORT(name)  \
    EXPORT void name(void) { \
        unexpected(#name);   \
    }
NOT_AT_IMPORT(PyBytes_AsStringAndSize)
NOT_AT_IMPORT(PyDict_Copy)
NOT_AT_IMPORT(PyDict_Next)
NOT_AT_IMPORT(PyDict_SetItemString)
NOT_AT_IMPORT(PyErr_Fetch)
NOT_AT_IMPORT(PyErr_GivenExceptionMatches)
NOT_AT_IMPORT(PyErr_NewExceptionWithDoc)
NOT_AT_IMPORT(PyErr_NormalizeException)
NOT_AT_IMPORT(PyErr_Print)
NOT_AT_IMPORT(PyErr_PrintEx)
NOT_AT_IMPORT(PyErr_Restore)
NOT_AT_IMPORT(PyException_GetCause)
NOT_AT_IMPORT(PyException_SetCause)
NOT_AT_IMPORT(PyFloat_AsDouble)
NOT_AT_IMPORT(PyFloat_FromDouble)
NOT_AT_IMPORT(PyLong_FromUnsignedLongLong)
NOT_AT_IMPORT(PyObject_Str)
NOT_AT_IMPORT(PySys_WriteStderr)
NOT_AT_IMPORT(PyTuple_GetItem)
NOT_AT_IMPORT(PyTuple_New)
NOT_AT_IMPORT(PyTuple_SetItem)
NOT_AT_IMPORT(PyTuple_Size)
NOT_AT_IMPORT(PyType_GenericAlloc)
NOT_AT_IMPORT(PyType_GetFlags)
NOT_AT_IMPORT(PyType_GetSlot)
NOT_AT_IMPORT(PyUnicode_AsEncodedString)
NOT_AT_IMPORT(PyUnicode_AsUTF8AndSize)
NOT_AT_IMPORT(PyUnicode_AsUTF8String)
NOT_AT_IMPORT(PyUnicode_CompareWithASCIIString)
#undef NOT_AT_IMPORT

/* ---- The checks ---- */

static int starts_with(const char* text, const char* prefix) {
    return text != NULL && strncmp(text, prefix, strlen(prefix)) == 0;
}

/* Whether every entry of a method table up to its end marker is hidden from the public
 * surface (its name starts with '_'), as the friendly layers' entries are. */
static int only_hidden(const MethodDef* method) {
    for (; method->name != NULL; ++method) {
        if (method->name[0] != '_' || method->method == NULL) return 0;
    }
    return 1;
}

static void check_class_spec(void) {
    if (seen.type_creations != 1) {
        fail("PyType_FromSpec was called %d times, not once", seen.type_creations);
        return;
    }
    if (seen.spec.name == NULL || strcmp(seen.spec.name, "builtins.NativeEngine") != 0) {
        fail("class spec name is '%s', not 'builtins.NativeEngine'",
             seen.spec.name ? seen.spec.name : "(null)");
    }
    if (seen.spec.basicsize < (int)sizeof(Object) || seen.spec.itemsize != 0) {
        fail("class spec sizes %d/%d", seen.spec.basicsize, seen.spec.itemsize);
    }
    /* No base-type, heap-type or garbage-collection flag: the class has no tp_traverse. */
    if ((seen.spec.flags & ~TPFLAGS_HAVE_VERSION_TAG) != 0) {
        fail("class spec flags %#x beyond Py_TPFLAGS_DEFAULT", seen.spec.flags);
    }
    int base = 0, dealloc = 0, doc = 0, new_ = 0, methods = 0;
    for (size_t i = 0; i < seen.slot_count; ++i) {
        const TypeSlot* slot = &seen.slots[i];
        switch (slot->slot) {
            case kTpBase:
                /* The module's PyBaseObject_Type import must be this DLL's object. */
                base = slot->value == &PyBaseObject_Type;
                break;
            case kTpDealloc:
                dealloc = slot->value != NULL;
                break;
            case kTpDoc:
                doc = starts_with(slot->value, "NativeEngine(algorithm_str, mode_str, capacity");
                break;
            case kTpNew:
                new_ = slot->value != NULL;
                break;
            case kTpMethods: {
                /* Exactly one public method, check, beside hidden ('_') ones in any order. */
                int checks = 0;
                int others = 0;
                for (const MethodDef* method = slot->value; method != NULL && method->name != NULL;
                     ++method) {
                    if (strcmp(method->name, "check") == 0 && method->method != NULL &&
                        method->flags == (METH_VARARGS | METH_KEYWORDS) &&
                        starts_with(method->doc, "check($self, ip, route, identity=None)")) {
                        ++checks;
                    } else if (method->name[0] != '_' || method->method == NULL) {
                        ++others;
                    }
                }
                methods = checks == 1 && others == 0;
                break;
            }
            default:
                fail("class spec has an unexpected slot %d", slot->slot);
        }
    }
    if (!base) fail("class spec: Py_tp_base is not this interpreter's PyBaseObject_Type");
    if (!dealloc) fail("class spec: no Py_tp_dealloc");
    if (!doc) fail("class spec: Py_tp_doc is not the NativeEngine signature");
    if (!new_) fail("class spec: no Py_tp_new");
    if (!methods) {
        fail(
            "class spec: Py_tp_methods is not check(ip, route, identity) followed by hidden "
            "('_') methods only");
    }
}

static void check_module(Object* module) {
    if (module == NULL) {
        fail("PyInit_tolm_native returned NULL (pending: %s)",
             error_type ? ((Type*)error_type)->name : "nothing");
        return;
    }
    live(module, "the importer");
    if (seen.module_creations != 1) {
        fail("PyModule_Create2 was called %d times, not once", seen.module_creations);
    }
    if (module->type != &module_type.head || ((Module*)module)->def != seen.def) {
        fail("PyInit_tolm_native did not return the module PyModule_Create2 made");
        return;
    }
    if (seen.api_version != ABI_VERSION) {
        fail("PyModule_Create2 got API version %d, not the stable ABI's %d", seen.api_version,
             ABI_VERSION);
    }
    const ModuleDef* def = seen.def;
    if (def->head.refcnt != 1 || def->head.type != NULL || def->init != NULL || def->index != 0 ||
        def->copy != NULL) {
        fail("the module definition does not start with PyModuleDef_HEAD_INIT");
    }
    if (def->name == NULL || strcmp(def->name, "tolm_native") != 0) {
        fail("module definition name is '%s', not 'tolm_native'", def->name ? def->name : "(null)");
    }
    if (def->size != 0 || (def->methods != NULL && !only_hidden(def->methods)) ||
        def->slots != NULL) {
        fail("module definition has state, functions or slots it should not have");
    }
    check_class_spec();

    const Dict* attributes = ((Module*)module)->attributes;
    Object* all = dict_get(attributes, "__all__");
    Object* engine = dict_get(attributes, "NativeEngine");
    if (attributes->count != 2 || all == NULL || engine == NULL) {
        fail("module attributes are not exactly __all__ and NativeEngine");
        return;
    }
    if (engine != seen.type) fail("NativeEngine is not the class PyType_FromSpec made");
    const List* names = (const List*)all;
    if (all->type != &list_type.head || names->count != 1 ||
        !starts_with(text_of(names->items[0]), "NativeEngine") ||
        strlen(text_of(names->items[0])) != strlen("NativeEngine")) {
        fail("__all__ is not the list ['NativeEngine']");
    } else if (all->refcnt != 1 || names->items[0]->refcnt != 1) {
        /* The module holds the list and the list holds the name: no other reference. */
        fail("__all__ or its item has %lld/%lld references, not 1/1", (long long)all->refcnt,
             (long long)names->items[0]->refcnt);
    }
    if (seen.interned != 8) fail("%d result keys interned, not 8", seen.interned);
    if (!seen.saw_true || !seen.saw_false || !seen.saw_none) {
        fail("the result templates did not hold this interpreter's True, False and None");
    }
    if (error_type != NULL) fail("an error is pending after a successful import");
}

/* A second initialisation in one process is refused with ImportError. */
static void check_second_import(Object* result) {
    if (result != NULL) {
        fail("a second PyInit_tolm_native returned a module");
        return;
    }
    if (error_type != PyExc_ImportError || error_value == NULL ||
        !starts_with(text_of(error_value), "tolm_native may be initialized only once")) {
        fail("a second PyInit_tolm_native did not raise the ImportError for initialising twice");
    }
    if (seen.module_creations != 1) fail("a second PyInit_tolm_native made another module");
    PyErr_Clear();
}

typedef Object* (*InitFunction)(void);

static InitFunction load_init(const wchar_t* module_path) {
    HMODULE module = LoadLibraryW(module_path);
    if (module == NULL) {
        fail("LoadLibraryW(%ls) failed with error %lu", module_path, GetLastError());
        return NULL;
    }
    InitFunction init = (InitFunction)(void (*)(void))GetProcAddress(module, "PyInit_tolm_native");
    if (init == NULL) fail("%ls has no PyInit_tolm_native", module_path);
    return init;
}

/* For PyInit_tolm_native called elsewhere: the result of the first call, then of the second. */
EXPORT int standin_check_module(Object* module) {
    check_module(module);
    return failures;
}

EXPORT int standin_check_second_import(Object* result) {
    check_second_import(result);
    return failures;
}

#if defined(TOLM_STANDIN_WITHOUT_TYPE_FROM_SPEC)
/* The module must refuse to import, naming what it lacks, before creating anything. */
EXPORT int standin_import(const wchar_t* module_path) {
    InitFunction init = load_init(module_path);
    if (init == NULL) return failures;
    Object* module = init();
    const char* message = error_value ? text_of(error_value) : NULL;
    if (module != NULL || error_type != PyExc_ImportError || message == NULL) {
        fail("PyInit_tolm_native did not raise ImportError without PyType_FromSpec");
    } else {
        printf("stand-in: ImportError: %s\n", message);
        if (strstr(message, "PyType_FromSpec") == NULL ||
            strstr(message, "python311.dll") == NULL) {
            fail("the ImportError does not name PyType_FromSpec and python311.dll");
        }
    }
    if (seen.module_creations != 0) fail("a module was created although the import failed");
    return failures;
}
#else
EXPORT int standin_import(const wchar_t* module_path) {
    InitFunction init = load_init(module_path);
    if (init == NULL) return failures;
    check_module(init());
    check_second_import(init());
    return failures;
}
#endif
