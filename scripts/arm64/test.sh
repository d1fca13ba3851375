#!/usr/bin/env bash
# make test-arm64: runs the arm64 build (default build-arm64, from make arm64) under
# qemu-aarch64, each step with a time limit:
#   - the C++ core suite;
#   - the Node suites (tests/node) in node for linux-arm64, the release the x64 suites use;
#   - the Python suite (tests/python) in Debian's arm64 CPython 3.11.
# The arm64 programs come from scripts/bootstrap.d/arm64.sh. Children that the suites start
# (process.execPath, sys.executable, `node` and `python3` on the PATH) go through static
# launchers (launcher.c) that run them under qemu as well. Tests that cannot run emulated are
# skipped with their reason (docs/platforms.md lists them).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build-arm64}" && pwd)
limit=${TOLM_ARM64_TIME_LIMIT:-900}

for file in "$build/tolm_core_tests" "$build/tolm_native.abi3.so" "$build/tolm_native.node" \
    "$build/libtolm_fake_clock.so"; do
    [ -f "$file" ] || { echo "arm64: $file missing; run make arm64" >&2; exit 1; }
done
# shellcheck source=scripts/arm64/launchers.sh
. "$root/scripts/arm64/launchers.sh"
bin=$build/bin

passed=0
failed=0
fail() {
    echo "arm64: FAILED: $*" >&2
    failed=$((failed + 1))
}
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.0f", b - a }'; }

export TOLM_EMULATED=qemu-aarch64
export TOLM_BUILD_DIR=$build
export PATH=$bin:$PATH

start=$(now)
# qemu-user does not carry out the kernel's robust-futex list for the programs it runs, so a
# process killed while it holds a shared region's lock never has that lock released: the test
# of exactly that case waits for good here. It runs natively and under Wine.
if timeout "$limit" nice -n 19 "$qemu" -L "$host/root" "$build/tolm_core_tests" --gtest_brief=1 \
    --gtest_filter=-SharedStoreTest.HolderKilledInsideTheCriticalSection \
    >"$build/core.log" 2>&1; then
    tail -n 1 "$build/core.log"
    echo "arm64: C++ core suite passed in $(since "$start") s"
    passed=$((passed + 1))
else
    tail -n 30 "$build/core.log" >&2
    fail "the C++ core suite (or it hit its ${limit} s limit)"
fi

start=$(now)
if TOLM_ARM64_NODE_LAUNCHER=$bin/node NODE_OPTIONS="--require $root/scripts/arm64/exec-path.js" \
    TOLM_TEST_CC=aarch64-linux-gnu-gcc timeout "$limit" nice -n 19 \
    "$bin/node" --test --test-reporter=spec "$root/tests/node/" >"$build/node.log" 2>&1; then
    grep -E '^ℹ (tests|pass|fail|skipped) ' "$build/node.log" | tr '\n' ' '
    echo
    echo "arm64: Node suites passed in $(since "$start") s"
    passed=$((passed + 1))
else
    tail -n 60 "$build/node.log" >&2
    fail "the Node suites (or they hit their ${limit} s limit); log: $build/node.log"
fi

start=$(now)
if (cd "$root/tests/python" && PYTHONPATH=$host/python-site timeout "$limit" nice -n 19 \
    "$bin/python3" -m pytest -q -p no:cacheprovider -rs "$root/tests/python") >"$build/python.log" 2>&1; then
    grep -E '^SKIPPED|passed' "$build/python.log" || true
    echo "arm64: Python suite passed in $(since "$start") s"
    passed=$((passed + 1))
else
    tail -n 60 "$build/python.log" >&2
    fail "the Python suite (or it hit its ${limit} s limit); log: $build/python.log"
fi

echo "arm64: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
