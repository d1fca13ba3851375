#!/usr/bin/env bash
# What the Node middleware tests use beyond the standard library, so that their framework cases
# run instead of being skipped: Express, pinned, in build-express/ (ignored by git, outside the
# package). Flask and FastAPI, for the Python examples, come with the project's virtual
# environment (venv.sh). Optional: a failure to install Express only skips those cases.
set -euo pipefail
cd "$(dirname "$0")/../.."

EXPRESS_VERSION=5.3.0

dir=build-express
if ! grep -qs "\"version\": \"$EXPRESS_VERSION\"" "$dir/node_modules/express/package.json"; then
    if command -v npm >/dev/null; then
        mkdir -p "$dir"
        [ -f "$dir/package.json" ] || echo '{"private": true}' > "$dir/package.json"
        npm install --prefix "$dir" --no-audit --no-fund --loglevel=error --no-save \
            "express@$EXPRESS_VERSION" ||
            echo "bootstrap: Express not installed; its middleware tests will be skipped" >&2
    else
        echo "bootstrap: npm missing; the Express tests will be skipped" >&2
    fi
fi
exit 0
