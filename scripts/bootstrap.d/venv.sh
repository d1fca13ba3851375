#!/usr/bin/env bash
# The project's virtual environment (.venv at the root, ignored by git) with the pinned tools of
# requirements.txt beside this script. Made from the interpreter scripts/bootstrap found; the
# system's Python itself is never installed into. Quick when .venv already holds exactly that
# list: a stamp inside it records the list it was last brought up to.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/install.bash"

requirements=$here/requirements.txt
stamp=$venv/.tolm-requirements
base=$("$python" -c 'import sys; print(sys.prefix)')
wanted=$(printf '%s\n%s\n' "base $base" "$(cat "$requirements")")
if [ -x "$venv/bin/python" ] && "$venv/bin/python" -c '' 2>/dev/null &&
    [ "$(cat "$stamp" 2>/dev/null)" = "$wanted" ]; then
    exit 0
fi

if ! "$python" -c 'import ensurepip, venv' 2>/dev/null; then
    apt_install "the venv module of $python" python3-venv
fi
echo "bootstrap: installing the tools of scripts/bootstrap.d/requirements.txt into $venv"
log=$(mktemp)
# --clear: a venv whose interpreter has moved or gone is made again rather than patched.
if [ -x "$venv/bin/python" ] && "$venv/bin/python" -c '' 2>/dev/null; then
    clear=()
else
    clear=(--clear)
fi
if ! { "$python" -m venv "${clear[@]}" "$venv" &&
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r "$requirements"; } \
    >"$log" 2>&1; then
    echo "bootstrap: could not install the Python tools into $venv (see $log); retry with: bash scripts/bootstrap" >&2
    exit 1
fi
rm -f "$log"
printf '%s\n' "$wanted" >"$stamp"
exit 0
