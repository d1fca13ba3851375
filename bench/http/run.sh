#!/usr/bin/env bash
# `make bench-http`: installs the pinned frameworks, servers, peer middleware and autocannon into
# bench/.venv and bench/node_modules, builds tolm in release mode, then serves every framework's
# small app on 127.0.0.1 with and without each limiter and loads it (bench/http/run.py): prints
# the table and writes docs/bench-http-results.json and docs/bench-http.png. About 5 minutes.
#
#   BENCH_HTTP_QUICK=1      one short round, for iteration (about a minute); writes to
#                           bench/results/ unless BENCH_OUT_DIR says otherwise
#   BENCH_SKIP_BUILD=1      use the Release build already there
#   BENCH_SKIP_INSTALL=1    use the peers already installed (bench/run-all.sh has just done it)
#   BENCH_HTTP_FRAMEWORKS   a subset, e.g. express,flask; other settings in bench/http/run.py
#   BENCH_HTTP_SKIP_WORKERS=1  leave out Flask under gunicorn -w 4 and Express under cluster
#                           (tolm's shared region against the peers with Redis, workers.py)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
venv=bench/.venv

if [ "${BENCH_SKIP_INSTALL:-0}" = 0 ]; then
    echo "== frameworks, servers, peers and load generator (pinned)"
    bash bench/install-peers.sh
fi

release=$root/build-release
if [ "${BENCH_SKIP_BUILD:-0}" = 0 ]; then
    echo "== tolm, release build"
    make build BUILD=build-release BUILD_TYPE=Release CMAKE_FLAGS=-DTOLM_BUILD_TESTS=OFF
fi

echo "== the benchmark's own checks"
"$venv/bin/python" -m unittest -q bench/http/test_harness.py

echo "== HTTP benchmark (load average: $(cut -d' ' -f1-3 /proc/loadavg))"
TOLM_BUILD_DIR=$release "$venv/bin/python" bench/http/run.py

# The framework integrations beside each framework's usual limiter (about 3 minutes):
# BENCH_HTTP_SKIP_FRAMEWORKS=1 leaves them out.
if [ "${BENCH_HTTP_SKIP_FRAMEWORKS:-0}" = 0 ]; then
    echo "== framework integrations, per-route limit (bench/http/frameworks.py)"
    TOLM_BUILD_DIR=$release "$venv/bin/python" bench/http/frameworks_inprocess.py
    TOLM_BUILD_DIR=$release "$venv/bin/python" bench/http/frameworks.py
fi

if [ "${BENCH_HTTP_SKIP_WORKERS:-0}" = 0 ]; then
    echo "== 4 workers: one limit for all (shared region, Redis) (load average: $(cut -d' ' -f1-3 /proc/loadavg))"
    TOLM_BUILD_DIR=$release "$venv/bin/python" bench/http/workers.py
fi
