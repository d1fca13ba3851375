#!/usr/bin/env bash
# `make test-dist`: installs what `make dist` put in dist/ as a user would, on a PATH that has
# no cmake and no compiler: the wheel into a fresh virtual environment of every CPython this
# machine has (pyenv's 3.8 and newer, else python3), the npm tarball into an empty project,
# and a burst of requests through the middleware of each until it answers 429. The npm part
# also checks the damaged-prebuilt cases (tests/dist/npm.test.js).
# Usage: run.sh [dist directory [build directory of the library]]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
dist=$(cd "${1:-$root/dist}" && pwd)
build=$(cd "${2:-$root/build}" && pwd)
version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' "$root/python/tolm/__init__.py")
shopt -s nullglob
wheels=("$dist"/tolm-"$version"-cp38-abi3-manylinux_*_x86_64.whl)
tarballs=("$dist"/tolm-"$version".tgz)
if [ ${#wheels[@]} -ne 1 ] || [ ${#tarballs[@]} -ne 1 ]; then
    echo "tests/dist: $dist needs one wheel and one npm tarball of tolm $version; run make dist" >&2
    exit 1
fi
start=$SECONDS
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The bare PATH: node and npm and the shell tools npm's scripts use, and nothing that builds.
bare=$work/bin
mkdir "$bare"
for tool in sh bash env node npm cat ls rm mkdir sed grep; do
    ln -s "$(command -v "$tool")" "$bare/$tool"
done
for tool in cmake gcc g++ cc c++ clang make ninja; do
    if PATH=$bare command -v "$tool" >/dev/null 2>&1; then
        echo "tests/dist: $tool is still reachable on the bare PATH" >&2
        exit 1
    fi
done

# Every CPython pyenv offers from 3.8 on; python3 alone when there is no pyenv.
pythons=()
for python in "$HOME"/.pyenv/versions/3.*/bin/python3; do
    "$python" -c 'import sys; sys.exit(sys.version_info < (3, 8))' 2>/dev/null && pythons+=("$python")
done
if [ ${#pythons[@]} -eq 0 ]; then
    echo "tests/dist: no pyenv CPython found; installing into python3 only"
    pythons=("$(python3 -c 'import sys; print(sys.executable)')")
fi

# One interpreter: a fresh venv (with its own pip), the wheel, the smoke check.
install_wheel() {
    local python=$1 venv log
    venv=$work/venv-$(basename "$(dirname "$(dirname "$python")")")
    log=$venv.log
    if ! { "$python" -m venv "$venv" &&
        PATH=$bare "$venv/bin/python" -m pip install --quiet --no-index --disable-pip-version-check \
            "${wheels[0]}" &&
        (cd "$work" && PATH=$bare "$venv/bin/python" "$here/smoke.py" "$version"); } >"$log" 2>&1; then
        echo "tests/dist: the wheel failed with $python:" >&2
        cat "$log" >&2
        return 1
    fi
    tail -n 1 "$log"
}

echo "tests/dist: $(basename "${wheels[0]}") into ${#pythons[@]} CPythons, no compiler on the PATH"
# Two at a time: a venv with pip takes a few seconds to make, mostly waiting on the disk.
status=0
pids=()
for python in "${pythons[@]}"; do
    install_wheel "$python" &
    pids+=($!)
    if [ ${#pids[@]} -eq 2 ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[1]}")
    fi
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
[ $status -eq 0 ] || exit 1

passed=${#pythons[@]}

echo "tests/dist: $(basename "${tarballs[0]}") into an empty project, no compiler on the PATH"
TOLM_DIST_TARBALL=${tarballs[0]} TOLM_DIST_BIN=$bare TOLM_DIST_VERSION=$version \
TOLM_WINDOWS_DLL=$root/build-windows/tolm_native.pyd \
    node --test --test-reporter=spec "$here/npm.test.js" | tee "$work/npm.log"
node_count() { sed -n "s/^ℹ $1 \([0-9]*\)$/\1/p" "$work/npm.log"; }
npm_passed=$(node_count pass)
skipped=$(node_count skipped)
passed=$((passed + ${npm_passed:-0}))
# Where the Windows port plugs in, with a stand-in DLL (into a directory of its own).
"$(python3 -c 'import sys; print(sys.executable)')" "$here/windows_slot.py" "$build" "$work"
passed=$((passed + 1))
echo "tests/dist: passed in $((SECONDS - start)) s"
echo "tests/dist: $passed passed, 0 failed, ${skipped:-0} skipped"
