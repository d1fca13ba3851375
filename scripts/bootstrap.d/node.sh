#!/usr/bin/env bash
# What the Node binding's build and suite need beyond the main bootstrap: Node.js 18 or later,
# the Node-API headers, and a C compiler for the suite's preload shims. (npm, which only the
# tests and the benchmarks use, is the main bootstrap's.)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/install.bash"

missing=()
command -v node >/dev/null || missing+=(nodejs)
command -v cc >/dev/null || missing+=(gcc)
[ ${#missing[@]} -eq 0 ] || apt_install "${missing[*]}" "${missing[@]}"

# Debian ships the headers apart from the runtime.
prefix=$(dirname "$(dirname "$(readlink -f "$(command -v node)")")")
if [ ! -f "$prefix/include/node/node_api.h" ] && [ ! -f /usr/include/node/node_api.h ]; then
    apt_install "the Node-API headers (node_api.h)" libnode-dev
fi

version=$(node --version)
major=${version#v}
major=${major%%.*}
if [ "$major" -lt 18 ]; then
    echo "bootstrap: Node.js $version is too old (node:test needs 18 or later); install Node.js 18+ (https://nodejs.org)" >&2
    exit 1
fi
