#!/usr/bin/env bash
# What the Python suite needs beyond scripts/bootstrap: the CPython headers and venv module
# (the build and the pip-install check), pytest, and mypy for the type checks. Installs only
# what is missing; safe to run again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/install.bash"

# One interpreter start for every check: prints what is missing, as "apt:<package>" or
# "pip:<package>".
missing=$("$python" - <<'PY'
import importlib.util, os, sysconfig
if not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
    print("apt:python3-dev")
if importlib.util.find_spec("ensurepip") is None or importlib.util.find_spec("venv") is None:
    print("apt:python3-venv")
for module in ("pytest", "mypy"):
    if importlib.util.find_spec(module) is None:
        print("pip:" + module)
PY
)
apt_packages=()
pip_packages=()
for item in $missing; do
    case $item in
        apt:*) apt_packages+=("${item#apt:}") ;;
        pip:*) pip_packages+=("${item#pip:}") ;;
    esac
done
[ ${#apt_packages[@]} -eq 0 ] || apt_install "${apt_packages[*]}" "${apt_packages[@]}"
[ ${#pip_packages[@]} -eq 0 ] || pip_install "${pip_packages[*]}" "${pip_packages[@]}"
exit 0
