#!/usr/bin/env bash
# What the Python entry of the library is compiled with: the CPython headers of the interpreter
# on the PATH. Installs them when missing; safe to run again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/install.bash"

if ! "$python" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
    apt_install "the CPython headers (Python.h)" python3-dev
fi
exit 0
