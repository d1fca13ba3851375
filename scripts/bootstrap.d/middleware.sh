#!/usr/bin/env bash
# What the middleware tests can use beyond the standard library: Express, pinned, installed
# into build-express/ (ignored by git, outside the package) so the Express case of
# tests/node/middleware.test.js runs instead of being skipped. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/../.."

EXPRESS_VERSION=5.3.0
dir=build-express
if [ -f "$dir/node_modules/express/package.json" ] &&
    [ "$(node -p "require('./$dir/node_modules/express/package.json').version")" = "$EXPRESS_VERSION" ]; then
    exit 0
fi
command -v npm >/dev/null || { echo "bootstrap: npm missing; Express tests will be skipped" >&2; exit 0; }
mkdir -p "$dir"
[ -f "$dir/package.json" ] || echo '{"private": true}' > "$dir/package.json"
# Optional: without Express only that one test is skipped, so a failure here is not fatal.
npm install --prefix "$dir" --no-audit --no-fund --loglevel=error --no-save \
    "express@$EXPRESS_VERSION" ||
    echo "bootstrap: Express not installed; its middleware test will be skipped" >&2
