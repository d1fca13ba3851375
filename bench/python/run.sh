#!/usr/bin/env bash
# Builds the floor extension beside the module in $TOLM_BUILD_DIR (a Release build) and prints
# the median cost of NativeEngine.check next to it. With --build-only it only builds the
# floor (bench/run-all.sh drives the measuring itself).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
: "${TOLM_BUILD_DIR:?set TOLM_BUILD_DIR to the absolute Release build directory}"
python=${PYTHON:-python3}
out="$TOLM_BUILD_DIR/bench-python"
mkdir -p "$out"
include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
cc -O2 -shared -fPIC -DPy_LIMITED_API=0x03080000 -I"$include" "$here/floor.c" \
    -o "$out/tolm_bench_floor.abi3.so"
[ "${1:-}" = --build-only ] && exit 0
PYTHONPATH="$TOLM_BUILD_DIR:$out" "$python" "$here/bench.py"
