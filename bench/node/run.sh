#!/usr/bin/env bash
# Benchmarks checkRequest of the addon in $TOLM_BUILD_DIR (a Release build) beside its
# reference points, which are compiled here into a throw-away addon. With --build-only it
# only compiles them (bench/run-all.sh drives the measuring itself).
set -euo pipefail
cd "$(dirname "$0")/../.."
: "${TOLM_BUILD_DIR:?TOLM_BUILD_DIR must name a Release build directory}"

headers="$(dirname "$(dirname "$(readlink -f "$(command -v node)")")")/include/node"
[ -f "$headers/node_api.h" ] || headers=/usr/include/node
out="$TOLM_BUILD_DIR/bench-node"
mkdir -p "$out"
# Linked directly against the host's Node-API: these references are never shipped.
${CXX:-g++} -std=c++20 -O2 -DNDEBUG -shared -fPIC -DNAPI_VERSION=3 -isystem "$headers" -Isrc \
    bench/node/reference_addon.cpp "$TOLM_BUILD_DIR/libtolm_core.a" -o "$out/reference.node"

[ "${1:-}" = --build-only ] && exit 0
TOLM_BENCH_REFERENCE="$out/reference.node" node bench/node/check_request.js
