#!/usr/bin/env bash
# What make test-posix needs beyond the main bootstrap: clang 16 with libc++, the C++ library
# Apple ships, so that the POSIX platform layer and everything above it are also compiled the
# way a Mac compiles them. Installs only what is missing; safe to run again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/install.bash"

missing=()
command -v clang++-16 >/dev/null || missing+=(clang-16)
[ -d /usr/lib/llvm-16/include/c++/v1 ] || missing+=(libc++-16-dev)
[ -f /usr/lib/llvm-16/lib/libc++abi.so ] || missing+=(libc++abi-16-dev)
[ ${#missing[@]} -eq 0 ] || apt_install "${missing[*]}" --no-install-recommends "${missing[@]}"
exit 0
