/* Plays the program around CPython for the stand-in checks of scripts/windows/test.sh:
 *
 *   python_host interpreter STANDIN MODULE
 *       loads the stand-in python311.dll, which imports MODULE as CPython's importer does
 *       (PyInit_tolm_native called from inside python311.dll) and checks the result;
 *   python_host process STANDIN MODULE
 *       loads the stand-in, then calls PyInit_tolm_native from this program, which exports
 *       nothing: the module must find the python3*.dll loaded in the process instead;
 *   python_host none MODULE
 *       calls PyInit_tolm_native with no CPython anywhere in the process: the module must stop
 *       the process with a message, since it cannot even raise an exception.
 *
 * Exit status 0 when the stand-in's checks pass. */
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

typedef void* (*InitFunction)(void);
typedef int (*ImportFunction)(const wchar_t*);
typedef int (*CheckFunction)(void*);

static FARPROC find(HMODULE module, const char* name) {
    FARPROC address = GetProcAddress(module, name);
    if (address == NULL) fprintf(stderr, "python_host: %s not found\n", name);
    return address;
}

static HMODULE load(const wchar_t* path) {
    HMODULE module = LoadLibraryW(path);
    if (module == NULL)
        fprintf(stderr, "python_host: LoadLibraryW(%ls) failed: %lu\n", path, GetLastError());
    return module;
}

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && wcscmp(argv[1], L"none") == 0) {
        HMODULE module = load(argv[2]);
        InitFunction init =
            module ? (InitFunction)(void (*)(void))find(module, "PyInit_tolm_native") : NULL;
        if (init == NULL) return 2;
        init();
        puts("python_host: PyInit_tolm_native returned without any CPython in the process");
        return 1;
    }
    if (argc != 4) {
        fputs("usage: python_host interpreter|process STANDIN MODULE | none MODULE\n", stderr);
        return 2;
    }
    HMODULE standin = load(argv[2]);
    if (standin == NULL) return 2;
    int failures;
    if (wcscmp(argv[1], L"interpreter") == 0) {
        ImportFunction import = (ImportFunction)(void (*)(void))find(standin, "standin_import");
        if (import == NULL) return 2;
        failures = import(argv[3]);
    } else if (wcscmp(argv[1], L"process") == 0) {
        CheckFunction check_module =
            (CheckFunction)(void (*)(void))find(standin, "standin_check_module");
        CheckFunction check_second =
            (CheckFunction)(void (*)(void))find(standin, "standin_check_second_import");
        HMODULE module = load(argv[3]);
        InitFunction init =
            module ? (InitFunction)(void (*)(void))find(module, "PyInit_tolm_native") : NULL;
        if (check_module == NULL || check_second == NULL || init == NULL) return 2;
        check_module(init());
        failures = check_second(init());
    } else {
        fputs("python_host: unknown mode\n", stderr);
        return 2;
    }
    printf("python_host: %ls: %d failed checks\n", argv[1], failures);
    return failures == 0 ? 0 : 1;
}
