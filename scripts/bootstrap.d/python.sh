#!/usr/bin/env bash
# What the Python suite needs beyond scripts/bootstrap: the CPython headers and venv module
# (the build and the pip-install check), pytest, and mypy for the type-stub check. Installs
# only what is missing; safe to run again.
set -euo pipefail

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else
        echo "bootstrap: need root to run: $*" >&2; return 1; fi
}

has_headers() {
    python3 - <<'PY'
import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))
PY
}

apt_packages=()
has_headers || apt_packages+=(python3-dev)
python3 -c 'import ensurepip, venv' 2>/dev/null || apt_packages+=(python3-venv)
if [ ${#apt_packages[@]} -gt 0 ] && command -v apt-get >/dev/null; then
    as_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${apt_packages[@]}" >/dev/null
fi

pip_packages=()
python3 -c 'import pytest' 2>/dev/null || pip_packages+=(pytest)
python3 -c 'import mypy' 2>/dev/null || pip_packages+=(mypy)
if [ ${#pip_packages[@]} -gt 0 ]; then
    # A distribution's own Python refuses plain installs (PEP 668); these are test tools only.
    python3 -m pip install --quiet "${pip_packages[@]}" 2>/dev/null ||
        python3 -m pip install --quiet --break-system-packages "${pip_packages[@]}"
fi
