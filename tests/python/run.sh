#!/usr/bin/env bash
# The Python suite: pytest against the module in $TOLM_BUILD_DIR, then the sdist installed from
# source into a fresh virtual environment, a smoke test of the installed module, and a type
# check of code written against its stub. Exits non-zero on any failure.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
: "${TOLM_BUILD_DIR:?set TOLM_BUILD_DIR to the absolute build directory}"
export TOLM_BUILD_DIR
python=${PYTHON:-python3}

status=0
(cd "$here" && "$python" -m pytest -q -p no:cacheprovider "$here") || status=$?
if [ "$status" -eq 5 ]; then
    echo "tests/python: pytest collected no tests" >&2
    exit 1
elif [ "$status" -ne 0 ]; then
    exit "$status"
fi

if [ "${TOLM_SKIP_PIP_INSTALL:-0}" = 1 ]; then
    echo "tests/python: pip install check skipped (TOLM_SKIP_PIP_INSTALL=1)"
    exit 0
fi

# The from-source install of a release: the sdist, built by pip in a fresh virtual environment.
echo "tests/python: pip install of the sdist (from source) into a fresh virtual environment"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
venv=$work/venv
sdist=$("$python" "$root/scripts/dist/sdist.py" "$work" | tail -n 1)
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$sdist"
(cd "$venv" && "$venv/bin/python" "$here/installed_smoke.py")

if "$python" -c 'import mypy' 2>/dev/null; then
    "$python" "$here/stub_check.py" "$venv/bin/python"
else
    echo "tests/python: mypy is not installed; type stub check skipped" >&2
fi
echo "tests/python: pip install check passed"
