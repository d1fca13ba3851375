#!/usr/bin/env bash
# The Python suite: pytest against the module in $TOLM_BUILD_DIR, then the sdist installed from
# source into a fresh virtual environment, a smoke test of the installed module, and a type
# check of code written against its stub. Exits non-zero on any failure. Runs with the project's
# virtual environment ($PYTHON, else .venv: scripts/bootstrap --for quick makes it); the checks
# beside pytest each print one "tests/python: check passed|failed|skipped: ..." line, which the
# summary of make test counts.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
: "${TOLM_BUILD_DIR:?set TOLM_BUILD_DIR to the absolute build directory}"
export TOLM_BUILD_DIR
python=${PYTHON:-$root/.venv/bin/python}
if ! "$python" -c 'import pytest' 2>/dev/null; then
    echo "tests/python: $python has no pytest; run: bash scripts/bootstrap --for quick" >&2
    exit 1
fi

status=0
(cd "$here" && "$python" -m pytest -q -p no:cacheprovider "$here") || status=$?
if [ "$status" -eq 5 ]; then
    echo "tests/python: pytest collected no tests" >&2
    exit 1
elif [ "$status" -ne 0 ]; then
    exit "$status"
fi

if [ "${TOLM_SKIP_PIP_INSTALL:-0}" = 1 ]; then
    echo "tests/python: check skipped: pip install of the sdist, and the installed module's smoke test (TOLM_SKIP_PIP_INSTALL=1)"
    echo "tests/python: check skipped: type check against the installed stub (TOLM_SKIP_PIP_INSTALL=1)"
    exit 0
fi

# The from-source install of a release: the sdist, built by pip in a fresh virtual environment.
echo "tests/python: pip install of the sdist (from source) into a fresh virtual environment"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
venv=$work/venv
sdist=$("$python" "$root/scripts/dist/sdist.py" "$work" | tail -n 1)
"$python" -m venv "$venv"
if "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$sdist" &&
    (cd "$venv" && "$venv/bin/python" "$here/installed_smoke.py"); then
    echo "tests/python: check passed: pip install of the sdist, and the installed module's smoke test"
else
    echo "tests/python: check failed: pip install of the sdist, and the installed module's smoke test"
    exit 1
fi

if ! "$python" -c 'import mypy' 2>/dev/null; then
    echo "tests/python: check skipped: type check against the installed stub (no mypy in $python)"
elif "$python" "$here/stub_check.py" "$venv/bin/python"; then
    echo "tests/python: check passed: type check against the installed stub"
else
    echo "tests/python: check failed: type check against the installed stub"
    exit 1
fi
