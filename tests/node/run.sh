#!/usr/bin/env bash
# Runs the Node suite against the addon in $TOLM_BUILD_DIR (an absolute build directory).
set -euo pipefail
cd "$(dirname "$0")/../.."
: "${TOLM_BUILD_DIR:?TOLM_BUILD_DIR must name the build directory}"
for file in tolm_native.node tolm_native.abi3.so libtolm_fake_clock.so; do
    if [ ! -f "$TOLM_BUILD_DIR/$file" ]; then
        echo "tests/node: $TOLM_BUILD_DIR/$file is missing; build first" >&2
        exit 1
    fi
done
export TOLM_BUILD_DIR
exec node --test --test-reporter=spec tests/node/
