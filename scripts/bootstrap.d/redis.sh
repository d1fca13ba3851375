#!/usr/bin/env bash
# redis-server from Debian, for the tests that run a store shared between processes and the
# Redis store's tests: each test starts its own server on a free loopback port and stops it.
# Also the Node clients of the Redis store's tests, ioredis and node-redis, pinned, in
# build-redis-node/ (ignored by git, outside the package; the Python client, redis, comes with
# the project's virtual environment). Installs only what is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/install.bash"
cd "$here/../.."

command -v redis-server >/dev/null || apt_install redis-server redis-server

IOREDIS_VERSION=6.1.0
NODE_REDIS_VERSION=6.4.0
dir=build-redis-node
if ! grep -qs "\"version\": \"$IOREDIS_VERSION\"" "$dir/node_modules/ioredis/package.json" ||
    ! grep -qs "\"version\": \"$NODE_REDIS_VERSION\"" "$dir/node_modules/redis/package.json"; then
    if command -v npm >/dev/null; then
        mkdir -p "$dir"
        [ -f "$dir/package.json" ] || echo '{"private": true}' > "$dir/package.json"
        npm install --prefix "$dir" --no-audit --no-fund --loglevel=error --no-save \
            "ioredis@$IOREDIS_VERSION" "redis@$NODE_REDIS_VERSION" ||
            echo "bootstrap: ioredis/redis not installed; the Node Redis tests will be skipped" >&2
    else
        echo "bootstrap: npm missing; the Node Redis tests will be skipped" >&2
    fi
fi
exit 0
