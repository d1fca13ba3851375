#!/usr/bin/env bash
# What the Windows cross-build and its tests need: clang 16 and lld 16, the mingw-w64
# headers, import libraries and posix-threads C++ runtime, GoogleTest's sources, and Wine
# (64-bit only) to run the results. Installs only what is missing; safe to run again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/install.bash"

missing=()
[ -x /usr/lib/llvm-16/bin/clang ] || missing+=(clang-16)
[ -x /usr/lib/llvm-16/bin/ld.lld ] || missing+=(lld-16)
compgen -G '/usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++' >/dev/null ||
    missing+=(g++-mingw-w64-x86-64-posix)
command -v x86_64-w64-mingw32-ar >/dev/null || missing+=(binutils-mingw-w64-x86-64)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
[ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
# Without recommends Wine stays headless: no fonts, sound or X11 pieces.
[ ${#missing[@]} -eq 0 ] || apt_install "${missing[*]}" --no-install-recommends "${missing[@]}"
exit 0
