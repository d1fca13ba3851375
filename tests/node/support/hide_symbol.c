/* Preloaded to play a host that lacks one Node-API function: dlsym answers "not found"
 * for the name in TOLM_HIDE_SYMBOL and forwards every other lookup to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

typedef void* (*dlsym_fn)(void*, const char*);

void* dlsym(void* handle, const char* name) {
    static dlsym_fn real;
    if (real == NULL) {
        real = (dlsym_fn)dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.34");
        if (real == NULL) real = (dlsym_fn)dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.2.5");
    }
    const char* hidden = getenv("TOLM_HIDE_SYMBOL");
    if (hidden != NULL && name != NULL && strcmp(name, hidden) == 0) return NULL;
    return real(handle, name);
}
