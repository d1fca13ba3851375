#!/usr/bin/env bash
# What `make lint` needs from Debian: clang-format and clang-tidy 16 (ruff comes with the
# project's virtual environment, venv.sh). Installs only what is missing; safe to run again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/install.bash"

apt_packages=()
command -v clang-format-16 >/dev/null || apt_packages+=(clang-format-16)
command -v clang-tidy-16 >/dev/null || apt_packages+=(clang-tidy-16)
[ ${#apt_packages[@]} -eq 0 ] || apt_install "${apt_packages[*]}" "${apt_packages[@]}"
exit 0
