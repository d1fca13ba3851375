#!/usr/bin/env bash
# The Python and Node suites once more, against a build of the library with AddressSanitizer
# and UndefinedBehaviorSanitizer ($TOLM_BUILD_DIR, made by `make test-bindings-asan`): the
# Python binding counts references by hand and the Node binding manages reference lifetimes,
# and both deserve a run that turns a stray access into a failure.
#
# The hosts are not built with the sanitizer, so its runtime is preloaded, followed by the
# C++ runtime: the sanitizer resolves __cxa_throw when it starts, before either host would
# load libstdc++ on its own. Leak checking is off because neither interpreter frees everything
# at exit. TOLM_SANITIZED=1 tells the suites to skip the few tests that measure resident
# memory (freed memory sits in the sanitizer's quarantine) or that interpose symbols the
# sanitizer interposes too.
set -euo pipefail
cd "$(dirname "$0")/.."
: "${TOLM_BUILD_DIR:?set TOLM_BUILD_DIR to the sanitizer build directory}"
export TOLM_BUILD_DIR
# The project's virtual environment, where pytest lives (scripts/bootstrap --for quick).
python=${PYTHON:-$PWD/.venv/bin/python}
asan=$(${CC:-gcc} -print-file-name=libasan.so)
stdcxx=$(${CXX:-g++} -print-file-name=libstdc++.so)
export TOLM_SANITIZED=1
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Both suites run whatever the first one did, so that one run shows every failure.
status=0
echo "sanitized bindings: pytest"
(cd tests/python && LD_PRELOAD="$asan:$stdcxx" "$python" -m pytest -q -p no:cacheprovider .) ||
    status=1
# Dots on the terminal; the closing counts, which the summary of make test reads, from the
# second reporter's file.
echo "sanitized bindings: node:test"
counts=$(mktemp)
trap 'rm -f "$counts"' EXIT
LD_PRELOAD="$asan:$stdcxx" node --test --test-reporter=dot --test-reporter-destination=stdout \
    --test-reporter=spec --test-reporter-destination="$counts" tests/node/ || status=1
grep -E '^ℹ (tests|pass|fail|cancelled|skipped|todo) [0-9]+$' "$counts" || true
exit $status
