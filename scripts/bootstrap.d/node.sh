#!/usr/bin/env bash
# What the Node binding's build, suite and benchmark need beyond the main bootstrap:
# Node.js with npm, the Node-API headers, and a C compiler for the suite's preload shims.
set -euo pipefail

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else
        echo "bootstrap: need root to run: $*" >&2; return 1; fi
}

headers_present() {
    local prefix
    prefix="$(dirname "$(dirname "$(readlink -f "$(command -v node)")")")"
    [ -f "$prefix/include/node/node_api.h" ] || [ -f /usr/include/node/node_api.h ]
}

missing=()
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
command -v cc >/dev/null || missing+=(gcc)
if [ ${#missing[@]} -gt 0 ]; then
    as_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Debian ships the headers apart from the runtime.
if ! headers_present; then
    as_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq libnode-dev >/dev/null
fi

major="$(node -p 'process.versions.node.split(".")[0]')"
if [ "$major" -lt 18 ]; then
    echo "bootstrap: Node.js $major is too old for the Node suite (node:test needs 18 or later)" >&2
    exit 1
fi
