/* Faults on purpose, so that the Windows test runner can prove that faults are caught:
 *   fault crash        an access violation; under Wine it must end the process with a
 *                      failure at once instead of waiting in a debugger
 *   fault double-free  frees one block twice; Wine's heap checking must report it */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "crash") == 0) {
        fputs("crashing on purpose\n", stderr);
        fflush(stderr);
        volatile int* volatile nowhere = 0;
        *nowhere = 1;
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "double-free") == 0) {
        char* volatile block = malloc(16);
        free(block);
        free(block);
        return 0;
    }
    fputs("usage: fault crash|double-free\n", stderr);
    return 2;
}
