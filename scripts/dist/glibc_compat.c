/* Linked into the release library beside glibc_floor.py's stand-ins: the three glibc symbols
 * newer than glibc 2.28 that the static C++ runtime and unwinder of this toolchain call, each
 * answered with what glibc 2.28 offers. All are hidden (the build compiles this file with
 * -fvisibility=hidden), so they serve only the library itself. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/random.h>

/* glibc 2.32 sets this to 1 while a process has one thread, so that libstdc++ can skip
 * atomic instructions. Always 0 here: the runtime takes the atomic path, correct with any
 * number of threads. */
char __libc_single_threaded = 0;

/* glibc 2.36. std::random_device reaches it; getrandom (glibc 2.25) gives the same bytes. */
uint32_t arc4random(void) {
    uint32_t value;
    for (;;) {
        ssize_t n = getrandom(&value, sizeof value, 0);
        if (n == (ssize_t)sizeof value) return value;
        if (n < 0 && errno != EINTR) abort();
    }
}

/* glibc 2.35. The unwinder asks it for the object holding a code address and that object's
 * .eh_frame_hdr; the same answer comes from walking the loaded objects, as unwinders did
 * before. */
struct tolm_find_request {
    uintptr_t pc;
    struct dl_find_object* result;
    int found;
};

static int tolm_find_visit(struct dl_phdr_info* info, size_t size, void* data) {
    (void)size;
    struct tolm_find_request* request = data;
    uintptr_t low = UINTPTR_MAX;
    uintptr_t high = 0;
    int inside = 0;
    void* eh_frame = NULL;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)* header = &info->dlpi_phdr[i];
        uintptr_t start = info->dlpi_addr + header->p_vaddr;
        if (header->p_type == PT_LOAD) {
            uintptr_t end = start + header->p_memsz;
            if (request->pc >= start && request->pc < end) inside = 1;
            if (start < low) low = start;
            if (end > high) high = end;
        } else if (header->p_type == PT_GNU_EH_FRAME) {
            eh_frame = (void*)start;
        }
    }
    if (!inside) return 0;
    request->result->dlfo_flags = 0;
    request->result->dlfo_map_start = (void*)low;
    request->result->dlfo_map_end = (void*)high;
    request->result->dlfo_link_map = NULL;
    request->result->dlfo_eh_frame = eh_frame;
    request->found = 1;
    return 1;
}

int _dl_find_object(void* pc, struct dl_find_object* result) {
    struct tolm_find_request request = {(uintptr_t)pc, result, 0};
    dl_iterate_phdr(tolm_find_visit, &request);
    return request.found ? 0 : -1;
}
