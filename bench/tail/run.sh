#!/usr/bin/env bash
# `make bench-tail`: per-call latency percentiles of tolm and every peer limiter with a
# million live clients (bench/tail/measure.py); writes docs/bench-tail-results.json and
# docs/bench-tail.png. Installs the pinned peers and builds tolm in release mode first, as
# bench/run-all.sh does; with --measure-only it only measures (run-all.sh has done the rest).
#
#   BENCH_QUICK=1         100,000 clients, 2 s windows; writes to bench/results/
#   BENCH_SKIP_BUILD=1    use the release build already there
#   BENCH_TAIL_SECONDS=N  measured window per limiter (default 12)
#   BENCH_TAIL_ONLY=...   rows to run, e.g. "Python:tolm,Node:map"
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
venv=bench/.venv
release=$root/build-release

if [ "${1:-}" != --measure-only ]; then
    echo "== peers (pinned)"
    bash bench/install-peers.sh
    if [ "${BENCH_SKIP_BUILD:-0}" = 0 ]; then
        echo "== tolm, release build"
        make build BUILD=build-release BUILD_TYPE=Release CMAKE_FLAGS=-DTOLM_BUILD_TESTS=OFF
    fi
fi

echo "== tail latency (load average: $(cut -d' ' -f1-3 /proc/loadavg))"
TOLM_BUILD_DIR=$release "$venv/bin/python" bench/tail/measure.py
