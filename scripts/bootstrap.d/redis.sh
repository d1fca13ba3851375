#!/usr/bin/env bash
# redis-server from Debian, for the tests that run a store shared between processes: each test
# starts its own server on a free loopback port and stops it. Installs it when missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/install.bash"

command -v redis-server >/dev/null || apt_install redis-server redis-server
exit 0
