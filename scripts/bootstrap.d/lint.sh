#!/usr/bin/env bash
# What `make lint` needs: clang-format and clang-tidy 16 from Debian, ruff from PyPI. Installs
# only what is missing; safe to run again.
set -euo pipefail

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else
        echo "bootstrap: need root to run: $*" >&2; return 1; fi
}

apt_packages=()
command -v clang-format-16 >/dev/null || apt_packages+=(clang-format-16)
command -v clang-tidy-16 >/dev/null || apt_packages+=(clang-tidy-16)
if [ ${#apt_packages[@]} -gt 0 ]; then
    as_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${apt_packages[@]}" >/dev/null
fi

if ! command -v ruff >/dev/null; then
    python3 -m pip install --quiet ruff 2>/dev/null ||
        python3 -m pip install --quiet --break-system-packages ruff
fi
