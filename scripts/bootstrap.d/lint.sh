#!/usr/bin/env bash
# What `make lint` needs: clang-format and clang-tidy 16 from Debian, ruff from PyPI. Installs
# only what is missing; safe to run again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/install.bash"

apt_packages=()
command -v clang-format-16 >/dev/null || apt_packages+=(clang-format-16)
command -v clang-tidy-16 >/dev/null || apt_packages+=(clang-tidy-16)
[ ${#apt_packages[@]} -eq 0 ] || apt_install "${apt_packages[*]}" "${apt_packages[@]}"
"$python" -c "import ruff" 2>/dev/null || pip_install ruff ruff
exit 0
