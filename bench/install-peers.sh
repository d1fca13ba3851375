#!/usr/bin/env bash
# Installs the pinned peers, servers and load generator every benchmark uses into bench/.venv
# (bench/requirements.txt) and bench/node_modules (bench/package-lock.json). Run from the
# repository root; PYTHON names the interpreter the venv is made from.
set -euo pipefail
venv=bench/.venv
if [ ! -x "$venv/bin/python" ]; then
    "${PYTHON:-python3}" -m venv "$venv"
fi
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r bench/requirements.txt
(cd bench && npm ci --silent --no-audit --no-fund)
