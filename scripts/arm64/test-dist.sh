#!/usr/bin/env bash
# make test-dist-arm64: installs the arm64 artefacts of dist/ as a user on an arm64 machine
# would, under qemu-aarch64 and on a PATH with no cmake and no compiler:
#   - the manylinux aarch64 wheel into a fresh virtual environment of Debian's arm64 CPython,
#     then tests/dist/smoke.py (a burst through tolm.wsgi until 429, the damaged-file message);
#   - the npm tarball into an empty project with node for linux-arm64: the install step must
#     take prebuilds/linux-arm64/ (no build-npm/ appears), and require("tolm") must limit.
# Usage: test-dist.sh [dist directory [arm64 build directory]]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dist=$(cd "${1:-$root/dist}" && pwd)
build=$(cd "${2:-$root/build-arm64}" && pwd)
version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' "$root/python/tolm/__init__.py")
shopt -s nullglob
wheels=("$dist"/tolm-"$version"-cp38-abi3-manylinux_*_aarch64.whl)
tarballs=("$dist"/tolm-"$version".tgz)
if [ ${#wheels[@]} -ne 1 ] || [ ${#tarballs[@]} -ne 1 ]; then
    echo "arm64 dist: $dist needs one aarch64 wheel and one npm tarball of tolm $version; run make arm64 dist" >&2
    exit 1
fi
if ! tar tzf "${tarballs[0]}" package/prebuilds/linux-arm64/tolm_native.node >/dev/null 2>&1; then
    echo "arm64 dist: ${tarballs[0]} has no prebuilds/linux-arm64/; run make arm64 before make dist" >&2
    exit 1
fi
# shellcheck source=scripts/arm64/launchers.sh
. "$root/scripts/arm64/launchers.sh"
limit=${TOLM_ARM64_TIME_LIMIT:-600}
start=$SECONDS
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The bare PATH: the arm64 node and python3 launchers, npm and the shell tools its scripts use.
bare=$work/bin
mkdir "$bare"
ln -s "$build/bin/node" "$bare/node"
ln -s "$build/bin/python3" "$bare/python3"
for tool in sh bash env npm cat ls rm mkdir sed grep timeout; do
    ln -s "$(command -v "$tool")" "$bare/$tool"
done
for tool in cmake gcc g++ cc c++ clang make ninja; do
    if PATH=$bare command -v "$tool" >/dev/null 2>&1; then
        echo "arm64 dist: $tool is still reachable on the bare PATH" >&2
        exit 1
    fi
done
export TOLM_ARM64_NODE_LAUNCHER=$build/bin/node
export NODE_OPTIONS="--require $root/scripts/arm64/exec-path.js"

echo "arm64 dist: $(basename "${wheels[0]}") into Debian's arm64 CPython, no compiler on the PATH"
venv=$work/venv
# The arm64 CPython has no ensurepip (Debian keeps it apart); the host's pip installs into the
# venv by running itself in the venv's interpreter, that is under qemu.
timeout "$limit" env PATH=$bare python3 -m venv --without-pip "$venv"
timeout "$limit" "$(python3 -c 'import sys; print(sys.executable)')" -m pip --python "$venv/bin/python" \
    install --quiet --no-index --disable-pip-version-check "${wheels[0]}"
(cd "$work" && PATH=$bare timeout "$limit" "$venv/bin/python" "$root/tests/dist/smoke.py" "$version")

echo "arm64 dist: $(basename "${tarballs[0]}") into an empty project with node for linux-arm64"
app=$work/app
mkdir "$app"
echo '{"private": true}' >"$app/package.json"
(cd "$app" && PATH=$bare timeout "$limit" npm install --no-audit --no-fund --loglevel=error \
    --foreground-scripts "${tarballs[0]}")
if [ -e "$app/node_modules/tolm/build-npm" ]; then
    echo "arm64 dist: FAILED: the install built from source instead of taking prebuilds/linux-arm64/" >&2
    exit 1
fi
shown=$(cd "$app" && PATH=$bare timeout "$limit" node -e '
  const { TolmNode } = require("tolm");
  const node = new TolmNode({ capacity: 3 });
  console.log(process.arch, [1, 2, 3, 4].map(() => node.checkRequest("a", "/", 0).allowed).join(","));')
if [ "$shown" != "arm64 true,true,true,false" ]; then
    echo "arm64 dist: FAILED: require(\"tolm\") in the arm64 node gave: $shown" >&2
    exit 1
fi
echo "arm64 dist: node $shown"
echo "arm64 dist: installs checked in $((SECONDS - start)) s"
echo "arm64 dist: 2 passed, 0 failed"
