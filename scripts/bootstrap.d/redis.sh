#!/usr/bin/env bash
# What the Redis store's tests use: a real redis-server (the suites start their own on a free
# loopback port), the redis client for Python, and ioredis and node-redis, pinned, in
# build-redis-node/ (ignored by git, outside the package). Safe to run again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/install.bash"
cd "$here/../.."

REDIS_PY_VERSION=8.2.0
IOREDIS_VERSION=6.1.0
NODE_REDIS_VERSION=6.4.0

command -v redis-server >/dev/null || apt_install redis-server redis-server
"$python" -c 'import redis' 2>/dev/null || pip_install "redis (Python)" "redis==$REDIS_PY_VERSION"

dir=build-redis-node
if ! grep -qs "\"version\": \"$IOREDIS_VERSION\"" "$dir/node_modules/ioredis/package.json" ||
    ! grep -qs "\"version\": \"$NODE_REDIS_VERSION\"" "$dir/node_modules/redis/package.json"; then
    mkdir -p "$dir"
    [ -f "$dir/package.json" ] || echo '{"private": true}' > "$dir/package.json"
    npm install --prefix "$dir" --no-audit --no-fund --loglevel=error --no-save \
        "ioredis@$IOREDIS_VERSION" "redis@$NODE_REDIS_VERSION" ||
        echo "bootstrap: ioredis/redis not installed; the Node Redis tests will be skipped" >&2
fi
exit 0
