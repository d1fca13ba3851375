#!/usr/bin/env bash
# What the middleware tests use beyond the standard library, so that their framework cases
# run instead of being skipped: Express, pinned, in build-express/ (ignored by git, outside
# the package), and Flask and FastAPI, pinned, for the shipped examples. Safe to run again.
# These are optional: a failure to install them only skips those cases.
set -euo pipefail
cd "$(dirname "$0")/../.."
python=${BOOTSTRAP_PYTHON:-python3}

EXPRESS_VERSION=5.3.0
FLASK_VERSION=3.1.3
FASTAPI_VERSION=0.163.2

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

missing=$("$python" -c '
import importlib.util
print(" ".join(m for m in ("flask", "fastapi") if importlib.util.find_spec(m) is None))')
packages=()
for module in $missing; do
    case $module in
        flask) packages+=("flask==$FLASK_VERSION") ;;
        fastapi) packages+=("fastapi==$FASTAPI_VERSION") ;;
    esac
done
if [ ${#packages[@]} -gt 0 ]; then
    echo "bootstrap: installing ${packages[*]} with pip"
    { "$python" -m pip install --quiet --disable-pip-version-check "${packages[@]}" 2>/dev/null ||
        "$python" -m pip install --quiet --disable-pip-version-check --break-system-packages "${packages[@]}"; } ||
        echo "bootstrap: ${packages[*]} not installed; the example tests will be skipped" >&2
fi
exit 0
