/* Loads a module the way a host does, finds each named entry point in it, and unloads it;
 * twice, so that unloading leaves nothing behind that breaks the next load. Proves under
 * Wine that every import resolves and that the module's start-up and shut-down code runs.
 *   load_module MODULE [ENTRY...]   exit status 0 when everything was found */
#include <stdio.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        fputs("usage: load_module MODULE [ENTRY...]\n", stderr);
        return 2;
    }
    for (int round = 0; round < 2; ++round) {
        HMODULE module = LoadLibraryW(argv[1]);
        if (module == NULL) {
            fprintf(stderr, "LoadLibraryW(%ls) failed with error %lu\n", argv[1], GetLastError());
            return 1;
        }
        for (int i = 2; i < argc; ++i) {
            char name[256];
            if (WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, name, sizeof name, NULL, NULL) == 0 ||
                GetProcAddress(module, name) == NULL) {
                fprintf(stderr, "%ls has no entry point %ls\n", argv[1], argv[i]);
                return 1;
            }
        }
        if (!FreeLibrary(module)) {
            fprintf(stderr, "FreeLibrary failed with error %lu\n", GetLastError());
            return 1;
        }
    }
    puts("loaded, found and unloaded twice");
    return 0;
}
