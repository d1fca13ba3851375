#!/usr/bin/env bash
# The frameworks of the integration tests: the Python ones pinned in frameworks.txt beside this
# script, and Fastify and Koa at the versions package.json pins as devDependencies, installed
# into build-frameworks/ (ignored by git, outside the package; a directory of their own, as an
# install with --no-save drops whatever else the directory held). Optional: a failure
# only skips the framework cases. Quick when everything is at its pin.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/../.."
python=${BOOTSTRAP_PYTHON:-python3}
[ -x .venv/bin/python ] && python=.venv/bin/python

# Prints the pins of frameworks.txt that the interpreter does not have at that version.
missing=$("$python" - "$here/frameworks.txt" <<'PY'
import sys
from importlib import metadata
for line in open(sys.argv[1]):
    pin = line.split("#")[0].strip()
    if not pin:
        continue
    name, version = pin.split("==")
    try:
        if metadata.version(name) == version:
            continue
    except metadata.PackageNotFoundError:
        pass
    print(pin)
PY
)
if [ -n "$missing" ]; then
    # shellcheck disable=SC2086
    echo "bootstrap: installing" $missing "with pip"
    { "$python" -m pip install --quiet --disable-pip-version-check $missing 2>/dev/null ||
        "$python" -m pip install --quiet --disable-pip-version-check --break-system-packages $missing; } ||
        echo "bootstrap: the Python frameworks were not installed; their tests will be skipped" >&2
fi

command -v npm >/dev/null || { echo "bootstrap: npm missing; the Fastify and Koa tests will be skipped" >&2; exit 0; }
wanted=()
for name in fastify koa; do
    version=$(node -p "require('./package.json').devDependencies['$name']")
    grep -qs "\"version\": \"$version\"" "build-frameworks/node_modules/$name/package.json" ||
        stale=1
    wanted+=("$name@$version")
done
if [ -n "${stale:-}" ]; then
    mkdir -p build-frameworks
    [ -f build-frameworks/package.json ] || echo '{"private": true}' > build-frameworks/package.json
    npm install --prefix build-frameworks --no-audit --no-fund --loglevel=error --no-save \
        "${wanted[@]}" ||
        echo "bootstrap: ${wanted[*]} not installed; their tests will be skipped" >&2
fi
exit 0
