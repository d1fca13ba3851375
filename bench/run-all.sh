#!/usr/bin/env bash
# `make bench`: installs the pinned peer limiters into bench/.venv and bench/node_modules,
# builds tolm in release mode, its core benchmark and the two binding floors, then runs
# everything (bench/peers/run.py) and writes docs/bench-results.json and docs/bench-chart.png;
# then the HTTP-level benchmark (bench/http/run.sh), which writes docs/bench-http-results.json
# and docs/bench-http.png; then the per-call tail latencies (bench/tail/run.sh), which write
# docs/bench-tail-results.json and docs/bench-tail.png.
#
#   BENCH_QUICK=1       a shorter run for iteration (fewer repetitions, memory at 100k keys);
#                       writes to bench/results/ unless BENCH_OUT_DIR says otherwise
#   BENCH_SKIP_BUILD=1  use the builds already there
#   BENCH_REPS=N        repetitions (default 5)
#   BENCH_SKIP_HTTP=1   leave out the HTTP-level benchmark (bench/http, `make bench-http`)
#   BENCH_SKIP_TAIL=1   leave out the tail-latency part (bench/tail, `make bench-tail`)
#   BENCH_SKIP_SHARED=1 leave out the shared store against the private table and the peers'
#                       Redis stores (bench/shared/run.py, shared-results.json)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
venv=bench/.venv

echo "== peers (pinned)"
bash bench/install-peers.sh

release=$root/build-release
core_build=$root/build-bench
if [ "${BENCH_SKIP_BUILD:-0}" = 0 ]; then
    echo "== tolm, release build"
    make build BUILD=build-release BUILD_TYPE=Release CMAKE_FLAGS=-DTOLM_BUILD_TESTS=OFF
    echo "== core benchmark build"
    cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLM_CORE_ONLY=ON \
          -DTOLM_BUILD_TESTS=OFF -DTOLM_BUILD_BENCH=ON >/dev/null
    cmake --build build-bench --target tolm_core_bench
fi

echo "== binding floors"
TOLM_BUILD_DIR=$release bash bench/python/run.sh --build-only
TOLM_BUILD_DIR=$release bash bench/node/run.sh --build-only
floor_dir=$release/bench-python
reference_dir=$release/bench-node

out_default=$root/docs
if [ "${BENCH_QUICK:-0}" != 0 ]; then out_default=$root/bench/results; fi

echo "== measuring (load average: $(cut -d' ' -f1-3 /proc/loadavg))"
TOLM_BUILD_DIR=$release \
TOLM_CORE_BENCH=$core_build/tolm_core_bench \
TOLM_BENCH_FLOOR_DIR=$floor_dir \
TOLM_BENCH_REFERENCE=$reference_dir/reference.node \
BENCH_OUT_DIR=${BENCH_OUT_DIR:-$out_default} \
    "$venv/bin/python" bench/peers/run.py

if [ "${BENCH_SKIP_SHARED:-0}" = 0 ]; then
    echo "== shared store: against the private table and the peers with Redis"
    "$venv/bin/python" -m unittest -q bench/shared/test_harness.py
    TOLM_BUILD_DIR=$release TOLM_CORE_BENCH=$core_build/tolm_core_bench \
    BENCH_OUT_DIR=${BENCH_OUT_DIR:-$out_default} \
        "$venv/bin/python" bench/shared/run.py
fi

if [ "${BENCH_SKIP_HTTP:-0}" = 0 ]; then
    BENCH_SKIP_INSTALL=1 BENCH_SKIP_BUILD=1 BENCH_HTTP_QUICK=${BENCH_QUICK:-0} \
    BENCH_OUT_DIR=${BENCH_OUT_DIR:-$out_default} \
        bash bench/http/run.sh
fi

if [ "${BENCH_SKIP_TAIL:-0}" = 0 ]; then
    BENCH_OUT_DIR=${BENCH_OUT_DIR:-$out_default} bash bench/tail/run.sh --measure-only
fi
