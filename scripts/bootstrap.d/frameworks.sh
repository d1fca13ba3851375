#!/usr/bin/env bash
# The Node frameworks of the integration tests (the Python ones are pinned in requirements.txt
# and live in .venv): Fastify and Koa at the versions package.json pins as devDependencies,
# installed into build-frameworks/ (ignored by git, outside the package; a directory of their own, as an
# install with --no-save drops whatever else the directory held). Optional: a failure
# only skips the framework cases. Quick when everything is at its pin.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/../.."
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
