/* An x86-64 stand-in for one arm64 program (node or python3) that runs it under qemu-user.
 *
 * Without binfmt_misc, which needs the host's administrator, an emulated program cannot
 * start another arm64 program: the kernel refuses the file. The suites start children
 * through process.execPath or `python3` on the PATH, so scripts/arm64/test.sh points those at
 * this launcher. It is linked statically, like qemu-aarch64-static, so that an arm64 library
 * in LD_PRELOAD (the fake clock) passes through the host side untouched and reaches the
 * emulated program.
 *
 * Built by scripts/arm64/launchers.sh: cc -static -DTOLM_QEMU=... -DTOLM_ROOT=...
 * -DTOLM_PROGRAM=... launcher.c, each a quoted path. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
    char** args = calloc((size_t)argc + 6, sizeof *args);
    if (args == NULL) return 127;
    args[0] = (char*)TOLM_QEMU;
    /* The program sees the launcher's name as its argv[0], so that CPython's sys.executable,
     * which its suites start children with, is the launcher too. */
    args[1] = (char*)"-0";
    args[2] = argv[0];
    /* The arm64 root is named here, not through QEMU_LD_PREFIX: some tests start children
     * with a cleared environment. */
    args[3] = (char*)"-L";
    args[4] = (char*)TOLM_ROOT;
    args[5] = (char*)TOLM_PROGRAM;
    for (int i = 1; i < argc; ++i) args[i + 5] = argv[i];
    execv(TOLM_QEMU, args);
    fprintf(stderr, "launcher: cannot run %s: %s\n", TOLM_QEMU, strerror(errno));
    return 127;
}
